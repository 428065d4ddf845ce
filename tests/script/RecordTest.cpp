// Records of a script run: how they are built, their JSON lines, their text
// form, and the rule by which a bus result becomes a command result.

#include "script/backend/CommandResult.h"
#include "script/backend/ErrorCodes.h"
#include "script/ScriptOutput.h"
#include "script/ScriptResult.h"
#include "script/TextRendering.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

using script::CommandResult;
using script::ScriptResult;

namespace {

TEST(Records, BackendResultsKeepTheirCodeAndTakeExitCodeOne)
{
    const ScriptResult ok =
        ScriptResult::fromCommandResult("ping", CommandResult::success({{"id", 1}}, "ignored message"));
    EXPECT_TRUE(ok.success);
    EXPECT_EQ(ok.exitCode, 0);
    EXPECT_EQ(ok.data, (QVariantMap{{"id", 1}}));
    EXPECT_TRUE(ok.message.isEmpty());

    const ScriptResult range = ScriptResult::fromCommandResult(
        "set", CommandResult::failure("invalid_argument", "Item is read-only", {{"id", 1}}));
    EXPECT_FALSE(range.success);
    EXPECT_EQ(range.exitCode, 1);
    EXPECT_EQ(range.errorCode, "invalid_argument");
    EXPECT_EQ(range.details, (QVariantMap{{"id", 1}}));
    EXPECT_TRUE(range.data.isEmpty());

    const ScriptResult uncoded = ScriptResult::fromCommandResult("get", CommandResult::failure({}, "broken"));
    EXPECT_EQ(uncoded.errorCode, "communication_error");
    EXPECT_EQ(uncoded.exitCode, 1);
}

TEST(Records, UsageErrorsEndWithTheUsageText)
{
    const ScriptResult bare = ScriptResult::usageError("ping");
    EXPECT_EQ(bare.exitCode, 2);
    EXPECT_EQ(bare.errorCode, "invalid_argument");
    EXPECT_EQ(bare.message, "Usage: ping <id> [-v|--verbose]");
    EXPECT_EQ(ScriptResult::usageError("scan", "Scan range must be start-end within 0..252.").message,
              "Scan range must be start-end within 0..252.\nUsage: scan [start-end] [-v|--verbose]");
}

TEST(Records, JsonLinesHaveTheirKeysInOrderOnOneLine)
{
    const struct
    {
        ScriptResult record;
        QString line;
    } cases[] = {
        {ScriptResult::fromCommandResult("close", CommandResult::success()),
         R"({"command":"close","data":{},"success":true})"},
        {ScriptResult::fromCommandResult(
             "get", CommandResult::success({{"id", 1},
                                            {"item", QVariantMap{{"name", "LED"}, {"value", 0}, {"unit", ""}}},
                                            {"model", "AR-240"},
                                            {"flags", QVariantList{QVariantMap{{"bit", 3}, {"name", "Bit 3"}}}},
                                            {"on", false}})),
         R"({"command":"get","data":{"flags":[{"bit":3,"name":"Bit 3"}],"id":1,"item":{"name":"LED","unit":"","value":0},"model":"AR-240","on":false},"success":true})"},
        {ScriptResult::failure("", 2, "invalid_input", "Input is not valid UTF-8."),
         R"({"command":"","error":{"code":"invalid_input","message":"Input is not valid UTF-8."},"success":false})"},
        {ScriptResult::fromCommandResult(
             "get", CommandResult::failure("ambiguous_item", "Item name is ambiguous: pos",
                                           {{"matches", QStringList{"Goal Position", "Present Position"}}})),
         R"({"command":"get","error":{"code":"ambiguous_item","details":{"matches":["Goal Position","Present Position"]},"message":"Item name is ambiguous: pos"},"success":false})"},
        {ScriptResult::usageError("ping"),
         R"({"command":"ping","error":{"code":"invalid_argument","message":"Usage: ping <id> [-v|--verbose]"},"success":false})"},
        {ScriptResult::usageError("scan", "Scan range must be start-end within 0..252."),
         R"({"command":"scan","error":{"code":"invalid_argument","message":"Scan range must be start-end within 0..252.\nUsage: scan [start-end] [-v|--verbose]"},"success":false})"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(script::recordJson(c.record), c.line + '\n');
}

QString text(const QString &command, const QVariantMap &data)
{
    return script::formatText(ScriptResult::fromCommandResult(command, CommandResult::success(data)));
}

QVariantMap device(int id)
{
    return {{"id", id}, {"model_number", 1020}, {"model", "AR-240"}, {"firmware", 53}};
}

QVariantMap with(QVariantMap map, const QVariantMap &more)
{
    for (auto it = more.constBegin(); it != more.constEnd(); ++it)
        map.insert(it.key(), it.value());
    return map;
}

const QVariantMap kPosition{{"name", "Present Position"}, {"address", 132}, {"length", 4},   {"access", "r"},
                            {"memory", "ram"},            {"value", 2048},  {"display_value", "180.00"},
                            {"unit", "[deg]"}};

TEST(TextRendering, EachCommandHasItsLayout)
{
    const QVariantMap range{{"start", 10}, {"end", 20}};
    const struct
    {
        QString command;
        QVariantMap data;
        QString text;
    } cases[] = {
        {"port", {}, "No serial ports found.\n"},
        {"port", {{"ports", QVariantList{}}}, "No serial ports found.\n"},
        {"port",
         {{"ports", QVariantList{QVariantMap{{"name", "ttyS0"}, {"title", "ttyS0 (16550A)"}},
                                 QVariantMap{{"name", "ttyUSB0"}, {"title", ""}}}}},
         "Available ports:\n  1. ttyS0 (16550A)\n  2. ttyUSB0\n"},
        {"open", {{"port", "/dev/ttyUSB0"}, {"baudrate", 1000000}}, "Port opened: /dev/ttyUSB0 at 1000000 bps.\n"},
        {"close", {{"port", "ttyUSB0"}, {"was_open", true}}, "Port closed: ttyUSB0.\n"},
        {"close", {{"port", "ttyUSB0"}, {"was_open", false}}, "Port is already closed.\n"},
        {"protocol", {{"version", "2.0"}}, "Protocol version: 2.0\n"},
        {"timeout", {{"network_delay_ms", 0}}, "Network delay: 0 ms\n"},
        {"scan", {{"range", range}, {"devices", QVariantList{}}}, "Scan range: 10-20\nNo devices found.\n"},
        {"scan",
         {{"range", range},
          {"devices", QVariantList{device(11), QVariantMap{{"id", 12}, {"model_number", 7}, {"model", "Unknown"},
                                                           {"firmware", 1}}}}},
         "Scan range: 10-20\nDevices:\n  ID 11: AR-240 (model 1020, firmware 53)\n"
         "  ID 12: Unknown (model 7, firmware 1)\n"},
        {"ping", device(3), "ID 3: AR-240 (model 1020, firmware 53)\n"},
        {"get", with(device(1), {{"item", kPosition}, {"acknowledged", true}}),
         "ID 1: AR-240 (model 1020, firmware 53)\nPresent Position: 180.00 [deg]\n"
         "  Address: 132, length: 4, access: r, memory: ram\n"},
        {"set", with(device(1), {{"item", kPosition}, {"value", 2048}, {"acknowledged", true}}),
         "ID 1: AR-240 (model 1020, firmware 53)\nPresent Position: 180.00 [deg]\n"
         "  Address: 132, length: 4, access: r, memory: ram\nWrite acknowledged.\n"},
        {"set", with(device(1), {{"item", kPosition}, {"acknowledged", false}}),
         "ID 1: AR-240 (model 1020, firmware 53)\nPresent Position: 180.00 [deg]\n"
         "  Address: 132, length: 4, access: r, memory: ram\n"},
        {"table",
         with(device(1), {{"range", QVariantMap{{"start", 0}, {"end", 65535}}},
                          {"items", QVariantList{kPosition, QVariantMap{{"name", "LED"}, {"address", 65},
                                                                         {"length", 1}, {"access", "rw"},
                                                                         {"memory", "ram"}, {"value", 1},
                                                                         {"display_value", "On"}, {"unit", ""}}}}}),
         "ID 1: AR-240 (model 1020, firmware 53)\nAddress range: 0-65535\nAddress  Size  Access  Memory  Name  Value\n"
         "132  4  r  ram  Present Position  180.00 [deg]\n65  1  rw  ram  LED  On\n"},
        {"status",
         with(device(2), {{"items", QVariantList{with(kPosition, {{"key", "position"}}),
                                                 QVariantMap{{"key", "torque"}, {"value", true}}}}}),
         "ID 2: AR-240 (model 1020, firmware 53)\nStatus:\n  Present Position: 180.00 [deg]\n  torque: yes\n"},
        {"reset", {{"id", 4}, {"parameter", 0}, {"acknowledged", true}}, "reset acknowledged for ID 4 (parameter 0).\n"},
        {"reboot", {{"id", 4}, {"parameter", 0}}, "reboot acknowledged for ID 4 (parameter 0).\n"},
        {"clear", {{"id", 4}, {"parameter", 10}}, "clear acknowledged for ID 4 (parameter 10).\n"},
        {"clear", {{"parameter", 10}}, "parameter: 10\n"},
        {"help", {{"topic", ""}, {"text", "line"}}, "line\n"},
        {"license", {{"text", "terms\n"}}, "terms\n"},
        {"copyright", {}, "\n"},
        {"frobnicate", {}, "frobnicate: OK\n"},
        {"frobnicate",
         {{"b", QVariantMap{{"x", 1}, {"y", QStringList{"p", "q"}}}},
          {"a", QVariantList{QVariantMap{{"k", "v"}, {"n", QVariantMap{{"deep", false}}}}, 7}}},
         "a:\n  -\n    k: v\n    n:\n      deep: no\n  - 7\nb:\n  x: 1\n  y: p, q\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(text(c.command, c.data), c.text) << c.command.toStdString();
}

TEST(TextRendering, SharedPiecesReadWhatIsThere)
{
    EXPECT_EQ(script::deviceLine({{"id", 5}}), "ID 5");
    EXPECT_EQ(script::deviceLine({{"id", 5}, {"model", "AR-240"}, {"firmware", 53}}), "ID 5: AR-240");
    EXPECT_EQ(script::deviceLine({{"id", 5}, {"model_number", 1020}}), "ID 5 (model 1020)");
    EXPECT_EQ(script::deviceLine({{"id", "x"}}), "ID 0");

    EXPECT_EQ(script::valueText({{"display_value", ""}, {"value", -3}, {"unit", "mA"}}), "-3 mA");
    EXPECT_EQ(script::valueText({{"value", false}}), "no");
    EXPECT_EQ(script::valueText({{"display_value", "On"}}), "On");
    EXPECT_EQ(script::valueText({{"unit", "V"}}), " V");

    EXPECT_EQ(script::variantText(true), "yes");
    EXPECT_EQ(script::variantText(QStringList{"a", "b"}), "a, b");
    EXPECT_EQ(script::variantText(QVariant()), "");
    EXPECT_EQ(script::variantText(-12), "-12");
}

TEST(BusResults, ReachScriptModeByOneRule)
{
    const QVariantMap details{{"id", 7}, {"communication_result", 0}, {"packet_error", 0}};
    const struct
    {
        int result;
        quint8 error;
        bool statusError;
        bool ok;
        QString code;
        QString message;
    } cases[] = {
        {0, 0, false, true, "", ""},
        {0, 0x80, false, true, "", ""},
        {0, 0x82, true, false, "packet_error", "Instruction Error"},
        {-3003, 0, false, false, "communication_error", "Operation cancelled"},
        {-3001, 0, false, false, "device_timeout", "Device 7 did not respond"},
        {-3002, 5, true, false, "communication_error", "COMM_RX_CORRUPT"},
        {-1, 0, false, false, "communication_error", "Unknown (-1)"},
    };
    for (const auto &c : cases) {
        const QString name = c.result == -3002 ? "COMM_RX_CORRUPT" : QStringLiteral("Unknown (%1)").arg(c.result);
        const CommandResult result =
            script::resultFromBus(7, c.result, c.error, name, c.statusError, "Instruction Error");
        EXPECT_EQ(result.ok, c.ok) << c.result;
        EXPECT_EQ(result.code, c.code) << c.result;
        EXPECT_EQ(result.message, c.message) << c.result;
        if (c.ok) {
            EXPECT_TRUE(result.data.isEmpty());
        } else {
            EXPECT_EQ(result.data, with(details, {{"communication_result", c.result}, {"packet_error", c.error}}));
        }
    }
}

} // namespace
