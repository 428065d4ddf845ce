// The command catalogue and what is published from it: the contract document,
// the usage and help texts, and the guidance text.

#include "script/CommandCatalogue.h"
#include "script/CommandSchema.h"
#include "script/HelpTexts.h"
#include "tests/support/QtPrinters.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

namespace {

QStringList namesWhere(const std::function<bool(const script::CommandForm &)> &test)
{
    QStringList names;
    for (const script::Command &command : script::commands())
        if (test(command.forms.constFirst()))
            names.append(command.name);
    return names;
}

TEST(Catalogue, HoldsSeventeenCommandsWithOneFormEach)
{
    EXPECT_EQ(script::commandNames(),
              (QStringList{"port", "open", "close", "protocol", "timeout", "scan", "ping", "get", "set", "table",
                           "status", "reset", "reboot", "clear", "help", "license", "copyright"}));
    for (const script::Command &command : script::commands())
        EXPECT_EQ(command.forms.size(), 1) << command.name.toStdString();

    EXPECT_EQ(namesWhere([](const auto &form) { return !form.options.isEmpty(); }),
              (QStringList{"scan", "ping", "get", "set", "table", "reset", "reboot", "clear"}));
    EXPECT_EQ(namesWhere([](const auto &form) { return form.permission == "write"; }), QStringList{"set"});
    EXPECT_EQ(namesWhere([](const auto &form) { return form.permission == "destructive"; }),
              (QStringList{"reset", "reboot", "clear"}));
    EXPECT_EQ(namesWhere([](const auto &form) { return form.risk == "session"; }),
              (QStringList{"open", "close", "protocol", "timeout"}));
    EXPECT_EQ(namesWhere([](const auto &form) { return form.requires_open_port; }),
              (QStringList{"scan", "ping", "get", "set", "table", "status", "reset", "reboot", "clear"}));
}

TEST(Catalogue, FindsCommandsWithoutRegardToCaseAndNothingElse)
{
    for (const char *name : {"scan", "Scan", "SCAN"}) {
        ASSERT_NE(script::findCommand(name), nullptr);
        EXPECT_EQ(script::findCommand(name)->name, QStringLiteral("scan")) << name;
    }
    for (const char *name : {"scan ", "", "update", "exit", "server", "test", "aging", "upgrade"})
        EXPECT_EQ(script::findCommand(name), nullptr) << name;
}

TEST(ContractDocument, HasThePublishedShape)
{
    const QJsonObject schema = script::commandSchema(QStringLiteral("1.18.3"));
    EXPECT_EQ(schema.keys(), (QStringList{"application", "commands", "contract", "exit_codes", "mode",
                                          "schema_version", "unsupported"}));
    EXPECT_EQ(schema["application"].toObject(),
              (QJsonObject{{"name", "zephlet-cli"}, {"version", "1.18.3"}}));
    EXPECT_EQ(script::commandSchema(QStringLiteral("9.9"))["application"].toObject()["version"].toString(), "9.9");
    EXPECT_EQ(schema["mode"].toString(), "script");
    EXPECT_EQ(schema["schema_version"].toString(), "1.0");

    const QJsonArray commands = schema["commands"].toArray();
    ASSERT_EQ(commands.size(), 17);
    EXPECT_EQ(commands.first()["name"].toString(), "port");
    EXPECT_EQ(commands.last()["name"].toString(), "copyright");

    QJsonArray exitCodes;
    for (const auto &[code, name] : std::initializer_list<std::pair<int, const char *>>{
             {0, "success"}, {1, "runtime_error"}, {2, "usage_error"}, {3, "permission_error"},
             {124, "command_timeout"}, {130, "interrupted"}})
        exitCodes.append(QJsonObject{{"code", code}, {"name", name}});
    EXPECT_EQ(schema["exit_codes"].toArray(), exitCodes);

    const QJsonArray unsupported = schema["unsupported"].toArray();
    QStringList features;
    for (const QJsonValue &feature : unsupported) {
        EXPECT_EQ(feature.toObject().keys(), (QStringList{"alternative", "feature", "reason"}));
        features.append(feature["feature"].toString());
    }
    EXPECT_EQ(features, (QStringList{"update", "upgrade", "exit", "server", "test", "aging", "get -c / --continuous",
                                     "table -p / --page"}));
    EXPECT_EQ(unsupported.at(1)["alternative"].toString(),
              "Invoke 'zephlet-cli upgrade' directly on a supported Linux AppImage.");

    const QJsonObject contract = schema["contract"].toObject();
    const QJsonObject expectedContract{
        {"allow_destructive_includes_write", true},
        {"command_deadline_ms", 30000},
        {"explicit_device_id_required_for_device_commands", true},
        {"fail_fast", true},
        {"interactive_fallback", false},
        {"json_output",
         QJsonObject{{"failure_fields", QJsonArray{"command", "success", "error"}},
                     {"flag", "--json"},
                     {"one_record_per_command", true},
                     {"success_fields", QJsonArray{"command", "success", "data"}}}},
        {"permissions",
         QJsonObject{{"destructive", QJsonObject{{"flag", "--allow-destructive"}, {"includes", QJsonArray{"write"}}}},
                     {"none", QJsonObject{{"flag", QJsonValue::Null}}},
                     {"write", QJsonObject{{"flag", "--allow-write"}}}}},
        {"recommended_output", "json_lines"},
        {"result_data_fields_are_stable_v1", false},
    };
    EXPECT_EQ(contract, expectedContract);
    EXPECT_TRUE(contract["permissions"]["none"].toObject().contains("flag"));
    EXPECT_TRUE(contract["permissions"]["none"]["flag"].isNull());
}

QJsonObject commandObject(const QString &name)
{
    for (const QJsonValue &command : script::commandSchema(QStringLiteral("1.18.3"))["commands"].toArray())
        if (command["name"].toString() == name)
            return command.toObject();
    return {};
}

QJsonArray argumentsOf(const QString &name)
{
    return commandObject(name)["forms"][0]["arguments"].toArray();
}

TEST(ContractDocument, DescribesEachCommandWithTypedArguments)
{
    const QJsonObject verbose{{"description", "Write packet diagnostics to stderr."},
                              {"names", QJsonArray{"-v", "--verbose"}}};
    const QJsonObject scan{
        {"description", "Scan for devices."},
        {"forms", QJsonArray{QJsonObject{
                      {"arguments", QJsonArray{QJsonObject{{"description", "Inclusive device ID range."},
                                                           {"format", "start-end"},
                                                           {"maximum", 252},
                                                           {"minimum", 0},
                                                           {"name", "id_range"},
                                                           {"required", false},
                                                           {"type", "range"}}}},
                      {"options", QJsonArray{verbose}},
                      {"permission", "none"},
                      {"requires_open_port", true},
                      {"risk", "read_only"},
                      {"usage", "scan [start-end] [-v|--verbose]"}}}},
        {"name", "scan"},
    };
    EXPECT_EQ(commandObject("scan"), scan);

    for (const char *name : {"port", "close", "license", "copyright"}) {
        EXPECT_EQ(argumentsOf(name), QJsonArray()) << name;
        EXPECT_EQ(commandObject(name)["forms"][0]["options"].toArray(), QJsonArray()) << name;
    }
    EXPECT_EQ(argumentsOf("status").size(), 1);
    EXPECT_EQ(commandObject("status")["forms"][0]["options"].toArray(), QJsonArray());

    const QJsonObject id{{"description", "Device ID."}, {"maximum", 252}, {"minimum", 0}, {"name", "id"},
                         {"required", true}, {"type", "integer"}};
    for (const char *name : {"ping", "get", "set", "table", "status", "reset", "reboot", "clear"})
        EXPECT_EQ(argumentsOf(name).first().toObject(), id) << name;

    EXPECT_EQ(argumentsOf("help").first().toObject(),
              (QJsonObject{{"description", "Supported script command name."}, {"name", "command"},
                           {"required", false}, {"type", "string"}}));
    EXPECT_EQ(argumentsOf("clear").last().toObject(),
              (QJsonObject{{"allowed_values", QJsonArray{1, 2, 10}}, {"description", "Device clear mode."},
                           {"name", "parameter"}, {"required", true}, {"type", "integer"}}));
    EXPECT_EQ(argumentsOf("protocol").first().toObject(),
              (QJsonObject{{"allowed_values", QJsonArray{"1.0", "2.0"}}, {"description", "Quorvex protocol version."},
                           {"name", "version"}, {"required", true}, {"type", "string"}}));
    const QJsonObject value = argumentsOf("set").last().toObject();
    EXPECT_EQ(value["minimum"].toInteger(), -2147483648LL);
    EXPECT_EQ(value["maximum"].toInteger(), 2147483647LL);
    EXPECT_EQ(argumentsOf("table").last()["maximum"].toInteger(), 65535);
    EXPECT_EQ(argumentsOf("open").last()["minimum"].toInteger(), 1);
    EXPECT_EQ(commandObject("get")["forms"][0]["usage"].toString(), "get <id> \"<item>\" [-v|--verbose]");
}

TEST(ContractDocument, PrintsItsKeysInAscendingOrder)
{
    const QByteArray text = QJsonDocument(script::commandSchema(QStringLiteral("1.18.3"))).toJson();
    const qsizetype application = text.indexOf("\"application\"");
    const qsizetype unsupported = text.indexOf("\"unsupported\"");
    EXPECT_LT(application, text.indexOf("\"commands\""));
    EXPECT_LT(text.lastIndexOf("\"schema_version\""), unsupported);
}

TEST(HelpTexts, GuidanceIsSixteenFixedLines)
{
    const QString text = script::aiHelpText();
    ASSERT_TRUE(text.endsWith('\n'));
    const QStringList lines = text.chopped(1).split('\n');
    ASSERT_EQ(lines.size(), 16);
    EXPECT_EQ(lines.at(0), "Quorvex Zephlet CLI - AI Agent Help");
    for (int empty : {1, 5, 13})
        EXPECT_TRUE(lines.at(empty).isEmpty());
    for (int i = 7; i <= 12; ++i)
        EXPECT_TRUE(lines.at(i).startsWith(QStringLiteral("  %1. ").arg(i - 6))) << lines.at(i).toStdString();
    EXPECT_EQ(lines.at(11),
              "  5. Use --allow-destructive only after explicit authorization for reset, reboot, or device clear.");
    EXPECT_EQ(lines.at(15), "Use the interactive REPL or Quorvex Firmware Tool for device firmware updates.");
}

TEST(HelpTexts, UsageAndHelpComeFromTheCatalogue)
{
    EXPECT_EQ(script::usageText("scan"), "Usage: scan [start-end] [-v|--verbose]");
    EXPECT_EQ(script::usageText("SCAN"), script::usageText("scan"));
    EXPECT_EQ(script::usageText("update"), QString());
    EXPECT_EQ(script::usageText(""), QString());
    EXPECT_EQ(script::helpText("get"), "Read a control table item.\nUsage: get <id> \"<item>\" [-v|--verbose]");
    for (const char *topic : {"exit", "update", "nothing"})
        EXPECT_EQ(script::helpText(topic), QString()) << topic;

    const QStringList lines = script::helpText(QString()).split('\n');
    ASSERT_EQ(lines.size(), 19);
    EXPECT_EQ(lines.first(), "Available script commands:");
    EXPECT_EQ(lines.at(1), "  port - List available serial ports.");
    EXPECT_EQ(lines.at(17), "  copyright - Show copyright notices.");
    EXPECT_EQ(lines.last(), "Type \"help <command>\" for usage.");
}

} // namespace
