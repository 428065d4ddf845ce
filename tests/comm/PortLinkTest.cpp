// The serial transport's link: open and close with their signals and settle
// time, baud-rate changes, the controller-board relay, the connect step, the
// lost-port handler, and where bytes that arrive between transactions go.
#include "PortOnBus.h"

#include "comm/CancellationToken.h"

#include "tests/support/QtPrinters.h"
#include "tests/support/WarningCapture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <limits>
#include <thread>
#include <time.h>

using sim::fromHex;

namespace {

constexpr quint8 kBoard = 200;

// Baud rate and latency of both engines, as "baud/latency baud/latency".
QString engineTiming(const QvxPort &port)
{
    return QStringLiteral("%1/%2 %3/%4")
        .arg(port.qvx_protocol1->baudRate)
        .arg(port.qvx_protocol1->extraLatency)
        .arg(port.qvx_protocol2->baudRate)
        .arg(port.qvx_protocol2->extraLatency);
}

} // namespace

TEST(PortLink, OpenAndCloseEmitTheirSignalsInOrder)
{
    PortOnBus b;
    b.addServo(1, 1000000); // answers only at 1 Mbps
    ASSERT_FALSE(b.port->isOpen());

    QElapsedTimer settle;
    settle.start();
    ASSERT_TRUE(b.open(1000000));
    EXPECT_GE(settle.elapsed(), QvxPort::kSettleMs);
    EXPECT_EQ(b.events, (QStringList{"playStopped", "openSucceed 1000000"})); // the close ahead of every open
    EXPECT_TRUE(b.port->isOpen());
    EXPECT_EQ(b.port->serial_port->baudRate(), 1000000);
    EXPECT_EQ(b.port->portName, b.bus.portName());
    EXPECT_EQ(b.port->baudRate, 1000000);
    ushort model = 0;
    uchar fw = 0;
    uchar error = 0xAA;
    EXPECT_EQ(b.port->ping(1, &model, &fw, &error), COMM_OK);
    EXPECT_EQ(model, 1020);

    // A second open closes the first link; the state was never Connected.
    b.events.clear();
    ASSERT_TRUE(b.open(57600));
    EXPECT_EQ(b.events, (QStringList{"playStopped", "closed", "openSucceed 57600"}));

    // Once connected, the next open also reports the state going down.
    ASSERT_TRUE(b.port->setBaudRate(1000000));
    b.port->baudRate = 1000000;
    ASSERT_TRUE(b.port->connectQvx(1));
    b.events.clear();
    ASSERT_TRUE(b.open(1000000));
    EXPECT_EQ(b.events, (QStringList{"playStopped", "closed", "stateChanged 0", "openSucceed 1000000"}));

    b.events.clear();
    b.port->close();
    EXPECT_FALSE(b.port->isOpen());
    EXPECT_EQ(b.events, (QStringList{"playStopped", "closed"}));
    b.events.clear();
    b.port->close(); // a closed port: no closed() again
    EXPECT_EQ(b.events, QStringList{"playStopped"});
}

TEST(PortLink, FailedOpenLeavesThePortClosedWithTheNewSettings)
{
    PortOnBus b;
    // A name holding a NUL byte would reach the system cut at the NUL: here the
    // simulated bus's own port, which must not be opened under another name.
    const QString cutAtNul = b.bus.portName() + QChar(u'\0') + QStringLiteral("x");
    for (const QString &name : {QStringLiteral("/dev/zephlet-no-such-port"), cutAtNul}) {
        ASSERT_TRUE(b.open(57600));
        b.events.clear();
        EXPECT_FALSE(b.port->open(name, 115200));
        EXPECT_EQ(b.events, (QStringList{"playStopped", "closed", "openFailed 115200"}));
        EXPECT_FALSE(b.port->isOpen());
        EXPECT_EQ(b.port->portName, name);
        EXPECT_EQ(b.port->baudRate, 115200);
        EXPECT_EQ(engineTiming(*b.port), QStringLiteral("115200/%1 115200/%1").arg(sim::kReplySlackMs));
    }
}

TEST(PortLink, BaudRateChangeReopensWithoutSignalAndPollsGoBack)
{
    PortOnBus b;
    b.addServo(1, 1000000);
    ASSERT_TRUE(b.open(1000000));
    b.events.clear();
    EXPECT_TRUE(b.port->setBaudRate(57600));
    EXPECT_EQ(b.events, (QStringList{"playStopped", "closed"})); // no openSucceed
    EXPECT_EQ(b.port->serial_port->baudRate(), 57600);
    EXPECT_EQ(b.port->baudRate, 1000000); // the rate of the last open stays
    EXPECT_EQ(engineTiming(*b.port), QStringLiteral("57600/%1 57600/%1").arg(sim::kReplySlackMs));

    // The next poll finds the port at 57600 and sets it back before reading:
    // the servo, which hears only 1 Mbps, answers.
    EXPECT_EQ(b.port->readUpdate(1, 10), COMM_OK);
    EXPECT_EQ(b.port->serial_port->baudRate(), 1000000);

    b.port->close();
    EXPECT_TRUE(b.port->setBaudRate(115200)); // a closed port opens at the new rate
    EXPECT_TRUE(b.port->isOpen());
}

TEST(PortLink, BothEnginesFollowEveryBaudChangeAndTheLatency)
{
    // A protocol switch after an open or a baud change must find the other
    // engine timing its replies for the same rate and latency.
    PortOnBus b;
    b.port->setTimeout(30);
    ASSERT_TRUE(b.open(1000000));
    EXPECT_EQ(engineTiming(*b.port), QStringLiteral("1000000/30 1000000/30"));
    b.port->setProtocolVersion(QStringLiteral("1.0"));
    ASSERT_TRUE(b.port->setBaudRate(115200));
    EXPECT_EQ(engineTiming(*b.port), QStringLiteral("115200/30 115200/30"));
    b.port->setProtocolVersion(QStringLiteral("2.0"));
    EXPECT_EQ(b.port->qvx_protocol->packetTimeoutFor(14), b.port->qvx_protocol1->packetTimeoutFor(14));

    // A protocol 1.0 servo answers after the switch with the rate it was opened at.
    sim::Device servo = sim::Device::protocol1(3, 12, 7);
    servo.baudRate = 115200;
    b.bus.addDevice(servo);
    b.port->setProtocolVersion(QStringLiteral("1.0"));
    int value = -1;
    uchar error = 0xAA;
    EXPECT_EQ(b.port->read1Byte(3, 3, &value, &error), COMM_OK);
    EXPECT_EQ(value, 3);
}

TEST(PortLink, ControllerBoardIsToldTheServoRate)
{
    struct Case
    {
        const char *name;
        int boardModel;
        int baud;
        QString protocolBefore;
        int address;
        quint8 value;
    };
    const Case cases[] = {
        {"board 220 at 1 Mbps", 220, 1000000, "2.0", 9, 3},
        {"board 218 at 57600", 218, 57600, "2.0", 9, 1},
        {"board 400 at 1 Mbps", 400, 1000000, "2.0", 12, 3},
        {"a rate the table lacks", 220, 250000, "2.0", 9, 0},
        {"protocol 1.0 current: the write is still 2.0", 450, 115200, "1.0", 12, 2},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        b.bus.addDevice(sim::Device::protocol2(kBoard, c.boardModel, 1));
        b.port->boardModel = c.boardModel;
        b.port->boardBaud = 57600;
        b.port->setTimeout(20);
        b.port->setProtocolVersion(c.protocolBefore);
        ASSERT_TRUE(b.open(c.baud)) << c.name;
        EXPECT_EQ(b.events, (QStringList{"playStopped", QStringLiteral("openSucceed %1").arg(c.baud)})) << c.name;
        EXPECT_EQ(b.port->serial_port->baudRate(), 57600) << c.name;
        EXPECT_EQ(engineTiming(*b.port), QStringLiteral("%1/200 %1/200").arg(c.baud)) << c.name;
        EXPECT_EQ(b.port->version(), c.protocolBefore) << c.name;
        const QList<sim::Instruction> got = b.bus.received();
        ASSERT_EQ(got.size(), 1) << c.name;
        EXPECT_EQ(got[0].protocol, sim::Protocol::V2) << c.name;
        EXPECT_EQ(got[0].id, kBoard) << c.name;
        EXPECT_EQ(got[0].name(), QStringLiteral("WRITE")) << c.name;
        EXPECT_EQ(b.bus.memory(kBoard, c.address, 1), QByteArray(1, char(c.value))) << c.name;

        // A baud change goes through the board too, without openSucceed.
        b.events.clear();
        EXPECT_TRUE(b.port->setBaudRate(1000000)) << c.name;
        EXPECT_EQ(b.events, (QStringList{"playStopped", "closed"})) << c.name;
        EXPECT_EQ(b.port->serial_port->baudRate(), 57600) << c.name;
        EXPECT_EQ(b.bus.memory(kBoard, c.address, 1), QByteArray(1, '\x03')) << c.name;
    }
}

TEST(PortLink, FailedBoardHandshakeClosesThePort)
{
    struct Case
    {
        const char *name;
        bool boardPresent;
        quint8 boardError;
        bool viaBaudChange;
    };
    const Case cases[] = {
        {"no board answers the open", false, 0, false},
        {"the board refuses the open", true, 0x07, false},
        {"no board answers a baud change", false, 0, true},
        {"the board refuses a baud change", true, 0x07, true},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        if (c.boardPresent) {
            b.bus.addDevice(sim::Device::protocol2(kBoard, 400, 1));
            sim::Faults f;
            f.error = c.boardError;
            b.bus.setFaults(kBoard, f);
        }
        if (c.viaBaudChange) {
            ASSERT_TRUE(b.open(57600)) << c.name;
            b.port->boardModel = 400;
            b.events.clear();
            EXPECT_FALSE(b.port->setBaudRate(1000000)) << c.name;
            EXPECT_EQ(b.events, (QStringList{"playStopped", "closed", "playStopped", "closed"})) << c.name;
        } else {
            b.port->boardModel = 400;
            EXPECT_FALSE(b.open(1000000)) << c.name;
            EXPECT_EQ(b.events, (QStringList{"playStopped", "playStopped", "closed", "openFailed 1000000"})) << c.name;
        }
        EXPECT_FALSE(b.port->isOpen()) << c.name;
        EXPECT_EQ(b.bus.receivedCount(0x03), 1) << c.name; // the one board write
    }
}

TEST(PortLink, AReopenedPortDoesNotWaitOutTheOldLinksLateReply)
{
    // After a reply wait that failed, the next request waits for a quiet line
    // so that a late reply cannot answer it. That belongs to the link it
    // failed on: a close drops it with the buffers, so the first request on
    // the reopened port leaves at once instead of a whole quiet time later.
    PortOnBus b;
    b.addServo(1);
    const int latency = 2000;
    b.port->setTimeout(latency);
    ASSERT_TRUE(b.open());
    ushort model = 0;
    uchar fw = 0;
    uchar error = 0;
    EXPECT_EQ(b.port->ping(7, &model, &fw, &error), COMM_RX_TIMEOUT);
    b.port->close();
    ASSERT_TRUE(b.open());
    EXPECT_EQ(b.port->ping(1, &model, &fw, &error), COMM_OK);
    const QList<sim::Instruction> got = b.bus.received();
    ASSERT_EQ(got.size(), 2);
    // The failed window is latency + 34 ms; waiting out a quiet line would put
    // the second ping a further window later.
    EXPECT_LT(got.at(1).atMs - got.at(0).atMs, 2 * (latency + 34) - 500);
}

TEST(PortLink, AnInterruptedWaitUnderAHugeTimeoutDoesNotHoldTheNextRequest)
{
    // The quiet line awaited after a failed reply is bounded: with the longest
    // timeout a user can set, the request after an interrupted wait still
    // goes out. The watchdog token of the second ping only keeps a regression
    // from hanging the test.
    PortOnBus b;
    b.addServo(1);
    b.port->setTimeout(std::numeric_limits<int>::max());
    ASSERT_TRUE(b.open());
    ushort model = 0;
    uchar fw = 0;
    uchar error = 0;
    CancellationToken interrupt;
    interrupt.hasDeadline = true;
    interrupt.deadline = CancellationToken::steadyNowNs() + 300'000'000;
    b.port->setCancellationToken(&interrupt);
    EXPECT_EQ(b.port->ping(7, &model, &fw, &error), COMM_CANCELLED);
    CancellationToken watchdog;
    watchdog.hasDeadline = true;
    watchdog.deadline = CancellationToken::steadyNowNs() + 10'000'000'000;
    b.port->setCancellationToken(&watchdog);
    EXPECT_EQ(b.port->ping(1, &model, &fw, &error), COMM_OK);
    b.port->clearCancellationToken();
}

TEST(PortLink, ConnectPingsTwiceBeforeGivingUp)
{
    struct Case
    {
        const char *name;
        int answerFromPing; // 0: never
        bool connected;
        int pings;
    };
    const Case cases[] = {
        {"answers at once", 1, true, 1},
        {"answers the second ping", 2, true, 2},
        {"never answers", 0, false, 2},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        b.addServo(1);
        auto pings = std::make_shared<std::atomic<int>>(0);
        const int answerFrom = c.answerFromPing;
        b.bus.setResponder([pings, answerFrom](const sim::Instruction &in) -> std::optional<QByteArray> {
            if (in.code != 0x01)
                return std::nullopt;
            const int n = ++*pings;
            if (answerFrom != 0 && n >= answerFrom)
                return std::nullopt; // the device answers
            return QByteArray(); // silent
        });
        b.port->setConnectionSetting(QvxComm::KeyPortName, b.bus.portName());
        b.port->setConnectionSetting(QvxComm::KeyBaudRate, 57600);
        EXPECT_EQ(b.port->connectQvx(1), c.connected) << c.name;
        EXPECT_EQ(b.bus.receivedCount(0x01), c.pings) << c.name;
        EXPECT_EQ(b.port->state, c.connected ? QvxComm::Connected : QvxComm::Disconnected) << c.name;
        EXPECT_EQ(b.port->isOpen(), c.connected) << c.name;
        EXPECT_EQ(b.events.contains("stateChanged 1"), c.connected) << c.name;
        EXPECT_FALSE(b.events.contains("stateChanged 0")) << c.name; // it was never connected
    }
}

TEST(PortLink, FailedConnectAfterAConnectReportsTheStateOnce)
{
    PortOnBus b;
    ASSERT_TRUE(b.connectServo());
    b.events.clear();
    EXPECT_FALSE(b.port->connectQvx(9)); // nobody at 9
    EXPECT_EQ(b.events.count("stateChanged 0"), 1);
    EXPECT_EQ(b.port->state, QvxComm::Disconnected);
}

TEST(PortLink, DisconnectEndsTheRunningAgingFirst)
{
    struct Case
    {
        int mode;
        QStringList firstEvents;
    };
    const Case cases[] = {
        {0, {"playStopped", "closed", "stateChanged 0"}},
        {1, {"agingStopped", "playStopped", "closed", "stateChanged 0"}},
        {2, {"multiAgingStopped 0", "playStopped", "closed", "stateChanged 0"}},
        {3, {"motionAgingStopped 0", "playStopped", "closed", "stateChanged 0"}},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        ASSERT_TRUE(b.connectServo());
        QObject::connect(b.port.get(), &QvxComm::multiAgingStopped,
                         [&](int e) { b.events << QStringLiteral("multiAgingStopped %1").arg(e); });
        QObject::connect(b.port.get(), &QvxComm::motionAgingStopped,
                         [&](int e) { b.events << QStringLiteral("motionAgingStopped %1").arg(e); });
        b.port->agingMode = c.mode;
        b.events.clear();
        b.port->disconnectQvx();
        EXPECT_EQ(b.events, c.firstEvents) << c.mode;
        EXPECT_EQ(b.port->agingMode, 0) << c.mode;
        EXPECT_FALSE(b.port->isOpen()) << c.mode;
    }
}

// CPU seconds the calling thread has used.
double threadCpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

TEST(PortLink, AHungUpLinkEndsEveryWaitAtOnce)
{
    PortOnBus b;
    ASSERT_TRUE(b.connectServo());
    b.fault(1, [](sim::Faults &f) { f.silent = true; });
    b.port->setTimeout(60000); // only the hang-up can end these waits in time
    b.events.clear();
    // The other end goes away while the read waits for its reply.
    const int before = int(b.bus.received().size());
    std::thread pull([&] {
        if (b.bus.waitForReceived(before + 1, 10000)) // the read has gone out
            b.bus.hangUp();
    });
    const double cpuBefore = threadCpuSeconds();
    int value = 777;
    uchar error = 0;
    const int result = b.port->read4Byte(1, 132, &value, &error);
    const double cpu = threadCpuSeconds() - cpuBefore;
    pull.join();
    EXPECT_EQ(result, COMM_RX_FAIL);
    EXPECT_EQ(value, 777);
    // A sanity bound, not a timing: a busy loop would use the whole minute.
    EXPECT_LT(cpu, 5.0) << "CPU seconds of the wait";
    // The lost-port handling ran.
    EXPECT_TRUE(b.events.contains(QStringLiteral("stateChanged 0"))) << b.events.join(", ").toStdString();

    // Every later operation ends at once: nothing can leave on the dead link.
    EXPECT_EQ(b.port->read4Byte(1, 132, &value, &error), COMM_TX_FAIL);
    EXPECT_EQ(b.port->broadcastPing(60000), COMM_TX_FAIL);
}

TEST(PortLink, AClosedPortIsRefusedWithoutAskingQt)
{
    // Writing to a closed QSerialPort only fails, with a Qt warning on
    // standard error: the engines refuse the closed link themselves.
    PortOnBus b;
    b.addServo(1);
    WarningCapture warnings;
    ushort model = 0;
    uchar firmware = 0;
    uchar error = 0;
    EXPECT_EQ(b.port->qvx_protocol->ping(1, &model, &firmware, &error), COMM_TX_FAIL);
    EXPECT_EQ(b.port->broadcastPing(100), COMM_TX_FAIL);
    EXPECT_EQ(warnings.warnings, QStringList());
    EXPECT_TRUE(b.bus.received().isEmpty());
}

TEST(PortLink, LostPortStopsEverythingAndIsClosedOnceTheHandlerIsDone)
{
    PortOnBus b;
    ASSERT_TRUE(b.connectServo());
    b.port->agingMode = 1;
    b.port->pollGaps = {10, 12};
    b.port->agingGaps = {5};
    b.port->port_held = true;
    b.port->graphTimer->start(1000);
    b.port->updateTimer->start(1000);
    b.port->qvx_protocol->rxBuffer = fromHex("FF FF FD");

    // Any other error changes nothing.
    b.events.clear();
    b.port->handleError(QSerialPort::TimeoutError);
    EXPECT_TRUE(b.events.isEmpty());
    EXPECT_EQ(b.port->state, QvxComm::Connected);
    EXPECT_TRUE(b.port->port_held);

    b.port->handleError(QSerialPort::ResourceError);
    EXPECT_EQ(b.events, (QStringList{"agingStopped", "playStopped", "stateChanged 0"}));
    EXPECT_EQ(b.port->agingMode, 0);
    EXPECT_FALSE(b.port->graphTimer->isActive());
    EXPECT_FALSE(b.port->updateTimer->isActive());
    EXPECT_TRUE(b.port->pollGaps.isEmpty());
    EXPECT_TRUE(b.port->agingGaps.isEmpty());
    EXPECT_FALSE(b.port->port_held);
    EXPECT_TRUE(b.port->qvx_protocol->rxBuffer.isEmpty());
    ASSERT_EQ(b.logs.size(), 1);
    EXPECT_TRUE(b.logs.first().startsWith(QStringLiteral("Port lost: ") + b.bus.portName())) << b.logs.first().toStdString();
    // The handler may run inside a receive loop or the port's own read: the
    // port stays open until they are done, then it is closed.
    EXPECT_TRUE(b.port->isOpen());
    b.port->handleError(QSerialPort::ReadError); // the same loss, reported again by the port
    QCoreApplication::processEvents();
    EXPECT_FALSE(b.port->isOpen());
    EXPECT_EQ(b.events, (QStringList{"agingStopped", "playStopped", "stateChanged 0", "playStopped", "closed"}));
    EXPECT_EQ(b.logs.size(), 1);
}

TEST(PortArrivals, StrayPacketsReachTheParserOnlyWhenListeningAndFree)
{
    const QByteArray stray2 = sim::status2(5, 0, fromHex("11 22"));
    const QByteArray stray1 = sim::packet1(5, 0, fromHex("11 22"));
    struct Case
    {
        const char *name;
        bool listen;
        std::function<void(QvxPort &)> arrange;
        QByteArray stray;
        bool parsed;
    };
    const Case cases[] = {
        {"listening", true, [](QvxPort &) {}, stray2, true},
        {"listening, protocol 1.0 current", true, [](QvxPort &p) { p.setProtocolVersion(QStringLiteral("1.0")); },
         stray1, true},
        {"not listening", false, [](QvxPort &) {}, stray2, false},
        {"held by a firmware procedure", true, [](QvxPort &p) { p.port_held = true; }, stray2, false},
        {"during a transaction", true, [](QvxPort &p) { p.qvx_protocol->inTransaction = true; }, stray2, false},
    };
    for (const Case &c : cases) {
        PortOnBus b(c.listen);
        ASSERT_TRUE(b.open()) << c.name;
        c.arrange(*b.port);
        b.bus.sendRaw(c.stray);
        if (c.parsed) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return !b.packets.isEmpty(); }, 5000)) << c.name;
            EXPECT_EQ(b.received(), QList<QByteArray>{c.stray}) << c.name;
        } else {
            ASSERT_TRUE(b.waitForUnread(c.stray.size())) << c.name; // nobody took them
            EXPECT_TRUE(b.packets.isEmpty()) << c.name;
        }
    }

    // With the Modbus text the Modbus frame sniffer takes the bytes instead:
    // a servo packet is no Modbus frame, so nothing is traced.
    PortOnBus b(true);
    ASSERT_TRUE(b.open());
    b.port->setProtocolVersion(QStringLiteral("MODBUS"));
    int handled = 0;
    QObject::connect(b.port.get(), &QvxComm::updateRxStatus, [&](bool on) { handled += on ? 0 : 1; });
    b.bus.sendRaw(stray2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return handled > 0 && b.port->serial_port->bytesAvailable() == 0; }, 5000));
    EXPECT_TRUE(b.packets.isEmpty());
}

TEST(PortArrivals, ReplyArrivingInPiecesIsLeftToTheRunningTransaction)
{
    // The port reports each piece while the receive step waits; the stream
    // parser must not take them from it.
    PortOnBus b(true);
    b.addServo(1);
    b.fault(1, [](sim::Faults &f) { f.byteGapMs = 2; });
    b.port->setTimeout(500); // room for a reply sent byte by byte
    ASSERT_TRUE(b.open());
    int value = -1;
    uchar error = 0xAA;
    EXPECT_EQ(b.port->read4Byte(1, 132, &value, &error), COMM_OK);
    EXPECT_EQ(value, 0x800);
    EXPECT_EQ(b.received().size(), 1); // the reply, once
}

TEST(PortArrivals, AStatusBufferedBeforeTheRequestNeverAnswersIt)
{
    // Qt's serial port may hold bytes in its own buffer that came before the
    // request was sent (a late reply, another station's packet). They came
    // before the question: the request takes only what arrives after it.
    PortOnBus b(false);
    b.addServo(1);
    b.fault(1, [](sim::Faults &f) { f.silent = true; });
    ASSERT_TRUE(b.open());
    const QByteArray reply = sim::status2(1, 0, fromHex("34 12"));
    b.bus.sendRaw(reply);
    ASSERT_TRUE(b.waitForUnread(reply.size()));
    int value = -1;
    uchar error = 0xAA;
    EXPECT_EQ(b.port->read2Byte(1, 132, &value, &error), COMM_RX_TIMEOUT);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(error, 0xAA);
}
