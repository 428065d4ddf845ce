#include "script/CommandDispatch.h"

#include "comm/PortName.h"
#include "licenses/LicenseTexts.h"
#include "script/CommandCatalogue.h"
#include "script/backend/ErrorCodes.h"
#include "script/HelpTexts.h"
#include "script/ScriptInput.h"

#include <limits>
#include <optional>

namespace script {

namespace {

constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();

const QStringList kUnsupportedNames{
    QStringLiteral("exit"), QStringLiteral("update"), QStringLiteral("upgrade"),
    QStringLiteral("server"), QStringLiteral("test"), QStringLiteral("aging"),
};
const QStringList kInteractiveOptions{
    QStringLiteral("-c"), QStringLiteral("--continuous"), QStringLiteral("-p"), QStringLiteral("--page"),
};

bool parseId(const QString &text, int &id)
{
    return parseIntInRange(text, 0, kLastDeviceId, id);
}

// "start-end", both within 0..maximum and start not above end.
bool parseRange(const QString &text, int maximum, int &start, int &end)
{
    const QStringList parts = text.split(QLatin1Char('-'));
    if (parts.size() != 2)
        return false;
    int first = 0;
    int last = 0;
    if (!parseIntInRange(parts.at(0), 0, maximum, first) || !parseIntInRange(parts.at(1), 0, maximum, last)
        || first > last)
        return false;
    start = first;
    end = last;
    return true;
}

ScriptResult fromBackend(const QString &name, const CommandResult &result)
{
    return ScriptResult::fromCommandResult(name, result);
}

ScriptResult answered(const QString &name, const QString &topic, const QString &text)
{
    return fromBackend(name, CommandResult::success({{QStringLiteral("topic"), topic}, {QStringLiteral("text"), text}}));
}

ScriptResult help(const QString &name, const QStringList &args)
{
    if (args.size() >= 2)
        return ScriptResult::usageError(name);
    const QString topic = args.isEmpty() ? QString() : args.constFirst().toLower();
    const QString text = helpText(topic);
    if (text.isEmpty())
        return ScriptResult::failure(name, kExitUsageError, kErrorUnknownCommand,
                                     QStringLiteral("Unknown help topic: %1").arg(topic));
    return answered(name, topic, text);
}

ScriptResult license(const QString &name)
{
    QString error;
    const QString text = loadLicenseText(&error);
    if (!error.isEmpty())
        return ScriptResult::failure(name, kExitRuntimeError, kErrorInvalidInput, error);
    return answered(name, QStringLiteral("license"), text);
}

// The device commands and the commands answered here, by name; null when the
// name is none of them.
std::optional<ScriptResult> dispatch(const QString &name, const QStringList &args, bool verbose,
                                     IQvxCommandBackend &backend)
{
    const qsizetype count = args.size();
    const auto usage = [&name](const QString &reason = {}) { return ScriptResult::usageError(name, reason); };
    int id = 0;

    if (name == QLatin1String("port"))
        return count == 0 ? fromBackend(name, backend.listPorts()) : usage();
    if (name == QLatin1String("open")) {
        int baudrate = 0;
        if (count != 2 || !parseIntInRange(args.at(1), 1, kIntMax, baudrate))
            return usage();
        if (const QString fault = portNameFault(args.at(0)); !fault.isEmpty())
            return usage(fault + QLatin1Char('.'));
        return fromBackend(name, backend.open(args.at(0), baudrate));
    }
    if (name == QLatin1String("close"))
        return count == 0 ? fromBackend(name, backend.close()) : usage();
    if (name == QLatin1String("protocol")) {
        if (count != 1 || (args.at(0) != QLatin1String("1.0") && args.at(0) != QLatin1String("2.0")))
            return usage();
        return fromBackend(name, backend.setProtocol(args.at(0)));
    }
    if (name == QLatin1String("timeout")) {
        int milliseconds = 0;
        if (count != 1 || !parseIntInRange(args.at(0), 0, kIntMax, milliseconds))
            return usage();
        return fromBackend(name, backend.setNetworkDelay(milliseconds));
    }
    if (name == QLatin1String("scan")) {
        if (count == 0)
            return fromBackend(name, backend.scan(0, kLastDeviceId, false, verbose));
        int start = 0;
        int end = 0;
        if (count != 1)
            return usage();
        if (!parseRange(args.at(0), kLastDeviceId, start, end))
            return usage(QStringLiteral("Scan range must be start-end within 0..252."));
        return fromBackend(name, backend.scan(start, end, true, verbose));
    }
    if (name == QLatin1String("ping")) {
        if (count != 1 || !parseId(args.at(0), id))
            return usage();
        return fromBackend(name, backend.ping(id, verbose));
    }
    if (name == QLatin1String("get")) {
        if (count != 2 || !parseId(args.at(0), id) || args.at(1).isEmpty())
            return usage();
        return fromBackend(name, backend.get(id, args.at(1), verbose));
    }
    if (name == QLatin1String("set")) {
        int value = 0;
        if (count != 3 || !parseId(args.at(0), id) || !parseIntInRange(args.at(2), kIntMin, kIntMax, value)
            || args.at(1).isEmpty())
            return usage();
        return fromBackend(name, backend.set(id, args.at(1), value, verbose));
    }
    if (name == QLatin1String("table")) {
        if ((count != 1 && count != 2) || !parseId(args.at(0), id))
            return usage();
        if (count == 1)
            return fromBackend(name, backend.table(id, 0, kLastAddress, verbose));
        int start = 0;
        int end = 0;
        if (!parseRange(args.at(1), kLastAddress, start, end))
            return usage(QStringLiteral("Table range must be start-end within 0..65535."));
        return fromBackend(name, backend.table(id, start, end, verbose));
    }
    if (name == QLatin1String("status")) {
        if (count != 1 || !parseId(args.at(0), id))
            return usage();
        return fromBackend(name, backend.status(id));
    }
    if (name == QLatin1String("reset") || name == QLatin1String("reboot")) {
        if (count != 1 || !parseId(args.at(0), id))
            return usage();
        return fromBackend(name, name == QLatin1String("reset") ? backend.reset(id, verbose)
                                                                : backend.reboot(id, verbose));
    }
    if (name == QLatin1String("clear")) {
        int parameter = 0;
        if (count != 2 || !parseId(args.at(0), id) || !parseIntInRange(args.at(1), 1, 10, parameter)
            || (parameter != 1 && parameter != 2 && parameter != 10))
            return usage();
        return fromBackend(name, backend.clear(id, parameter, verbose));
    }
    if (name == QLatin1String("help"))
        return help(name, args);
    if (name == QLatin1String("license"))
        return count == 0 ? license(name) : usage();
    if (name == QLatin1String("copyright"))
        return count == 0 ? answered(name, QStringLiteral("copyright"), copyrightText()) : usage();
    return std::nullopt;
}

} // namespace

ScriptResult executeCommand(const CommandContext &context, IQvxCommandBackend &backend, bool allowWrite,
                            bool allowDestructive)
{
    const QString name = context.name.toLower();
    QStringList args;
    bool verbose = false;
    for (const QString &word : context.args) {
        if (word == QLatin1String("-v") || word == QLatin1String("--verbose"))
            verbose = true;
        else
            args.append(word);
    }

    if (kUnsupportedNames.contains(name))
        return ScriptResult::failure(name, kExitUsageError, kErrorUnsupportedCommand,
                                     QStringLiteral("Command is not supported in script mode: %1").arg(name));
    for (const QString &word : args) {
        if (kInteractiveOptions.contains(word))
            return ScriptResult::failure(name, kExitUsageError, kErrorUnsupportedCommand,
                                         QStringLiteral("Interactive/continuous options are not supported in "
                                                        "script mode."));
    }
    // The arity of "clear" is judged before its permission.
    if (name == QLatin1String("clear") && args.size() != 2)
        return ScriptResult::usageError(name);

    if (const Command *entry = findCommand(name); entry && !entry->forms.isEmpty()) {
        const QString &permission = entry->forms.constFirst().permission;
        if (permission == kPermissionWrite && !allowWrite && !allowDestructive)
            return ScriptResult::failure(name, kExitPermissionError, kErrorPermissionDenied,
                                         QStringLiteral("%1 requires --allow-write.").arg(name));
        if (permission == kPermissionDestructive && !allowDestructive)
            return ScriptResult::failure(name, kExitPermissionError, kErrorPermissionDenied,
                                         QStringLiteral("%1 requires --allow-destructive.").arg(name));
    }

    if (std::optional<ScriptResult> result = dispatch(name, args, verbose, backend))
        return *result;
    return ScriptResult::failure(name, kExitUsageError, kErrorUnknownCommand,
                                 QStringLiteral("Unknown command: %1").arg(name));
}

} // namespace script
