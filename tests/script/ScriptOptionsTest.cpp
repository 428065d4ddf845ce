// The script-mode command line: answers given at once, errors, and the
// settings of a run.

#include "script/ScriptOptions.h"
#include "tests/support/QtPrinters.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

using script::ScriptOptions;

namespace {

ScriptOptions parse(const QStringList &arguments)
{
    QCoreApplication::setApplicationVersion(QStringLiteral("1.18.3"));
    return script::parseOptions(QStringList{QStringLiteral("/usr/bin/some-name")} + arguments);
}

const QString kStandalone = QStringLiteral(
    "--ai-help and --command-schema are standalone options and cannot be combined with other operations.");

TEST(ScriptOptions, RefusedCommandLinesNameTheReason)
{
    const struct
    {
        QStringList arguments;
        QString error; // empty: only "not valid" is checked (the parser's own words)
    } cases[] = {
        {{"--ai-help", "--json"}, kStandalone},
        {{"--command-schema", "-e", "ping 1"}, kStandalone},
        {{"--ai-help", "--command-schema"}, kStandalone},
        {{"--ai-help", "stray"}, kStandalone},
        {{"--command-schema", "--help"}, kStandalone},
        {{"-e", "ping", "1"}, "Unexpected argument: 1"},
        {{"-f", "a", "-f", "b"}, "--file may only be specified once."},
        {{"-e", "ping 1", "--file", "a"}, "--execute and --file are mutually exclusive."},
        {{"--json"}, "One of --execute or --file is required."},
        {{"--allow-write"}, "One of --execute or --file is required."},
        {{""}, "Unexpected argument: "},
        {{"-?"}, {}},
        {{"--nope", "-e", "ping 1"}, {}},
        {{"-e"}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const ScriptOptions options = parse(c.arguments);
        EXPECT_FALSE(options.valid);
        EXPECT_FALSE(options.exitNow);
        EXPECT_EQ(options.exitCode, 2);
        if (c.error.isEmpty())
            EXPECT_FALSE(options.errorText.isEmpty());
        else
            EXPECT_EQ(options.errorText, c.error);
    }
}

TEST(ScriptOptions, AnswersGivenAtOnceWinOverTheInputRules)
{
    const struct
    {
        QStringList arguments;
        QString startsWith;
    } cases[] = {
        {{"--help", "-e", "ping 1"}, "Usage: zephlet-cli [options]\nQuorvex Zephlet CLI\n"},
        {{"-h"}, "Usage: zephlet-cli [options]\n"},
        {{"--version", "--file", "x"}, "zephlet-cli 1.18.3\n"},
        {{"-v", "--json"}, "zephlet-cli 1.18.3\n"},
        {{"--ai-help"}, "Quorvex Zephlet CLI - AI Agent Help\n"},
        {{"--command-schema"}, "{\n"},
        {{"--license"}, "MIT License"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const ScriptOptions options = parse(c.arguments);
        EXPECT_TRUE(options.valid);
        EXPECT_TRUE(options.exitNow);
        EXPECT_FALSE(options.textToStderr);
        EXPECT_EQ(options.exitCode, 0);
        EXPECT_TRUE(options.outputText.startsWith(c.startsWith)) << options.outputText.left(80).toStdString();
        EXPECT_TRUE(options.outputText.endsWith('\n'));
    }
    EXPECT_EQ(parse({"--version"}).outputText, QStringLiteral("zephlet-cli 1.18.3\n"));
}

TEST(ScriptOptions, HelpListsTheOptionsInOrderAndEndsWithTheInvocationBlock)
{
    const QString help = parse({"--help"}).outputText;
    const QStringList order{"-h, --help", "-v, --version", "--license", "--ai-help", "--command-schema",
                            "-e, --execute <command>", "-f, --file <path>", "--json", "--allow-write",
                            "--allow-destructive"};
    qsizetype at = 0;
    for (const QString &option : order) {
        const qsizetype found = help.indexOf(option, at);
        EXPECT_GT(found, at) << option.toStdString();
        at = found;
    }
    const QString invocation = QStringLiteral(
        "\nInvocation:\n"
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
    EXPECT_TRUE(help.endsWith(invocation));
    EXPECT_TRUE(help.contains(QStringLiteral("Execute one command. May be repeated.")));
    EXPECT_TRUE(help.contains(QStringLiteral("Allow reset, reboot, and device clear commands.")));
}

TEST(ScriptOptions, RunSettingsCarryTheInputAndThePermissions)
{
    const struct
    {
        QStringList arguments;
        bool readFile;
        QStringList commands;
        QString file;
        bool json;
        bool write;
        bool destructive;
    } cases[] = {
        {{"-e", "ping 1", "--execute=get 1 LED", "-e", ""}, false, {"ping 1", "get 1 LED", ""}, {}, false, false, false},
        {{"-f", "run.txt", "--json"}, true, {}, "run.txt", true, false, false},
        {{"--allow-write", "-e", "x"}, false, {"x"}, {}, false, true, false},
        {{"--allow-destructive", "-e", "x"}, false, {"x"}, {}, false, true, true},
        {{"--file=a b.txt", "--allow-write", "--allow-destructive"}, true, {}, "a b.txt", false, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const ScriptOptions options = parse(c.arguments);
        ASSERT_TRUE(options.valid) << options.errorText.toStdString();
        EXPECT_FALSE(options.exitNow);
        EXPECT_EQ(options.exitCode, 0);
        EXPECT_EQ(options.readFile, c.readFile);
        EXPECT_EQ(options.commands, c.commands);
        EXPECT_EQ(options.filePath, c.file);
        EXPECT_EQ(options.json, c.json);
        EXPECT_EQ(options.allowWrite, c.write);
        EXPECT_EQ(options.allowDestructive, c.destructive);
    }
}

} // namespace
