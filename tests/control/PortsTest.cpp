// The connection: open and close, settings, the multi-port scan over a
// pseudo-terminal named explicitly, the controller-board probe, the cancel
// watchdog, and the port closed when the control goes.

#include "comm/QvxComm.h"
#include "tests/control/ControlOnBus.h"
#include "tests/support/QtPrinters.h"

#include <QSerialPort>
#include <QTest>
#include <QTimer>

namespace {

using namespace control_test;

class Ports : public ControlOnBus
{
protected:
    QList<PortEntry> busAndMissingPort() const
    {
        return {PortEntry{1, bus_.portName(), bus_.portName() + QStringLiteral(" (simulated bus)")},
                PortEntry{2, QStringLiteral("/dev/zephlet-no-such-port"), QStringLiteral("/dev/zephlet-no-such-port")}};
    }
};

TEST_F(Ports, OpenCloseAndSettings)
{
    EXPECT_TRUE(control_->isPortOpen());
    EXPECT_EQ(control_->portName(), bus_.portName());
    EXPECT_EQ(control_->baudRate(), 1000000u);
    control_->pingAndPrint(1);
    control_->closePort();
    control_->closePort(); // harmless when closed
    EXPECT_FALSE(control_->isPortOpen());
    EXPECT_EQ(control_->portName(), QString());
    EXPECT_EQ(control_->baudRate(), 0u);
    EXPECT_EQ(control_->lastId(), 1);

    EXPECT_FALSE(control_->openPort(QStringLiteral("/dev/zephlet-no-such-port"), 57600));
    EXPECT_EQ(control_->portName(), QString());
    ASSERT_TRUE(control_->openPort(bus_.portName(), 57600));
    EXPECT_EQ(control_->baudRate(), 57600u);
    // A failing open closes the port that was open.
    EXPECT_FALSE(control_->openPort(QStringLiteral("/dev/zephlet-no-such-port"), 57600));
    EXPECT_FALSE(control_->isPortOpen());
    out();

    control_->setTimeout(0);
    control_->setTimeout(50);
    control_->setProtocolVersion(QStringLiteral("1.0"));
    EXPECT_EQ(out(), QStringLiteral("[Success] set timeout 0[ms] OK\n[Success] set timeout 50[ms] OK\n"
                                    "[Success] set protocol 1.0 OK\n"));
    EXPECT_EQ(control_->transport()->version(), QStringLiteral("1.0"));
}

TEST_F(Ports, TheControlClosesItsPortWhenItGoes)
{
    QSerialPort other;
    other.setPortName(bus_.portName());
    EXPECT_FALSE(other.open(QIODevice::ReadWrite)) << "the control holds the port exclusively";
    control_.reset(); // no event loop runs afterwards, as at the end of script mode
    EXPECT_TRUE(other.open(QIODevice::ReadWrite)) << other.errorString().toStdString();
}

TEST_F(Ports, MultiPortScanTriesEveryRateOfEachChosenPort)
{
    sim::Device slow = sim::Device::protocol2(9, 4242, 7);
    slow.baudRate = 57600;
    bus_.addDevice(slow);
    QList<int> found;
    QObject::connect(control_.get(), &QvxControl::qvxFound, [&](uchar id, ushort, uchar) { found.append(id); });
    control_->setScanListenTime(1000); // room for late answers on a loaded machine
    type("1,2,x,7\r");
    control_->scanPorts(busAndMissingPort(), false);

    QString expected = QStringLiteral("Select ports to scan:\n  0: All ports\n  1: %1 (simulated bus)\n"
                                      "  2: /dev/zephlet-no-such-port\n"
                                      "Enter port numbers (comma separated, e.g., 0 or 1,2,3): 1,2,x,7\n"
                                      "[WARN] Invalid input: x\n[WARN] Invalid port number: 7\n"
                                      "Scanning 2 port(s) for devices...\nPress Ctrl+C to cancel scan\n")
                           .arg(bus_.portName());
    for (const int baud : {9600, 57600, 115200, 1000000, 2000000, 3000000, 4000000, 4500000, 6000000})
        expected += QStringLiteral("Scanning port: %1 at %2 bps...\n").arg(bus_.portName()).arg(baud);
    // The missing port is tried once, not at every rate.
    expected += QStringLiteral("Scanning port: /dev/zephlet-no-such-port at 9600 bps...\n[Error] Port not opened\n"
                               "Scan completed\n");
    EXPECT_EQ(out(), expected);
    // The device on ID 1 answers at every rate, the one on ID 9 only at 57600.
    EXPECT_EQ(found.count(9), 1);
    EXPECT_EQ(found.count(1), 9);
    EXPECT_FALSE(control_->isPortOpen());
    EXPECT_EQ(control_->portName(), QString());
    EXPECT_EQ(control_->baudRate(), 0u);
    EXPECT_EQ(editor_.interruptFlag(), nullptr);
}

TEST_F(Ports, MultiPortScanWithoutAUsableAnswerScansNothing)
{
    for (const char *answer : {"\r", "9\r", "\x03"}) {
        bus_.clearReceived();
        type(answer);
        control_->scanPorts(busAndMissingPort(), false);
        EXPECT_TRUE(out().endsWith(QStringLiteral("[Error] No valid ports selected. Scan cancelled.\n"))) << answer;
        EXPECT_TRUE(bus_.received().isEmpty()) << answer;
        editor_.setInterruptFlag(nullptr);
    }
    control_->scanPorts({}, false);
    EXPECT_EQ(out(), QStringLiteral("No serial ports found\n"));
}

TEST_F(Ports, VerboseSweepTracesEachPingAndStopsAtCtrlC)
{
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (output_.peek().contains("[ID:001]"))
            pressCtrlC();
    });
    poll.start(5);
    type("1\r");
    control_->scanPorts(busAndMissingPort(), true);
    const QString printed = out();
    EXPECT_TRUE(printed.contains(QStringLiteral("at 9600 bps...\n[TX] FF FF FD 00 00 "))) << printed.toStdString();
    EXPECT_TRUE(printed.contains(QStringLiteral("[Error] ID 0 : COMM_RX_TIMEOUT\n[TX] FF FF FD 00 01 ")));
    EXPECT_TRUE(printed.contains(QStringLiteral("ID 1 : ACK\n[ID:001] TS-100, v7\n")));
    EXPECT_FALSE(printed.contains(QStringLiteral("Scan completed")));
    EXPECT_FALSE(printed.contains(QStringLiteral("57600")));
    // Cancelled during the sweep: that port stays open.
    EXPECT_TRUE(control_->isPortOpen());
    EXPECT_EQ(control_->portName(), bus_.portName());
    EXPECT_EQ(control_->baudRate(), 9600u);
}

TEST_F(Ports, ControllerBoardProbeNamesTheBoardOnId200)
{
    bus_.addDevice(sim::Device::protocol2(200, 400, 3));
    control_->closePort();
    QString board = QStringLiteral("none");
    control_->detectControllerBoard(bus_.portName(), board);
    EXPECT_EQ(out(), QStringLiteral("Tarlin-C04 Board Found\n"));
    EXPECT_EQ(board, QStringLiteral("Tarlin-C04"));
    EXPECT_EQ(control_->transport()->boardModel, 400);
    EXPECT_TRUE(control_->isPortOpen());
}

TEST_F(Ports, ControllerBoardProbeGivesUpQuietly)
{
    control_->closePort();
    bus_.clearReceived();
    QString board = QStringLiteral("none");
    control_->detectControllerBoard(bus_.portName(), board);
    EXPECT_EQ(out(), QString());
    EXPECT_EQ(board, QStringLiteral("none"));
    EXPECT_FALSE(control_->isPortOpen());
    EXPECT_EQ(bus_.receivedCount(0x01), 6); // three pings at each of the two rates
}

TEST_F(Ports, CancelWatchdogClosesThePortOnceCancelled)
{
    control_->startCancelWatchdog();
    QTest::qWait(250); // a watchdog with no flag to watch leaves the port alone
    EXPECT_TRUE(control_->isPortOpen());
    editor_.setInterruptFlag(nullptr);
    // Lend the flag as an operation does, and press Ctrl+C.
    type("\x03");
    QvxControlItem *item = nullptr;
    control_->findItem(*control_->findControlTable(4242, 7), QStringLiteral("limit"), &item);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !control_->isPortOpen(); }, 10000));
    EXPECT_EQ(control_->portName(), bus_.portName());
    control_->stopCancelWatchdog();
}

} // namespace
