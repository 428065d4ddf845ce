#include "script/ScriptOptions.h"

#include "licenses/LicenseTexts.h"
#include "script/CommandSchema.h"
#include "script/HelpTexts.h"

#include <QCoreApplication>
#include <QJsonDocument>

namespace script {

namespace {

const QString kHelp = QStringLiteral("help");
const QString kLicense = QStringLiteral("license");
const QString kAiHelp = QStringLiteral("ai-help");
const QString kCommandSchema = QStringLiteral("command-schema");
const QString kExecute = QStringLiteral("execute");
const QString kFile = QStringLiteral("file");
const QString kJson = QStringLiteral("json");
const QString kAllowWrite = QStringLiteral("allow-write");
const QString kAllowDestructive = QStringLiteral("allow-destructive");

// Appended to the generated help: how the program is started.
QString invocationText()
{
    return QStringLiteral("\n"
                          "Invocation:\n"
                          "  zephlet-cli\n"
                          "      Start the interactive REPL.\n"
                          "  zephlet-cli -e \"<command>\" [-e \"<command>\" ...]\n"
                          "      Execute one or more commands in order.\n"
                          "  zephlet-cli -f <path>\n"
                          "      Execute commands from a UTF-8 file.\n"
                          "  zephlet-cli --ai-help\n"
                          "      Display AI agent safety and execution guidance.\n"
                          "  zephlet-cli --command-schema\n"
                          "      Write the machine-readable script command contract.\n");
}

QString helpOutput(const QCommandLineParser &parser)
{
    QString text = parser.helpText();
    const qsizetype firstBreak = text.indexOf(QLatin1Char('\n'));
    if (firstBreak >= 0)
        text.replace(0, firstBreak, QStringLiteral("Usage: zephlet-cli [options]"));
    return text + invocationText();
}

QString schemaOutput()
{
    const QJsonDocument document(commandSchema(QCoreApplication::applicationVersion()));
    QString text = QString::fromUtf8(document.toJson(QJsonDocument::Indented));
    if (!text.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    return text;
}

ScriptOptions answer(int exitCode, const QString &text, bool toStderr = false)
{
    ScriptOptions options;
    options.valid = true;
    options.exitNow = true;
    options.exitCode = exitCode;
    options.outputText = text;
    options.textToStderr = toStderr;
    return options;
}

ScriptOptions error(const QString &text)
{
    ScriptOptions options;
    options.errorText = text;
    return options;
}

} // namespace

void configureOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral("Quorvex Zephlet CLI"));
    parser.addOption(QCommandLineOption({QStringLiteral("h"), kHelp},
                                        QStringLiteral("Displays help on command-line options.")));
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(kLicense, QStringLiteral("Displays software license information.")));
    parser.addOption(QCommandLineOption(kAiHelp, QStringLiteral("Displays operational guidance for AI agents.")));
    parser.addOption(QCommandLineOption(kCommandSchema, QStringLiteral("Writes the script command contract as JSON.")));
    parser.addOption(QCommandLineOption({QStringLiteral("e"), kExecute},
                                        QStringLiteral("Execute one command. May be repeated."),
                                        QStringLiteral("command")));
    parser.addOption(QCommandLineOption({QStringLiteral("f"), kFile},
                                        QStringLiteral("Execute commands from a UTF-8 file."), QStringLiteral("path")));
    parser.addOption(QCommandLineOption(kJson, QStringLiteral("Write one JSON object per command.")));
    parser.addOption(QCommandLineOption(kAllowWrite, QStringLiteral("Allow set commands.")));
    parser.addOption(
        QCommandLineOption(kAllowDestructive, QStringLiteral("Allow reset, reboot, and device clear commands.")));
}

ScriptOptions parseOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    configureOptions(parser);
    if (!parser.parse(arguments))
        return error(parser.errorText());

    const bool aiHelp = parser.isSet(kAiHelp);
    const bool schema = parser.isSet(kCommandSchema);
    const bool help = parser.isSet(kHelp);
    const bool version = parser.isSet(QStringLiteral("version"));
    const bool license = parser.isSet(kLicense);
    const QStringList executeValues = parser.values(kExecute);
    const QStringList fileValues = parser.values(kFile);
    const QStringList positional = parser.positionalArguments();

    if (aiHelp || schema) {
        const bool others = (aiHelp && schema) || help || version || license || parser.isSet(kExecute)
                            || parser.isSet(kFile) || parser.isSet(kJson) || parser.isSet(kAllowWrite)
                            || parser.isSet(kAllowDestructive) || !positional.isEmpty();
        if (others)
            return error(QStringLiteral("--ai-help and --command-schema are standalone options and cannot be "
                                        "combined with other operations."));
        return answer(0, aiHelp ? aiHelpText() : schemaOutput());
    }
    if (help)
        return answer(0, helpOutput(parser));
    if (version)
        return answer(0, QStringLiteral("zephlet-cli %1\n").arg(QCoreApplication::applicationVersion()));
    if (license) {
        QString loadError;
        const QString text = loadLicenseText(&loadError);
        if (!loadError.isEmpty())
            return answer(1, loadError + QLatin1Char('\n'), true);
        return answer(0, text);
    }
    if (!positional.isEmpty())
        return error(QStringLiteral("Unexpected argument: %1").arg(positional.constFirst()));
    if (!fileValues.isEmpty() && !executeValues.isEmpty())
        return error(QStringLiteral("--execute and --file are mutually exclusive."));
    if (fileValues.size() >= 2)
        return error(QStringLiteral("--file may only be specified once."));
    if (fileValues.isEmpty() && executeValues.isEmpty())
        return error(QStringLiteral("One of --execute or --file is required."));

    ScriptOptions options;
    options.valid = true;
    options.exitCode = 0;
    options.commands = executeValues;
    options.filePath = fileValues.value(0);
    options.readFile = executeValues.isEmpty();
    options.json = parser.isSet(kJson);
    options.allowDestructive = parser.isSet(kAllowDestructive);
    options.allowWrite = parser.isSet(kAllowWrite) || options.allowDestructive;
    return options;
}

} // namespace script
