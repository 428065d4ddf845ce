// The program as automation runs it, against simulated devices on a
// pseudo-terminal (zephlet-sim): every device command in JSON and in text,
// every error code from its cause, permissions shown by the instructions the
// devices received, the packet trace with -v, and the signals.

#include "tests/sim/SimBus.h"
#include "tests/sim/SimProgram.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/QtPrinters.h"

#include <QThread>
#include <csignal>
#include <gtest/gtest.h>

namespace {

// ID 1 an AR-240 at firmware 53 with Present Position 2048; 2 silent; 4
// answers every instruction with "Instruction Error"; 5 a model without description.
const QStringList kDevices{"id=1,model=1020,fw=53,mem=132:00080000", "id=2,model=1020,fw=53,silent",
                           "id=4,model=1020,fw=53,error=2", "id=5,model=9999"};

const QByteArray kDevice1 = R"("firmware":53,"id":1,"model":"AR-240","model_number":1020)";
const QByteArray kDeviceLine1 = "ID 1: AR-240 (model 1020, firmware 53)\n";

class ScriptOnBus : public ::testing::Test
{
protected:
    // Runs the program with "open <pty> 1000000" as its first command, and
    // then a network delay that lets a loaded machine's late reply count (its
    // output line is not in the result).
    ProgramResult run(const QList<QByteArray> &commands, const QList<QByteArray> &flags = {}, bool open = true)
    {
        QList<QByteArray> arguments = flags;
        if (open) {
            arguments << "-e" << "open " + sim.portName().toUtf8() + " 1000000";
            arguments << "-e" << "timeout " + QByteArray::number(sim::kReplySlackMs);
        }
        for (const QByteArray &command : commands)
            arguments << "-e" << command;
        ProgramResult result = runProgram(qEnvironmentVariable("ZEPHLET_CLI"), arguments);
        if (open) {
            const qsizetype first = result.out.indexOf('\n');
            const qsizetype second = first < 0 ? -1 : result.out.indexOf('\n', first + 1);
            if (second > 0)
                result.out.remove(first + 1, second - first);
        }
        return result;
    }

    QByteArray openRecord() const
    {
        return R"({"command":"open","data":{"baudrate":1000000,"port":")" + sim.portName().toUtf8()
               + R"("},"success":true})" + "\n";
    }
    QByteArray openLine() const { return "Port opened: " + sim.portName().toUtf8() + " at 1000000 bps.\n"; }

    // The instruction names the devices received, e.g. "PING", "WRITE".
    QByteArrayList instructions() const
    {
        QByteArrayList names;
        for (const QByteArray &line : sim.received())
            names.append(line.split(' ').value(2));
        return names;
    }

    SimProgram sim{kDevices};
};

struct CommandCase
{
    QByteArray command;
    QList<QByteArray> flags;
    QByteArray json;
    QByteArray text;
    QByteArray instruction; // the last instruction the devices received
};

TEST_F(ScriptOnBus, DeviceCommandsInJsonAndInText)
{
    // In this order: the set changes what table and status would show.
    const CommandCase cases[] = {
        {"ping 1", {}, R"({"command":"ping","data":{)" + kDevice1 + R"(},"success":true})", kDeviceLine1, "PING"},
        {"scan 0-3",
         {},
         R"({"command":"scan","data":{"devices":[{)" + kDevice1 + R"(}],"range":{"end":3,"start":0}},"success":true})",
         "Scan range: 0-3\nDevices:\n  " + kDeviceLine1,
         "PING"},
        {"get 1 \"present position\"",
         {},
         R"({"command":"get","data":{"firmware":53,"id":1,"item":{"access":"r","address":132,"display_value":"180",)"
         R"("length":4,"memory":"ram","name":"Present Position","unit":"°","value":2048},"model":"AR-240",)"
         R"("model_number":1020},"success":true})",
         kDeviceLine1 + "Present Position: 180 °\n  Address: 132, length: 4, access: r, memory: ram\n",
         "READ"},
        {"table 1 60-70",
         {},
         R"({"command":"table","data":{"firmware":53,"id":1,"items":[)"
         R"({"access":"rw","active_flags":[],"address":60,"display_value":"None","length":1,"memory":"eeprom",)"
         R"("name":"Startup Configuration","unit":"","value":0},)"
         R"({"access":"rw","active_flags":[{"bit":2,"name":"Overheating Error"},{"bit":4,"name":"Electrical Shock )"
         R"(Error"},{"bit":5,"name":"Overload Error"}],"address":63,"display_value":"Overheating Error, Electrical )"
         R"(Shock Error, Overload Error","length":1,"memory":"eeprom","name":"Shutdown","unit":"","value":52},)"
         R"({"access":"rw","address":64,"display_value":"OFF","length":1,"memory":"ram","name":"Torque Enable",)"
         R"("unit":"","value":0},)"
         R"({"access":"rw","address":65,"display_value":"OFF","length":1,"memory":"ram","name":"LED","unit":"",)"
         R"("value":0},)"
         R"({"access":"rw","address":68,"display_value":"All","length":1,"memory":"ram",)"
         R"("name":"Status Return Level","unit":"","value":2},)"
         R"({"access":"r","address":69,"display_value":"False","length":1,"memory":"ram",)"
         R"("name":"Registered Instruction","unit":"","value":0},)"
         R"({"access":"r","active_flags":[],"address":70,"display_value":"None","length":1,"memory":"ram",)"
         R"("name":"Hardware Error Status","unit":"","value":0}],)"
         R"("model":"AR-240","model_number":1020,"range":{"end":70,"start":60}},"success":true})",
         kDeviceLine1 + "Address range: 60-70\nAddress  Size  Access  Memory  Name  Value\n"
                        "60  1  rw  eeprom  Startup Configuration  None\n"
                        "63  1  rw  eeprom  Shutdown  Overheating Error, Electrical Shock Error, Overload Error\n"
                        "64  1  rw  ram  Torque Enable  OFF\n"
                        "65  1  rw  ram  LED  OFF\n"
                        "68  1  rw  ram  Status Return Level  All\n"
                        "69  1  r  ram  Registered Instruction  False\n"
                        "70  1  r  ram  Hardware Error Status  None\n",
         "READ"},
        {"status 1",
         {},
         R"({"command":"status","data":{"firmware":53,"id":1,"items":[)"
         R"({"access":"rw","address":11,"display_value":"Position","key":"operating_mode","length":1,)"
         R"("memory":"eeprom","name":"Operating Mode","unit":"","value":3},)"
         R"({"access":"rw","address":64,"display_value":"OFF","key":"torque","length":1,"memory":"ram",)"
         R"("name":"Torque Enable","unit":"","value":0},)"
         R"({"access":"rw","address":65,"display_value":"OFF","key":"led","length":1,"memory":"ram","name":"LED",)"
         R"("unit":"","value":0},)"
         R"({"access":"r","active_flags":[],"address":70,"display_value":"None","key":"hardware_error","length":1,)"
         R"("memory":"ram","name":"Hardware Error Status","unit":"","value":0},)"
         R"({"access":"r","address":132,"display_value":"180","key":"position","length":4,"memory":"ram",)"
         R"("name":"Present Position","unit":"°","value":2048},)"
         R"({"access":"r","address":128,"display_value":"0","key":"velocity","length":4,"memory":"ram",)"
         R"("name":"Present Velocity","unit":"rev/min","value":0},)"
         R"({"access":"r","address":126,"display_value":"0","key":"current","length":2,"memory":"ram",)"
         R"("name":"Present Current","unit":"mA","value":0},)"
         R"({"access":"r","address":144,"display_value":"0","key":"voltage","length":2,"memory":"ram",)"
         R"("name":"Present Input Voltage","unit":"V","value":0},)"
         R"({"access":"r","address":146,"display_value":"0","key":"temperature","length":1,"memory":"ram",)"
         R"("name":"Present Temperature","unit":"°C","value":0}],"model":"AR-240","model_number":1020},"success":true})",
         kDeviceLine1 + "Status:\n  Operating Mode: Position\n  Torque Enable: OFF\n  LED: OFF\n"
                        "  Hardware Error Status: None\n  Present Position: 180 °\n  Present Velocity: 0 rev/min\n"
                        "  Present Current: 0 mA\n  Present Input Voltage: 0 V\n  Present Temperature: 0 °C\n",
         "READ"},
        {"set 1 LED 1",
         {"--allow-write"},
         R"({"command":"set","data":{"acknowledged":true,"firmware":53,"id":1,"item":{"access":"rw","address":65,)"
         R"("display_value":"ON","length":1,"memory":"ram","name":"LED","unit":"","value":1},"model":"AR-240",)"
         R"("model_number":1020,"value":1},"success":true})",
         kDeviceLine1 + "LED: ON\n  Address: 65, length: 1, access: rw, memory: ram\nWrite acknowledged.\n",
         "WRITE"},
        {"reset 1",
         {"--allow-destructive"},
         R"({"command":"reset","data":{"acknowledged":true,"id":1,"parameter":0},"success":true})",
         "reset acknowledged for ID 1 (parameter 0).\n",
         "FACTORY_RESET"},
        {"reboot 1",
         {"--allow-destructive"},
         R"({"command":"reboot","data":{"acknowledged":true,"id":1,"parameter":0},"success":true})",
         "reboot acknowledged for ID 1 (parameter 0).\n",
         "REBOOT"},
        {"clear 1 10",
         {"--allow-destructive"},
         R"({"command":"clear","data":{"acknowledged":true,"id":1,"parameter":10},"success":true})",
         "clear acknowledged for ID 1 (parameter 10).\n",
         "CLEAR"},
    };
    for (const CommandCase &c : cases) {
        SCOPED_TRACE(c.command.toStdString());
        const ProgramResult json = run({c.command}, QList<QByteArray>{"--json"} + c.flags);
        EXPECT_EQ(json.exitCode, 0);
        EXPECT_EQ(json.out, openRecord() + c.json + "\n");
        EXPECT_EQ(json.err, "");
        EXPECT_EQ(instructions().last(), c.instruction);

        const ProgramResult text = run({c.command}, c.flags);
        EXPECT_EQ(text.exitCode, 0);
        EXPECT_EQ(text.out, openLine() + c.text);
        EXPECT_EQ(text.err, "");
    }
}

struct ErrorCase
{
    QList<QByteArray> commands;
    QList<QByteArray> flags;
    bool open;
    int exitCode;
    QByteArray error; // the JSON record's "error" object
    QByteArray message;
    QByteArray command = {};
};

TEST_F(ScriptOnBus, EveryErrorCodeFromItsCause)
{
    const ErrorCase cases[] = {
        {{"get 1 \"LED"}, {}, true, 2, R"({"code":"parse_error","message":"Unterminated quoted string."})",
         "Unterminated quoted string."},
        {{"update 1"}, {}, true, 2,
         R"({"code":"unsupported_command","message":"Command is not supported in script mode: update"})",
         "Command is not supported in script mode: update", "update"},
        {{"get 1 LED -c"}, {}, true, 2,
         R"({"code":"unsupported_command","message":"Interactive/continuous options are not supported in script mode."})",
         "Interactive/continuous options are not supported in script mode.", "get"},
        {{"frob 1"}, {}, true, 2, R"({"code":"unknown_command","message":"Unknown command: frob"})",
         "Unknown command: frob", "frob"},
        {{"ping 253"}, {}, true, 2, R"({"code":"invalid_argument","message":"Usage: ping <id> [-v|--verbose]"})",
         "Usage: ping <id> [-v|--verbose]", "ping"},
        {{"ping \" 1\""}, {}, true, 2, R"({"code":"invalid_argument","message":"Usage: ping <id> [-v|--verbose]"})",
         "Usage: ping <id> [-v|--verbose]", "ping"},
        {{"set 1 \"Present Position\" 5"}, {"--allow-write"}, true, 1,
         R"({"code":"invalid_argument","message":"Item is read-only"})", "Item is read-only", "set"},
        {{"set 1 LED 2"}, {"--allow-write"}, true, 1,
         R"({"code":"invalid_argument","details":{"maximum":1,"minimum":0,"value":2},)"
         R"("message":"Value for LED must be between 0 and 1"})",
         "Value for LED must be between 0 and 1", "set"},
        {{"set 1 LED 1"}, {}, true, 3, R"({"code":"permission_denied","message":"set requires --allow-write."})",
         "set requires --allow-write.", "set"},
        {{"ping 1"}, {}, false, 1, R"({"code":"port_not_open","message":"Port is not open"})", "Port is not open",
         "ping"},
        {{"open /dev/zephlet-none 9600"}, {}, false, 1,
         R"({"code":"port_open_failed","details":{"baudrate":9600,"port":"/dev/zephlet-none"},)"
         R"("message":"Failed to open port /dev/zephlet-none"})",
         "Failed to open port /dev/zephlet-none", "open"},
        {{"ping 5"}, {}, true, 1,
         R"({"code":"control_table_not_found","details":{"id":5,"model_number":9999},)"
         R"("message":"Control table not found for model 9999"})",
         "Control table not found for model 9999", "ping"},
        {{"get 1 Nothing"}, {}, true, 1,
         R"({"code":"item_not_found","message":"Control table item not found: Nothing"})",
         "Control table item not found: Nothing", "get"},
        {{"get 1 Goal"}, {}, true, 1,
         R"({"code":"ambiguous_item","details":{"matches":["Goal Current","Goal PWM","Goal Position",)"
         R"("Goal Velocity"]},"message":"Item name is ambiguous: Goal"})",
         "Item name is ambiguous: Goal", "get"},
        {{"ping 2"}, {}, true, 1,
         R"({"code":"device_timeout","details":{"communication_result":-3001,"id":2,"packet_error":0},)"
         R"("message":"Device 2 did not respond"})",
         "Device 2 did not respond", "ping"},
        {{"protocol 1.0", "clear 1 1"}, {"--allow-destructive"}, true, 1,
         R"({"code":"communication_error","details":{"communication_result":-1,"id":1,"packet_error":0},)"
         R"x("message":"Unknown (-1)"})x",
         "Unknown (-1)", "clear"},
        {{"ping 4"}, {}, true, 1,
         R"({"code":"packet_error","details":{"communication_result":0,"id":4,"packet_error":2},)"
         R"("message":"Instruction Error"})",
         "Instruction Error", "ping"},
    };
    for (const ErrorCase &c : cases) {
        SCOPED_TRACE(c.commands.join(" / ").toStdString());
        // The failing command is the last; a command after it never runs.
        const QList<QByteArray> commands = c.commands + QList<QByteArray>{"ping 1"};
        const ProgramResult json = run(commands, QList<QByteArray>{"--json"} + c.flags, c.open);
        EXPECT_EQ(json.exitCode, c.exitCode);
        const QByteArrayList lines = json.out.split('\n');
        ASSERT_GE(lines.size(), 2);
        EXPECT_EQ(lines.at(lines.size() - 2), R"({"command":")" + c.command + R"(","error":)" + c.error
                                                  + R"(,"success":false})");
        EXPECT_EQ(lines.size(), 1 + (c.open ? 1 : 0) + (c.commands.size() - 1) + 1);
        EXPECT_EQ(json.err, "");

        const ProgramResult text = run(commands, c.flags, c.open);
        EXPECT_EQ(text.exitCode, c.exitCode);
        EXPECT_EQ(text.err, "[Error] " + c.message + "\n");
        EXPECT_FALSE(text.out.contains("ID 1: AR-240"));
    }
}

TEST_F(ScriptOnBus, NothingReachesTheDevicesWithoutItsPermission)
{
    const QList<QByteArray> writes{"set 1 LED 1", "reset 1", "reboot 1", "clear 1 1"};
    const QByteArrayList changing{"WRITE", "FACTORY_RESET", "REBOOT", "CLEAR"};
    for (const QList<QByteArray> &flags : {QList<QByteArray>{}, QList<QByteArray>{"--allow-write"}}) {
        for (const QByteArray &command : writes) {
            const ProgramResult result = run({command}, flags);
            EXPECT_EQ(result.exitCode, command.startsWith("set") && !flags.isEmpty() ? 0 : 3)
                << command.toStdString();
        }
    }
    const QByteArrayList refused = instructions();
    EXPECT_EQ(refused.count("WRITE"), 1); // the one set with --allow-write
    for (const char *name : {"FACTORY_RESET", "REBOOT", "CLEAR"})
        EXPECT_FALSE(refused.contains(name)) << name;

    for (const QByteArray &command : writes)
        EXPECT_EQ(run({command}, {"--allow-destructive"}).exitCode, 0) << command.toStdString();
    const QByteArrayList allowed = instructions();
    for (const QByteArray &name : changing)
        EXPECT_TRUE(allowed.contains(name)) << name.toStdString();
}

TEST_F(ScriptOnBus, TheTraceOfACommandGoesToStandardErrorOnlyWithVerbose)
{
    const ProgramResult traced = run({"ping 1 -v", "ping 1"}, {"--json"});
    EXPECT_EQ(traced.exitCode, 0);
    EXPECT_EQ(traced.err, "[TX] FF FF FD 00 01 03 00 01 19 4E\n[RX] FF FF FD 00 01 07 00 55 00 FC 03 35 47 43\n");
    EXPECT_EQ(traced.out.count('\n'), 3); // records only
    const ProgramResult quiet = run({"ping 1"}, {"--json"});
    EXPECT_EQ(quiet.err, "");
}

TEST_F(ScriptOnBus, InterruptAndBreakEndAScanWith130)
{
    for (const int signal : {SIGINT, SIGQUIT}) {
        SCOPED_TRACE(signal);
        ChildProcess child(qEnvironmentVariable("ZEPHLET_CLI"),
                           {"--json", "-e", "open " + sim.portName().toUtf8() + " 1000000", "-e", "scan", "-e", "ping 1"});
        // Wait until the scan is under way: it pings ID 3 after the device at 1.
        const int before = sim.received().size();
        for (int i = 0; i < 2000 && sim.received().size() < before + 4; ++i)
            QThread::msleep(5);
        child.signal(signal);
        EXPECT_EQ(child.wait(10000), 130); // the whole scan would take many seconds
        EXPECT_EQ(child.termSignal(), 0);
        EXPECT_TRUE(child.out().endsWith(R"({"command":"scan","error":{"code":"interrupted",)"
                                         R"("message":"Interrupted by user."},"success":false})" "\n"))
            << child.out().toStdString();
    }
}

} // namespace
