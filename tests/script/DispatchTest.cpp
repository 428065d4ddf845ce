// Validation and dispatch of one command line: refusals, permissions,
// argument checks, the answers given without a device, and the backend call
// each device command turns into.

#include "script/CommandDispatch.h"
#include "tests/script/FakeBackend.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

using script::ScriptResult;

namespace {

struct Permissions
{
    bool write = false;
    bool destructive = false;
};

class Dispatch : public ::testing::Test
{
protected:
    // Runs `line` (already split into words) and returns its record; `calls`
    // then holds what reached the backend.
    ScriptResult run(const QStringList &words, Permissions permissions = {})
    {
        log->calls.clear();
        script::CommandContext context;
        context.name = words.value(0).toLower();
        context.args = words.mid(1);
        const ScriptResult record = script::executeCommand(context, backend, permissions.write,
                                                           permissions.destructive);
        calls = log->calls;
        return record;
    }

    std::shared_ptr<FakeLog> log = std::make_shared<FakeLog>();
    FakeBackend backend{log};
    QStringList calls;
};

const Permissions kWrite{true, false};
const Permissions kDestructive{false, true};

TEST_F(Dispatch, DeviceCommandsReachTheBackendWithTheirArguments)
{
    const struct
    {
        QStringList words;
        Permissions permissions;
        QString call;
    } cases[] = {
        {{"port"}, {}, "listPorts"},
        {{"open", "/dev/ttyUSB0", "57600"}, {}, "open /dev/ttyUSB0 57600"},
        {{"OPEN", "COM3", "2147483647"}, {}, "open COM3 2147483647"},
        {{"protocol", "1.0"}, {}, "setProtocol 1.0"},
        {{"timeout", "0"}, {}, "setNetworkDelay 0"},
        {{"timeout", "2147483647"}, {}, "setNetworkDelay 2147483647"},
        {{"scan"}, {}, "scan 0 252 all"},
        {{"scan", "10-20"}, {}, "scan 10 20 range"},
        {{"scan", "7-7", "--verbose"}, {}, "scan 7 7 range verbose"},
        {{"ping", "1", "-v"}, {}, "ping 1 verbose"},
        {{"ping", "-v", "252"}, {}, "ping 252 verbose"},
        {{"Get", "0", "Present Position"}, {}, "get 0 Present Position"},
        {{"set", "1", "LED", "-1"}, kWrite, "set 1 LED -1"},
        {{"set", "1", "Goal Position", "-2147483648", "-v"}, kDestructive, "set 1 Goal Position -2147483648 verbose"},
        {{"table", "1"}, {}, "table 1 0 65535"},
        {{"table", "1", "5-5"}, {}, "table 1 5 5"},
        {{"status", "3", "-v"}, {}, "status 3"},
        {{"reset", "1"}, kDestructive, "reset 1"},
        {{"reboot", "2", "-v"}, kDestructive, "reboot 2 verbose"},
        {{"clear", "1", "10", "-v"}, kDestructive, "clear 1 10 verbose"},
        {{"clear", "1", "2"}, kDestructive, "clear 1 2"},
        {{"close", "--verbose"}, {}, "close"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.words.join(' ').toStdString());
        const ScriptResult record = run(c.words, c.permissions);
        EXPECT_TRUE(record.success) << record.message.toStdString();
        EXPECT_EQ(record.exitCode, 0);
        EXPECT_EQ(record.command, c.words.first().toLower());
        EXPECT_EQ(calls, QStringList{c.call});
    }
}

struct Refusal
{
    QStringList words;
    Permissions permissions;
    int exitCode;
    QString code;
    QString message;
};

TEST_F(Dispatch, RefusalsNeverReachTheBackend)
{
    const QString interactive = "Interactive/continuous options are not supported in script mode.";
    const QString scanRange = "Scan range must be start-end within 0..252.\nUsage: scan [start-end] [-v|--verbose]";
    const QString tableRange =
        "Table range must be start-end within 0..65535.\nUsage: table <id> [start-end] [-v|--verbose]";
    const QString clearUsage = "Usage: clear <id> <1|2|10> [-v|--verbose]";
    const Refusal cases[] = {
        {{"EXIT"}, {}, 2, "unsupported_command", "Command is not supported in script mode: exit"},
        {{"update", "1"}, {}, 2, "unsupported_command", "Command is not supported in script mode: update"},
        {{"aging"}, {}, 2, "unsupported_command", "Command is not supported in script mode: aging"},
        {{"help", "-c"}, {}, 2, "unsupported_command", interactive},
        {{"get", "1", "LED", "--continuous"}, {}, 2, "unsupported_command", interactive},
        {{"table", "1", "-p"}, {}, 2, "unsupported_command", interactive},
        {{"frobnicate", "--page"}, {}, 2, "unsupported_command", interactive},
        {{"frobnicate"}, {}, 2, "unknown_command", "Unknown command: frobnicate"},
        {{"set", "1", "LED", "1"}, {}, 3, "permission_denied", "set requires --allow-write."},
        {{"set"}, {}, 3, "permission_denied", "set requires --allow-write."},
        {{"reset"}, {}, 3, "permission_denied", "reset requires --allow-destructive."},
        {{"reboot", "1"}, kWrite, 3, "permission_denied", "reboot requires --allow-destructive."},
        {{"clear", "1", "2"}, kWrite, 3, "permission_denied", "clear requires --allow-destructive."},
        {{"clear", "1"}, {}, 2, "invalid_argument", clearUsage},
        {{"clear", "1", "3"}, kDestructive, 2, "invalid_argument", clearUsage},
        {{"clear", "1", "11"}, kDestructive, 2, "invalid_argument", clearUsage},
        {{"clear", "1", "-10"}, kDestructive, 2, "invalid_argument", clearUsage},
        {{"ping", "253"}, {}, 2, "invalid_argument", "Usage: ping <id> [-v|--verbose]"},
        {{"ping", "-1"}, {}, 2, "invalid_argument", "Usage: ping <id> [-v|--verbose]"},
        {{"ping", "4294967297"}, {}, 2, "invalid_argument", "Usage: ping <id> [-v|--verbose]"},
        {{"ping"}, {}, 2, "invalid_argument", "Usage: ping <id> [-v|--verbose]"},
        {{"ping", "1", "2"}, {}, 2, "invalid_argument", "Usage: ping <id> [-v|--verbose]"},
        {{"scan", "20-10"}, {}, 2, "invalid_argument", scanRange},
        {{"scan", "10-"}, {}, 2, "invalid_argument", scanRange},
        {{"scan", "-5"}, {}, 2, "invalid_argument", scanRange},
        {{"scan", "1-2-3"}, {}, 2, "invalid_argument", scanRange},
        {{"scan", "0-253"}, {}, 2, "invalid_argument", scanRange},
        {{"scan", "1-2", "3-4"}, {}, 2, "invalid_argument", "Usage: scan [start-end] [-v|--verbose]"},
        {{"table", "300", "0-10"}, {}, 2, "invalid_argument", "Usage: table <id> [start-end] [-v|--verbose]"},
        {{"table", "1", "0-65536"}, {}, 2, "invalid_argument", tableRange},
        {{"table", "1", "9-8"}, {}, 2, "invalid_argument", tableRange},
        {{"get", "1", "Present", "Position"}, {}, 2, "invalid_argument", "Usage: get <id> \"<item>\" [-v|--verbose]"},
        {{"get", "1", ""}, {}, 2, "invalid_argument", "Usage: get <id> \"<item>\" [-v|--verbose]"},
        {{"set", "1", "LED", "2147483648"}, kWrite, 2, "invalid_argument",
         "Usage: set <id> \"<item>\" <value> [-v|--verbose]"},
        {{"set", "1", "", "1"}, kWrite, 2, "invalid_argument", "Usage: set <id> \"<item>\" <value> [-v|--verbose]"},
        {{"protocol", "2"}, {}, 2, "invalid_argument", "Usage: protocol <1.0|2.0>"},
        {{"timeout", "-1"}, {}, 2, "invalid_argument", "Usage: timeout <network-delay-ms>"},
        {{"timeout", "99999999999"}, {}, 2, "invalid_argument", "Usage: timeout <network-delay-ms>"},
        {{"open", "ttyS0", "0"}, {}, 2, "invalid_argument", "Usage: open <port> <baudrate>"},
        {{"open", "ttyS0"}, {}, 2, "invalid_argument", "Usage: open <port> <baudrate>"},
        {{"port", "x"}, {}, 2, "invalid_argument", "Usage: port"},
        {{"license", "x"}, {}, 2, "invalid_argument", "Usage: license"},
        {{"help", "a", "b"}, {}, 2, "invalid_argument", "Usage: help [command]"},
        {{"help", "nothing"}, {}, 2, "unknown_command", "Unknown help topic: nothing"},
        {{"help", "EXIT"}, {}, 2, "unknown_command", "Unknown help topic: exit"},
    };
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.words.join(' ').toStdString());
        const ScriptResult record = run(c.words, c.permissions);
        EXPECT_FALSE(record.success);
        EXPECT_EQ(record.command, c.words.first().toLower());
        EXPECT_EQ(record.exitCode, c.exitCode);
        EXPECT_EQ(record.errorCode, c.code);
        EXPECT_EQ(record.message, c.message);
        EXPECT_TRUE(record.details.isEmpty());
        EXPECT_TRUE(calls.isEmpty()) << calls.join(", ").toStdString();
    }
}

TEST_F(Dispatch, HelpLicenseAndCopyrightAreAnsweredHere)
{
    const ScriptResult help = run({"help", "SET"});
    EXPECT_TRUE(help.success);
    EXPECT_EQ(help.data, (QVariantMap{{"topic", "set"},
                                      {"text", "Write a control table item.\n"
                                               "Usage: set <id> \"<item>\" <value> [-v|--verbose]"}}));
    EXPECT_TRUE(run({"help"}).data.value("text").toString().startsWith("Available script commands:\n"));
    EXPECT_EQ(run({"help"}).data.value("topic"), QString());

    const ScriptResult license = run({"license", "-v"});
    EXPECT_TRUE(license.success);
    EXPECT_EQ(license.data.value("topic"), "license");
    EXPECT_TRUE(license.data.value("text").toString().endsWith("  Full license text: COPYING.LESSER\n"));

    const ScriptResult copyright = run({"copyright"});
    EXPECT_EQ(copyright.data.value("topic"), "copyright");
    EXPECT_EQ(copyright.data.value("text").toString().size(), 202);
    EXPECT_TRUE(calls.isEmpty());
}

TEST_F(Dispatch, BackendFailuresEndWithExitCodeOne)
{
    backend.answers.insert("set", script::CommandResult::failure(
                                      "invalid_argument", "Value for LED must be between 0 and 1",
                                      {{"minimum", 0}, {"maximum", 1}, {"value", 5}}));
    backend.answers.insert("ping", script::CommandResult::failure("port_not_open", "Port is not open"));
    const ScriptResult set = run({"set", "1", "LED", "5"}, kWrite);
    EXPECT_EQ(set.exitCode, 1);
    EXPECT_EQ(set.errorCode, "invalid_argument");
    EXPECT_EQ(set.details, (QVariantMap{{"minimum", 0}, {"maximum", 1}, {"value", 5}}));
    const ScriptResult ping = run({"ping", "1"});
    EXPECT_EQ(ping.exitCode, 1);
    EXPECT_EQ(ping.errorCode, "port_not_open");
    EXPECT_EQ(ping.message, "Port is not open");
}

} // namespace
