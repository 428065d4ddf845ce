// The interactive console as a program, with piped input, against simulated
// devices on a pseudo-terminal: every command's lines as the user sees them,
// and what reached the devices.
#include "ConsoleTexts.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimProgram.h"
#include "tests/support/ChildProcess.h"

#include "control/QvxControl.h"

#include "tests/sim/SimPackets.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

// An AR-240 (protocol 2.0) on ID 1, a CV-110 (protocol 1.0) on ID 3, and on
// ID 7 a protocol 2.0 device of a model without description.
const QStringList kDevices{QStringLiteral("id=1,model=1020"), QStringLiteral("id=3,model=12"),
                           QStringLiteral("id=7,model=999")};

// "set 1 LED" on the AR-240 up to the answer: the value choice of an item with value names.
const QByteArray kLedDialogue = "%P, 57600bps > set 1 LED\n"
                                "[INFO] Setting LED\n"
                                "[ID:001] AR-240, v55\n"
                                "65   : LED                       :          0,       0x00 : OFF\n"
                                "------------------------------\n"
                                "  0 : OFF\n"
                                "  1 : ON\n"
                                "------------------------------\n"
                                "Choose item number (0-1, press Ctrl+C to cancel): ";

// Every session starts with a network delay that lets a loaded machine's late
// reply count; these are its lines.
const QByteArray kSlack = "timeout " + QByteArray::number(sim::kReplySlackMs);
const QByteArray kSlackLines = ">>> " + kSlack + "\n[Success] set " + kSlack + "[ms] OK\n";

struct Session
{
    const char *name;
    QByteArray input;    // "%P" stands for the simulated bus's port
    QByteArray output;   // after the banner, up to the closing lines; "%P" as above
    QByteArrayList sent; // instructions the devices must have received (in this order, among others)
};

// True when `wanted` occur in `lines` in this order (other lines may lie between).
bool containsInOrder(const QByteArrayList &lines, const QByteArrayList &wanted)
{
    qsizetype at = 0;
    for (const QByteArray &line : lines) {
        if (at < wanted.size() && line == wanted.at(at))
            ++at;
    }
    return at == wanted.size();
}

void runSessions(const QList<Session> &sessions)
{
    for (const Session &s : sessions) {
        SimProgram bus(kDevices);
        const QByteArray port = bus.portName().toUtf8();
        QByteArray input = s.input;
        QByteArray expected = s.output;
        const ProgramResult run =
            runProgram(qEnvironmentVariable("ZEPHLET_CLI"), {}, kSlack + "\n" + input.replace("%P", port));
        const QByteArray &output = run.out;
        EXPECT_EQ(run.exitCode, 0) << s.name;
        EXPECT_EQ(output, kBanner + kSlackLines + expected.replace("%P", port) + kClosing)
            << s.name << '\n'
            << output.toStdString();
        EXPECT_TRUE(containsInOrder(bus.received(), s.sent)) << s.name << '\n'
                                                             << bus.received().join('\n').toStdString();
    }
}

TEST(ConsoleOnBus, OpenAndCloseChangeThePrompt)
{
    runSessions({
        {"open with port and rate, then close",
         "open %P 1000000\nclose\n",
         ">>> open %P 1000000\n"
         "[Success] Port opened successfully\n"
         "%P, 1Mbps > close\n"
         "Port closed\n"
         ">>> \n",
         {}},
        {"a rate outside the menu, refused rates and ports",
         "open %P 0\nopen /dev/no-such-port 57600\nopen %P 600\n",
         ">>> open %P 0\n"
         "[Error] Invalid baudrate: 0. Must be a positive integer\n"
         ">>> open /dev/no-such-port 57600\n"
         "[Error] Failed to open port\n"
         ">>> open %P 600\n"
         "[Success] Port opened successfully\n"
         "%P, 600bps > \n",
         {}},
        {"the rate from the menu",
         "open %P\n\n12\n3\n",
         ">>> open %P\n" + kBaudRateMenu + kBaudRateQuestion + "\n" + kBaudRateQuestion + "12\n" +
             "[Error] Invalid baudrate index\n" + kBaudRateQuestion + "3\n" +
             "[Success] Port opened successfully\n"
         "%P, 115200bps > \n",
         {}},
    });
}

TEST(ConsoleOnBus, ThePortMenuListsTheSystemPortsAndTakesACustomName)
{
    // The system's list shows no pseudo-terminals: the bus is named as a custom port.
    const QList<PortEntry> ports = QvxControl::availablePorts();
    const QByteArray custom = QByteArray::number(ports.size() + 1);
    QByteArray menu = "----- Available serial ports -----\n";
    for (qsizetype i = 0; i < ports.size(); ++i)
        menu += "  " + QByteArray::number(i + 1) + " : " + ports.at(i).title.toUtf8() + "\n";
    menu += "  " + custom + " : Custom port\n------------------------------\n";
    const QByteArray question = "Choose serial port (1-" + custom + ", press Ctrl+C to cancel): ";
    const QByteArray name = "Enter custom port name (press Ctrl+C to cancel): ";
    runSessions({
        {"an index out of range, an empty name, then the bus with blanks around it",
         "open\n0\n" + custom + "\n   \n" + custom + "\n  %P  \n4\n",
         ">>> open\n" + menu + question + "0\n[Error] Invalid port index\n" + question + custom + "\n" + name +
             "   \n[Error] Port name cannot be empty\n" + question + custom + "\n" + name + "  %P  \n" +
             kBaudRateMenu + kBaudRateQuestion + "4\n[Success] Port opened successfully\n%P, 1Mbps > \n",
         {}},
    });
}

TEST(ConsoleOnBus, PingAndScansFindTheDevices)
{
    runSessions({
        {"ping, broadcast scan and ranged scan",
         "open %P 57600\nping 1\nping 2\nscan\nscan 0-3\nscan 5-1\n",
         ">>> open %P 57600\n"
         "[Success] Port opened successfully\n"
         "%P, 57600bps > ping 1\n"
         "ID 1 : ACK\n"
         "[ID:001] AR-240, v55\n"
         "%P, 57600bps > ping 2\n"
         "[Error] ID 2 : COMM_RX_TIMEOUT\n"
         "%P, 57600bps > scan\n"
         "broadcast ping : please wait...\n"
         "Press Ctrl+C to cancel\n"
         "\b  [ID:001] AR-240, v55\n"
         "\b  [ID:007] Unknown\n"
         "\bbroadcast ping : done\n"
         "%P, 57600bps > scan 0-3\n"
         "Scanning for devices...\n"
         "Press Ctrl+C to cancel scan\n"
         "[Error] ID 0 : COMM_RX_TIMEOUT\n"
         "ID 1 : ACK\n"
         "[ID:001] AR-240, v55\n"
         "[Error] ID 2 : COMM_RX_TIMEOUT\n"
         "[Error] ID 3 : COMM_RX_TIMEOUT\n"
         "Scan completed\n"
         "%P, 57600bps > scan 5-1\n"
         "[Error] Wrong range\n"
         "%P, 57600bps > \n",
         {"2.0 1 PING", "2.0 2 PING", "2.0 254 PING", "2.0 0 PING", "2.0 1 PING", "2.0 2 PING", "2.0 3 PING"}},
        {"the ID prompt, then the last ID",
         "open %P 57600\nping\n300\n1\nping\n",
         ">>> open %P 57600\n"
         "[Success] Port opened successfully\n"
         "%P, 57600bps > ping\n"
         "Enter device ID (0-252, press Ctrl+C to cancel): 300\n"
         "[Error] Invalid device ID. Device ID must be between 0 and 252\n"
         "Enter device ID (0-252, press Ctrl+C to cancel): 1\n"
         "ID 1 : ACK\n"
         "[ID:001] AR-240, v55\n"
         "%P, 57600bps > ping\n"
         "ID 1 : ACK\n"
         "[ID:001] AR-240, v55\n"
         "%P, 57600bps > \n",
         {"2.0 1 PING", "2.0 1 PING"}},
    });
}

TEST(ConsoleOnBus, GetAndSetItemsByName)
{
    runSessions({
        {"get with the chooser, with the last ID, and without an item",
         "open %P 57600\nget 1 present\n4\nget Present Position\nget 5\n",
         ">>> open %P 57600\n"
         "[Success] Port opened successfully\n"
         "%P, 57600bps > get 1 present\n"
         "[ID:001] AR-240, v55\n"
         "------------------------------\n"
         "1 : Present Current\n"
         "2 : Present Input Voltage\n"
         "3 : Present PWM\n"
         "4 : Present Position\n"
         "5 : Present Temperature\n"
         "6 : Present Velocity\n"
         "------------------------------\n"
         "Choose item number (1-6, press Ctrl+C to cancel): 4\n"
         "132  : Present Position          :          0 : 0x00000000 :     0.00 [\xC2\xB0]\n"
         "%P, 57600bps > get Present Position\n"
         "[ID:001] AR-240, v55\n"
         "132  : Present Position          :          0 : 0x00000000 :     0.00 [\xC2\xB0]\n"
         "%P, 57600bps > get 5\n"
         "[Error] get command requires item name when device ID is specified\n"
         "%P, 57600bps > \n",
         {"2.0 1 READ 84 00 04 00", "2.0 1 READ 84 00 04 00"}},
        {"set directly, by an item line with the last ID, and by the dialogue",
         "open %P 57600\nset 1 Goal Position 1024\nGoal Position 2000\nget Goal Position\nset 1 LED\n1\n",
         ">>> open %P 57600\n"
         "[Success] Port opened successfully\n"
         "%P, 57600bps > set 1 Goal Position 1024\n"
         "[ID:001] AR-240, v55\n"
         "[INFO] Setting Goal Position to 1024\n"
         "[ID:001] AR-240, v55\n"
         "[Success] write Goal Position 1024 OK\n"
         "%P, 57600bps > Goal Position 2000\n"
         "[ID:001] AR-240, v55\n"
         "[INFO] Setting Goal Position to 2000\n"
         "[ID:001] AR-240, v55\n"
         "[Success] write Goal Position 2000 OK\n"
         "%P, 57600bps > get Goal Position\n"
         "[ID:001] AR-240, v55\n"
         "116  : Goal Position             :       2000 : 0x000007D0 :   175.78 [\xC2\xB0]\n"
             + kLedDialogue + "1\n" +
             "[Success] change LED to ON\n"
         "%P, 57600bps > \n",
         {"2.0 1 WRITE 74 00 00 04 00 00", "2.0 1 WRITE 74 00 D0 07 00 00", "2.0 1 WRITE 41 00 01"}},
    });
}

TEST(ConsoleOnBus, TableStatusAndDeviceCommands)
{
    runSessions({
        {"a table range and the status",
         "open %P 57600\ntable 1 0-12\nstatus 1\nstatus -v\n",
         ">>> open %P 57600\n"
         "[Success] Port opened successfully\n"
         "%P, 57600bps > table 1 0-12\n"
         "[ID:001] AR-240, v55\n"
         "0    : Model Number              :       1020 :     0x03FC : AR-240\n"
         "2    : Model Information         :          0 : 0x00000000 : \n"
         "6    : Firmware Version          :         55 :       0x37 : \n"
         "7    : ID                        :          1 :       0x01 : \n"
         "8    : Baud Rate (Bus)           :          1 :       0x01 : 57600 bps\n"
         "9    : Return Delay Time         :        250 :       0xFA :      500 [\xCE\xBCs]\n"
         "10   : Drive Mode                :          0 :       0x00 : \n"
         "11   : Operating Mode            :          3 :       0x03 : Position\n"
         "12   : Secondary(Shadow) ID      :        255 :       0xFF : Disable\n"
         "%P, 57600bps > status 1\n"
         "[ID:001] AR-240, v55\n"
         "--------------------------------------------------\n"
         "Operating Mode  : Position\n"
         "Torque          : OFF\n"
         "LED             : OFF\n"
         "Hardware Error  : \n"
         "--------------------------------------------------\n"
         "Position        :     0.00 [\xC2\xB0]\n"
         "Velocity        :     0.00 [rev/min]\n"
         "Current         :     0.00 [mA]\n"
         "Voltage         :     0.00 [V]\n"
         "Temperature     :        0 [\xC2\xB0" "C]\n"
         "%P, 57600bps > status -v\n"
         "[Error] Invalid device ID. Device ID must be between 0 and 252\n"
         "%P, 57600bps > \n",
         {}},
        {"reset, reboot and clear",
         "open %P 57600\nreset 1\nreboot 1\nclear 1 2\nclear 1 3\nreset -v 2\n",
         ">>> open %P 57600\n"
         "[Success] Port opened successfully\n"
         "%P, 57600bps > reset 1\n"
         "[Success] ID 1 : reset OK\n"
         "%P, 57600bps > reboot 1\n"
         "[Success] ID 1 : reboot OK\n"
         "%P, 57600bps > clear 1 2\n"
         "[Success] ID 1 : clear OK\n"
         "%P, 57600bps > clear 1 3\n"
         "[Error] Invalid device ID or clear parameter\n"
         "%P, 57600bps > reset -v 2\n"
         "[TX] " + sim::packet2(2, 0x06, sim::fromHex("02")).toHex(' ').toUpper() + "\n" // the factory reset
         "[Error] ID 2 : COMM_RX_TIMEOUT\n"
         "%P, 57600bps > \n",
         {"2.0 1 FACTORY_RESET 02", "2.0 1 REBOOT", "2.0 1 CLEAR 02 45 52 43 4C", "2.0 2 FACTORY_RESET 02"}},
    });
}

TEST(ConsoleOnBus, TimeoutAndProtocolSettings)
{
    runSessions({
        {"timeouts, the protocol by word and by menu",
         "open %P 57600\ntimeout 50\ntimeout 3000000000\ntimeout 1000\nprotocol 2\nprotocol\n3\n1\nping 3\nprotocol 2.0\nping 1\n",
         ">>> open %P 57600\n"
         "[Success] Port opened successfully\n"
         "%P, 57600bps > timeout 50\n"
         "[Success] set timeout 50[ms] OK\n"
         "%P, 57600bps > timeout 3000000000\n"
         "[Error] Invalid time parameter. Time must be between 0 and 2147483647 ms\n"
         "%P, 57600bps > timeout 1000\n"
         "[Success] set timeout 1000[ms] OK\n"
         "%P, 57600bps > protocol 2\n"
         "[Error] Invalid protocol version. Use 1.0 or 2.0\n"
         "%P, 57600bps > protocol\n"
         "----- Protocol Version Options -----\n"
         "  1 : Protocol 1.0\n"
         "  2 : Protocol 2.0\n"
         "Choose protocol version (1-2, press Ctrl+C to cancel): 3\n"
         "[Error] Invalid choice\n"
         "----- Protocol Version Options -----\n"
         "  1 : Protocol 1.0\n"
         "  2 : Protocol 2.0\n"
         "Choose protocol version (1-2, press Ctrl+C to cancel): 1\n"
         "[Success] set protocol 1.0 OK\n"
         "%P, 57600bps > ping 3\n"
         "ID 3 : ACK\n"
         "[ID:003] CV-110, v22\n"
         "%P, 57600bps > protocol 2.0\n"
         "[Success] set protocol 2.0 OK\n"
         "%P, 57600bps > ping 1\n"
         "ID 1 : ACK\n"
         "[ID:001] AR-240, v55\n"
         "%P, 57600bps > \n",
         {"1.0 3 PING", "2.0 1 PING"}},
    });
}

TEST(ConsoleOnBus, TheEndOfInputCancelsAWaitingPromptAndEndsTheConsole)
{
    runSessions({
        {"in the baud-rate menu",
         "open %P",
         ">>> open %P\n" + kBaudRateMenu + kBaudRateQuestion + "\n",
         {}},
        {"in the set dialogue: nothing is written",
         "open %P 57600\nset 1 LED\n",
         ">>> open %P 57600\n"
         "[Success] Port opened successfully\n"
             + kLedDialogue + "\n",
         {}},
    });
}

TEST(ConsoleOnBus, TheEndOfInputEndsAContinuousGetAndThenTheConsole)
{
    SimProgram bus(kDevices);
    const QByteArray port = bus.portName().toUtf8();
    // Bounded: a continuous get that ignored the end of its input would run until killed.
    const ProgramResult run = runProgram(qEnvironmentVariable("ZEPHLET_CLI"), {},
                                         kSlack + "\nopen " + port + " 57600\nget 1 LED -c\n");
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    const QByteArray reading = "Press Ctrl+C to stop continuous reading...\n"
                               "\r65   : LED                       :          0 :       0x00 : OFF   ";
    EXPECT_TRUE(run.out.contains(reading)) << run.out.toStdString();
    EXPECT_TRUE(run.out.endsWith("   \n" + port + ", 57600bps > \n" + kClosing)) << run.out.toStdString();
    EXPECT_FALSE(run.out.contains("KeyboardInterrupt")) << run.out.toStdString();
}

} // namespace
