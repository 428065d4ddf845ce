#include "licenses/LicenseTexts.h"
#include "console/app/QvxCommand.h"
#include "control/QvxControl.h"
#include "platform/CommandLine.h"
#include "platform/OutputSink.h"
#include "script/ScriptRunner.h"

#include <QCoreApplication>

namespace {

// Writes a usage line of a first-argument word and gives the usage-error code.
int usageError(const QString &usage)
{
    platform::ErrorSink::write(QStringLiteral("Usage: zephlet-cli %1\n").arg(usage));
    return 2;
}

// The device backend of script mode: a device-operations object without line
// editor and without parent, owned by the runner from here on.
std::unique_ptr<script::IQvxCommandBackend> createBackend()
{
    return std::make_unique<QvxControl>(nullptr, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zephlet-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.18.3"));

    // Read from the raw bytes, so that script mode can refuse arguments that
    // are not UTF-8 instead of running on replacement characters.
    const QStringList arguments = platform::commandLineArguments(argc, argv);
    if (arguments.size() > 1) {
        const QString word = arguments.at(1).toLower();
        const qsizetype further = arguments.size() - 2;
        if (word == QLatin1String("license"))
            return further > 0 ? usageError(QStringLiteral("license")) : (printLicense() ? 1 : 0);
        if (word == QLatin1String("copyright")) {
            if (further > 0)
                return usageError(QStringLiteral("copyright"));
            printCopyright();
            return 0;
        }
        if (word == QLatin1String("upgrade")) {
            const bool checkOnly = further == 1;
            if (further >= 2
                || (checkOnly && arguments.at(2) != QLatin1String("--check") && arguments.at(2) != QLatin1String("-c")))
                return usageError(QStringLiteral("upgrade [--check|-c]"));
            return printUpgradeUnsupported(checkOnly, {});
        }
    }

    bool handled = false;
    const int exitCode = script::runScriptMode(arguments, createBackend, &handled);
    if (handled)
        return exitCode;

    // A bare invocation: the interactive console.
    QvxCommand console;
    return console.run();
}
