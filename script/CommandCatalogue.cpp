#include "script/CommandCatalogue.h"

#include <limits>

namespace script {

namespace {

const QString kString = QStringLiteral("string");
const QString kRangeFormat = QStringLiteral("start-end");
const QString kReadOnly = QStringLiteral("read_only");
const QString kSession = QStringLiteral("session");

constexpr qint64 kIntMin = std::numeric_limits<int>::min();
constexpr qint64 kIntMax = std::numeric_limits<int>::max();

ArgumentSpec stringArgument(const QString &name, bool required, const QString &description,
                            const QVariantList &allowed = {})
{
    ArgumentSpec argument;
    argument.name = name;
    argument.type = kString;
    argument.required = required;
    argument.description = description;
    argument.allowed_values = allowed;
    return argument;
}

ArgumentSpec boundedArgument(const QString &name, const QString &type, bool required, qint64 minimum,
                             qint64 maximum, const QString &description)
{
    ArgumentSpec argument;
    argument.name = name;
    argument.type = type;
    argument.required = required;
    argument.description = description;
    argument.hasMinimum = true;
    argument.minimum = minimum;
    argument.hasMaximum = true;
    argument.maximum = maximum;
    return argument;
}

ArgumentSpec deviceId()
{
    return integerArgument(QStringLiteral("id"), 0, kLastDeviceId, QStringLiteral("Device ID."));
}

Command command(const QString &name, const QString &description, const QString &usage,
                const QList<ArgumentSpec> &arguments, const QString &permission, const QString &risk,
                bool requiresOpenPort, bool verbose)
{
    QList<OptionSpec> options;
    if (verbose)
        options.append(verboseOption());
    return {name, description, {CommandForm(usage, arguments, options, permission, risk, requiresOpenPort)}};
}

QList<Command> buildCatalogue()
{
    const QString none = kPermissionNone;
    ArgumentSpec parameter;
    parameter.name = QStringLiteral("parameter");
    parameter.type = QStringLiteral("integer");
    parameter.required = true;
    parameter.description = QStringLiteral("Device clear mode.");
    parameter.allowed_values = {1, 2, 10};

    return {
        command(QStringLiteral("port"), QStringLiteral("List available serial ports."), QStringLiteral("port"), {},
                none, kReadOnly, false, false),
        command(QStringLiteral("open"), QStringLiteral("Open a serial port."), QStringLiteral("open <port> <baudrate>"),
                {stringArgument(QStringLiteral("port"), true, QStringLiteral("Serial port name returned by port.")),
                 integerArgument(QStringLiteral("baudrate"), 1, kIntMax,
                                 QStringLiteral("Device baud rate in bits per second."))},
                none, kSession, false, false),
        command(QStringLiteral("close"), QStringLiteral("Close the current serial port."), QStringLiteral("close"), {},
                none, kSession, false, false),
        command(QStringLiteral("protocol"), QStringLiteral("Select the Quorvex protocol version."),
                QStringLiteral("protocol <1.0|2.0>"),
                {stringArgument(QStringLiteral("version"), true, QStringLiteral("Quorvex protocol version."),
                                {QStringLiteral("1.0"), QStringLiteral("2.0")})},
                none, kSession, false, false),
        command(QStringLiteral("timeout"), QStringLiteral("Set additional network delay."),
                QStringLiteral("timeout <network-delay-ms>"),
                {integerArgument(QStringLiteral("network_delay_ms"), 0, kIntMax,
                                 QStringLiteral("Additional communication delay in milliseconds."))},
                none, kSession, false, false),
        command(QStringLiteral("scan"), QStringLiteral("Scan for devices."), QStringLiteral("scan [start-end] [-v|--verbose]"),
                {rangeArgument(QStringLiteral("id_range"), kLastDeviceId, kRangeFormat,
                               QStringLiteral("Inclusive device ID range."))},
                none, kReadOnly, true, true),
        command(QStringLiteral("ping"), QStringLiteral("Ping one device."), QStringLiteral("ping <id> [-v|--verbose]"),
                {deviceId()}, none, kReadOnly, true, true),
        command(QStringLiteral("get"), QStringLiteral("Read a control table item."),
                QStringLiteral("get <id> \"<item>\" [-v|--verbose]"),
                {deviceId(), stringArgument(QStringLiteral("item"), true, QStringLiteral("Control table item name."))},
                none, kReadOnly, true, true),
        command(QStringLiteral("set"), QStringLiteral("Write a control table item."),
                QStringLiteral("set <id> \"<item>\" <value> [-v|--verbose]"),
                {deviceId(),
                 stringArgument(QStringLiteral("item"), true, QStringLiteral("Writable control table item name.")),
                 integerArgument(QStringLiteral("value"), kIntMin, kIntMax,
                                 QStringLiteral("Raw integer value; device-specific limits also apply."))},
                kPermissionWrite, QStringLiteral("write"), true, true),
        command(QStringLiteral("table"), QStringLiteral("Read a device control table."),
                QStringLiteral("table <id> [start-end] [-v|--verbose]"),
                {deviceId(), rangeArgument(QStringLiteral("address_range"), kLastAddress, kRangeFormat,
                                           QStringLiteral("Inclusive control table address range."))},
                none, kReadOnly, true, true),
        command(QStringLiteral("status"), QStringLiteral("Read a device status summary."), QStringLiteral("status <id>"),
                {deviceId()}, none, kReadOnly, true, false),
        command(QStringLiteral("reset"), QStringLiteral("Factory-reset a device."), QStringLiteral("reset <id> [-v|--verbose]"),
                {deviceId()}, kPermissionDestructive, QStringLiteral("destructive"), true, true),
        command(QStringLiteral("reboot"), QStringLiteral("Reboot a device."), QStringLiteral("reboot <id> [-v|--verbose]"),
                {deviceId()}, kPermissionDestructive, QStringLiteral("destructive"), true, true),
        command(QStringLiteral("clear"), QStringLiteral("Initialize supported device state."),
                QStringLiteral("clear <id> <1|2|10> [-v|--verbose]"), {deviceId(), parameter}, kPermissionDestructive,
                QStringLiteral("destructive"), true, true),
        command(QStringLiteral("help"), QStringLiteral("Show script command help."), QStringLiteral("help [command]"),
                {stringArgument(QStringLiteral("command"), false, QStringLiteral("Supported script command name."))},
                none, kReadOnly, false, false),
        command(QStringLiteral("license"), QStringLiteral("Show software license information."),
                QStringLiteral("license"), {}, none, kReadOnly, false, false),
        command(QStringLiteral("copyright"), QStringLiteral("Show copyright notices."), QStringLiteral("copyright"), {},
                none, kReadOnly, false, false),
    };
}

} // namespace

CommandForm::CommandForm(const QString &usage, const QList<ArgumentSpec> &arguments, const QList<OptionSpec> &options,
                         const QString &permission, const QString &risk, bool requires_open_port)
    : usage(usage)
    , arguments(arguments)
    , options(options)
    , permission(permission)
    , risk(risk)
    , requires_open_port(requires_open_port)
{
}

const QList<Command> &commands()
{
    // Built once, thread-safe on first use, never changed afterwards.
    static const QList<Command> catalogue = buildCatalogue();
    return catalogue;
}

const Command *findCommand(const QString &name)
{
    const QString wanted = name.toLower();
    for (const Command &entry : commands()) {
        if (entry.name == wanted)
            return &entry;
    }
    return nullptr;
}

QStringList commandNames()
{
    QStringList names;
    for (const Command &entry : commands())
        names.append(entry.name);
    return names;
}

ArgumentSpec integerArgument(const QString &name, qint64 minimum, qint64 maximum, const QString &description)
{
    return boundedArgument(name, QStringLiteral("integer"), true, minimum, maximum, description);
}

ArgumentSpec rangeArgument(const QString &name, qint64 maximum, const QString &format, const QString &description)
{
    ArgumentSpec argument = boundedArgument(name, QStringLiteral("range"), false, 0, maximum, description);
    argument.format = format;
    return argument;
}

OptionSpec verboseOption()
{
    return {{QStringLiteral("-v"), QStringLiteral("--verbose")}, QStringLiteral("Write packet diagnostics to stderr.")};
}

} // namespace script
