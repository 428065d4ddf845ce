// Protocol 2.0 transactions against simulated devices: result codes from their
// causes, reply windows, reply matching, the device's error byte, and the
// completion signals.
#include "EngineOnBus.h"

#include "comm/CancellationToken.h"
#include "comm/QvxProtocol2.h"
#include "platform/OutputSink.h"
#include "tests/support/HexText.h"
#include "tests/support/QtPrinters.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using sim::fromHex;

namespace {

constexpr uchar kUntouched = 0xAA;

struct Bus : EngineOnBus<QvxProtocol2>
{
    Bus()
    {
        open();
        bus.addDevice(sim::Device::protocol2(1, 1020, 53));
        bus.setMemory(1, 132, fromHex("00 08 00 00"));
    }
};

// Sets the token's state from another thread after `ms`, as the interrupt
// handler would.
struct LateInterrupt
{
    std::thread thread;
    LateInterrupt(CancellationToken &token, int ms)
        : thread([&token, ms] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            int running = 0;
            token.state.compare_exchange_strong(running, 1);
        })
    {
    }
    ~LateInterrupt() { thread.join(); }
};

// A wall clock a hundred times as fast: long reply windows pass in moments.
qint64 fastClock()
{
    return QDateTime::currentMSecsSinceEpoch() * 100;
}

} // namespace

TEST(Protocol2Transaction, EachResultCodeComesFromItsCause)
{
    struct Case
    {
        const char *name;
        std::function<void(Bus &, CancellationToken &)> arrange;
        int expected;
        QStringList logs;
        int interruptAfterMs = 0;
    };
    QByteArray corrupted = sim::status2(1, 0, fromHex("00 08 00 00"));
    corrupted[14] = static_cast<char>(corrupted.at(14) ^ 0x5A);
    const Case cases[] = {
        {"silent device", [](Bus &b, CancellationToken &) { b.fault(1, [](auto &f) { f.silent = true; }); },
         COMM_RX_TIMEOUT, {}},
        {"corrupt reply", [](Bus &b, CancellationToken &) { b.fault(1, [](auto &f) { f.corruptChecksum = true; }); },
         COMM_RX_CORRUPT,
         {"COMM_RX_CORRUPT: crc error", "read data = " + hexOf(corrupted)}},
        {"bytes that never form a packet",
         [](Bus &b, CancellationToken &) { b.fault(1, [](auto &f) { f.truncateTo = 12; }); }, COMM_RX_TIMEOUT,
         {"COMM_RX_CORRUPT: rx time out", "read data size = 12", "read data = FF FF FD 00 01 08 00 55 00 00 08 00"}},
        {"failed write", [](Bus &b, CancellationToken &) { b.port.close(); }, COMM_TX_FAIL, {}},
        {"cancelled token",
         [](Bus &b, CancellationToken &t) {
             b.fault(1, [](auto &f) { f.silent = true; });
             b.engine.extraLatency = 5000;
             b.engine.token = &t;
         },
         COMM_CANCELLED, {}, 30},
        {"deadline passing during the wait",
         [](Bus &b, CancellationToken &t) {
             b.fault(1, [](auto &f) { f.silent = true; });
             b.engine.extraLatency = 5000;
             b.engine.token = &t;
             t.hasDeadline = true;
             t.deadline = CancellationToken::steadyNowNs() + 50 * 1000000LL;
         },
         COMM_CANCELLED, {}},
        {"deadline passed before the send",
         [](Bus &b, CancellationToken &t) {
             b.engine.token = &t;
             t.hasDeadline = true;
             t.deadline = CancellationToken::steadyNowNs() - 1;
         },
         COMM_CANCELLED, {}},
    };
    for (const Case &c : cases) {
        Bus b;
        CancellationToken token;
        c.arrange(b, token);
        std::optional<LateInterrupt> interrupt;
        if (c.interruptAfterMs > 0)
            interrupt.emplace(token, c.interruptAfterMs);
        uchar data[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
        uchar error = kUntouched;
        EXPECT_EQ(b.engine.readTxRx(1, 132, 4, data, &error), c.expected) << c.name;
        EXPECT_EQ(QByteArray(reinterpret_cast<char *>(data), 4), QByteArray(4, '\xAA')) << c.name;
        EXPECT_EQ(error, kUntouched) << c.name;
        EXPECT_EQ(b.logs, c.logs) << c.name;
        EXPECT_FALSE(b.engine.inTransaction) << c.name;
        if (c.expected != COMM_CANCELLED) {
            EXPECT_TRUE(b.engine.rxBuffer.isEmpty()) << c.name;
        }
    }
}

TEST(Protocol2Transaction, AnInterruptEndsTheWaitForBytesToLeave)
{
    // A line whose far end reads nothing: once the terminal's buffer is full,
    // the packet's bytes stay queued in the serial port.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    QSerialPort port(QString::fromLocal8Bit(::ptsname(master)));
    port.setBaudRate(57600);
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    // The kernel passes written bytes on to the terminal's reader a moment
    // after a write has been refused, which makes room again: the line is
    // full once a write after a pause takes nothing.
    const QByteArray filler(1024, '\0');
    const auto fill = [&] {
        qsizetype taken = 0;
        ssize_t n = 0;
        while ((n = ::write(port.handle(), filler.constData(), size_t(filler.size()))) > 0)
            taken += n;
        return taken;
    };
    bool full = false;
    for (int round = 0; round < 100 && !full; ++round) {
        full = fill() == 0 && errno == EAGAIN;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(full) << "the terminal kept taking bytes for 2 s";

    QvxProtocol2 engine;
    engine.device = &port;
    engine.baudRate = 57600;
    engine.extraLatency = 5000; // the bytes would be waited for for seconds
    CancellationToken token;
    engine.token = &token;
    const QByteArray data(1000, '\x01');
    uchar error = kUntouched;
    int result = COMM_OK;
    {
        const LateInterrupt interrupt(token, 100);
        result = engine.writeTxRx(1, 0, ushort(data.size()), reinterpret_cast<const uchar *>(data.constData()), &error);
    }
    EXPECT_EQ(result, COMM_CANCELLED);
    EXPECT_GT(port.bytesToWrite(), 0) << "the wait ended with the bytes still queued";
    EXPECT_EQ(error, kUntouched);
    port.close();
    ::close(master);
}

TEST(Protocol2Transaction, ReadReturnsTheDataAndTheDeviceErrorByte)
{
    Bus b;
    uchar data[4] = {};
    uchar error = kUntouched;
    ASSERT_EQ(b.engine.readTxRx(1, 132, 4, data, &error), COMM_OK);
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(data), 4), fromHex("00 08 00 00"));
    EXPECT_EQ(error, 0);

    // The hardware-alert bit alone comes back with the data.
    b.fault(1, [](auto &f) { f.error = 0x80; });
    ASSERT_EQ(b.engine.readTxRx(1, 132, 4, data, &error), COMM_OK);
    EXPECT_EQ(error, 0x80);
}

TEST(Protocol2Transaction, ReplyMatching)
{
    struct Case
    {
        const char *name;
        std::function<void(sim::Faults &)> fault;
        int latency;
        QStringList logs;
        int receivedItems; // packets the receive step accepted
    };
    const Case cases[] = {
        {"noise before the reply is logged and dropped", [](auto &f) { f.noise = fromHex("00 11"); }, 0,
         {"COMM_RX_CORRUPT: remove unnecessary packets", "remove data = 00 11"}, 1},
        {"another device's status first is skipped",
         [](auto &f) { f.noise = sim::status2(3, 0, fromHex("01 02 03 04")); }, 0, {}, 2},
        {"a reply in single bytes is assembled", [](auto &f) { f.byteGapMs = 2; }, 1000, {}, 1},
        {"a header that cannot start a status is dropped byte by byte",
         [](auto &f) { f.noise = fromHex("FF FF FD 00 01 03 00 02"); }, 0,
         {"COMM_RX_CORRUPT: remove unnecessary packets", "remove data = FF FD 00 01 03 00 02"}, 1},
    };
    for (const Case &c : cases) {
        Bus b;
        b.fault(1, c.fault);
        b.engine.extraLatency = c.latency;
        uchar data[4] = {};
        uchar error = kUntouched;
        EXPECT_EQ(b.engine.readTxRx(1, 132, 4, data, &error), COMM_OK) << c.name;
        EXPECT_EQ(QByteArray(reinterpret_cast<char *>(data), 4), fromHex("00 08 00 00")) << c.name;
        EXPECT_EQ(error, 0) << c.name;
        EXPECT_EQ(b.logs, c.logs) << c.name;
        EXPECT_EQ(b.itemData(1).size(), c.receivedItems) << c.name;
    }
}

TEST(Protocol2Transaction, StuffingIsRemovedFromWhatArrives)
{
    Bus b;
    b.bus.setMemory(1, 132, fromHex("FF FF FD 00"));
    uchar data[4] = {};
    uchar error = kUntouched;
    ASSERT_EQ(b.engine.readTxRx(1, 132, 4, data, &error), COMM_OK);
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(data), 4), fromHex("FF FF FD 00"));
    // The received item holds the packet as it crossed the link.
    ASSERT_EQ(b.itemData(1).size(), 1);
    EXPECT_EQ(b.itemData(1).first(), sim::status2(1, 0, fromHex("FF FF FD 00")));
    EXPECT_EQ(b.itemData(1).first().size(), 16);
}

TEST(Protocol2Transaction, EachInstructionWaitsItsOwnReplyWindow)
{
    struct Case
    {
        const char *name;
        std::function<int(QvxProtocol2 &)> run;
        double window; // ms; the packet clock still holds it after an answered call
    };
    uchar data[4] = {};
    uchar e = 0;
    QvxProtocol2 timing;
    const Case cases[] = {
        {"ping", [&](QvxProtocol2 &p) { return p.ping(1, nullptr, nullptr, &e); }, 35},
        {"read of 4 bytes", [&](QvxProtocol2 &p) { return p.readTxRx(1, 132, 4, data, &e); },
         double(timing.packetTimeoutFor(15))},
        {"write", [&](QvxProtocol2 &p) { return p.writeTxRx(1, 64, 1, data, &e); }, 35},
        {"system write", [&](QvxProtocol2 &p) { return p.sysWriteTxRx(1, 64, 1, data, &e); }, 35},
        {"reboot", [&](QvxProtocol2 &p) { return p.reboot(1); }, 35},
        {"factory reset", [&](QvxProtocol2 &p) { return p.factoryReset(1); }, 500},
        {"clear", [&](QvxProtocol2 &p) { return p.clear(1, 1); }, 10000},
        {"multi-turn clear", [&](QvxProtocol2 &p) { return p.multiturnClear(1, 0); }, 10000},
        {"aux backup", [&](QvxProtocol2 &p) { return p.auxBackup(1); }, 2000},
        {"aux restore", [&](QvxProtocol2 &p) { return p.auxRestore(1); }, 2000},
    };
    Bus b;
    b.engine.extraLatency = 0; // the bare windows
    for (const Case &c : cases) {
        EXPECT_EQ(c.run(b.engine), COMM_OK) << c.name;
        EXPECT_EQ(b.engine.packetTimeout, c.window) << c.name;
    }
}

TEST(Protocol2Transaction, ALateReplyCountsOnlyInsideItsWindow)
{
    Bus b;
    b.engine.extraLatency = 0; // the bare windows
    b.fault(1, [](auto &f) { f.delayMs = 150; });
    EXPECT_EQ(b.engine.factoryReset(1), COMM_OK) << "within 500 ms";
    EXPECT_EQ(b.engine.reboot(1), COMM_RX_TIMEOUT) << "past 35 ms";
}

TEST(Protocol2Transaction, AReplyLaterThanItsWindowNeverAnswersTheNextRequest)
{
    // Present Position 2048, Present Velocity -1 (FF FF FF FF).
    Bus b;
    b.bus.setMemory(1, 128, fromHex("FF FF FF FF"));
    b.listen();
    b.fault(1, [](auto &f) { f.delayMs = sim::kReplySlackMs + 300; });
    uchar data[4] = {};
    uchar error = kUntouched;
    EXPECT_EQ(b.engine.readTxRx(1, 132, 4, data, &error), COMM_RX_TIMEOUT);
    b.fault(1, [](auto &) {});
    EXPECT_EQ(b.engine.readTxRx(1, 128, 4, data, &error), COMM_OK);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(data), 4), fromHex("FF FF FF FF"));
    // The late reply reached the stream parser as stray traffic.
    EXPECT_TRUE(b.itemData(1).contains(sim::status2(1, 0, fromHex("00 08 00 00"))));
}

TEST(Protocol2Transaction, APingOrReadTakesOnlyAReplyOfItsOwnSize)
{
    // Ahead of each right reply the device sends one of another size: a READ
    // reply before the ping's, a 2-byte reply with an error number (no
    // refusal: it carries data) before a 4-byte read's.
    Bus b;
    b.bus.setResponder([](const sim::Instruction &in) -> std::optional<QByteArray> {
        if (in.code == 0x01)
            return sim::status2(1, 0, fromHex("11 22 33 44")) + sim::status2(1, 0, fromHex("FC 03 35"));
        if (in.code == 0x02)
            return sim::status2(1, 0x01, fromHex("11 22")) + sim::status2(1, 0, fromHex("00 08 00 00"));
        return std::nullopt;
    });
    ushort model = 0;
    uchar firmware = 0;
    uchar error = kUntouched;
    EXPECT_EQ(b.engine.ping(1, &model, &firmware, &error), COMM_OK);
    EXPECT_EQ(model, 1020);
    EXPECT_EQ(firmware, 53);
    uchar data[4] = {};
    EXPECT_EQ(b.engine.readTxRx(1, 132, 4, data, &error), COMM_OK);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(data), 4), fromHex("00 08 00 00"));
    EXPECT_EQ(error, 0);
}

TEST(Protocol2Transaction, AHeaderWithALengthNoReplyHasIsNoise)
{
    Bus b;
    b.fault(1, [](auto &f) { f.noise = fromHex("FF FF FD 00 01 00 10 55 00 00"); });
    uchar data[4] = {};
    uchar error = kUntouched;
    EXPECT_EQ(b.engine.readTxRx(1, 132, 4, data, &error), COMM_OK);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(data), 4), fromHex("00 08 00 00"));
}

TEST(Protocol2Transaction, BroadcastAndActionReturnRightAfterTheWrite)
{
    Bus b;
    b.bus.addDevice(sim::Device::protocol2(2, 1130, 40));
    const uchar on = 1;
    uchar error = kUntouched;
    EXPECT_EQ(b.engine.writeTxRx(0xFE, 64, 1, &on, &error), COMM_OK);
    EXPECT_EQ(error, kUntouched) << "no reply was matched";
    EXPECT_EQ(b.engine.action(1), COMM_OK);
    ASSERT_TRUE(b.bus.waitForReceived(2, 2000));
    EXPECT_EQ(b.bus.memory(1, 64, 1), fromHex("01"));
    EXPECT_EQ(b.bus.memory(2, 64, 1), fromHex("01"));
    EXPECT_TRUE(b.itemData(1).isEmpty()) << "nothing was read";
}

TEST(Protocol2Transaction, AStuffedReadRequestAwaitsTheLengthItAskedFor)
{
    // Address 0xFFFF and length 0x00FD put FF FF FD into the request, which goes
    // out stuffed; the reply awaited is still 253 data bytes long.
    Bus b;
    b.bus.addDevice(sim::Device::protocol2(1, 1020, 53, 0xFFFF + 0xFD));
    const QByteArray expected(0xFD, '\x3C');
    b.bus.setMemory(1, 0xFFFF, expected);
    QByteArray data(0xFD, '\0');
    uchar error = kUntouched;
    ASSERT_EQ(b.engine.readTxRx(1, 0xFFFF, 0xFD, reinterpret_cast<uchar *>(data.data()), &error), COMM_OK);
    EXPECT_EQ(b.sent(0), fromHex("FF FF FD 00 01 08 00 02 FF FF FD FD 00") + b.sent(0).right(2));
    EXPECT_EQ(data, expected);
    EXPECT_EQ(error, 0);
}

TEST(Protocol2Transaction, TheReplyStepRefusesToAwaitABroadcastRead)
{
    Bus b;
    for (const uchar instruction : {QvxProtocol2::BulkRead, QvxProtocol2::SyncRead}) {
        QByteArray packet = QvxProtocol2::instructionPacket(0xFE, instruction, fromHex("01 84 00 04 00"));
        ASSERT_EQ(b.engine.txPacket(packet), COMM_OK);
        QByteArray reply;
        uchar error = kUntouched;
        EXPECT_EQ(b.engine.receiveReply(packet, &reply, &error, false), COMM_NOT_AVAILABLE) << int(instruction);
        EXPECT_TRUE(reply.isEmpty());
        EXPECT_EQ(error, kUntouched);
    }
}

TEST(Protocol2Transaction, PingReportsModelAndFirmware)
{
    Bus b;
    ushort model = 0;
    uchar fw = 0;
    uchar error = kUntouched;
    ASSERT_EQ(b.engine.ping(1, &model, &fw, &error), COMM_OK);
    EXPECT_EQ(model, 1020);
    EXPECT_EQ(fw, 53);
    EXPECT_EQ(error, 0);
}

TEST(Protocol2Transaction, APingReplyWithoutIdentityIsNotReadBeyondItsEnd)
{
    Bus b;
    b.fault(1, [](auto &f) {
        f.omitData = true;
        f.error = 0x02;
    });
    ushort model = 0xBEEF;
    uchar fw = kUntouched;
    uchar error = kUntouched;
    ASSERT_EQ(b.engine.ping(1, &model, &fw, &error), COMM_OK);
    EXPECT_EQ(error, 0x02) << "the device's answer reaches the caller";
    EXPECT_EQ(model, 0xBEEF);
    EXPECT_EQ(fw, kUntouched);
}

TEST(Protocol2Transaction, ARefusedReadEndsWithTheDevicesErrorNotATimeout)
{
    struct Case
    {
        const char *name;
        quint8 error;
        int expected;
        uchar expectedError;
    };
    const Case cases[] = {
        {"access error", 0x07, COMM_OK, 0x07},
        {"data range error with the alert bit", 0x84, COMM_OK, 0x84},
        {"no error number: not an answer to this read", 0x00, COMM_RX_TIMEOUT, kUntouched},
        {"alert bit alone: not an answer to this read", 0x80, COMM_RX_TIMEOUT, kUntouched},
    };
    for (const Case &c : cases) {
        Bus b;
        b.fault(1, [&](auto &f) {
            f.omitData = true;
            f.error = c.error;
        });
        uchar data[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
        uchar error = kUntouched;
        EXPECT_EQ(b.engine.readTxRx(1, 132, 4, data, &error), c.expected) << c.name;
        EXPECT_EQ(error, c.expectedError) << c.name;
        EXPECT_EQ(QByteArray(reinterpret_cast<char *>(data), 4), QByteArray(4, '\xAA')) << c.name << ": data untouched";
    }
}

TEST(Protocol2Transaction, TheDumpReadDoesNotTakeARefusalForData)
{
    Bus b; // the dump region (address bit 15) lies outside the simulated table
    QByteArray out = "stale";
    EXPECT_EQ(b.engine.dumpReadData(1, 0x0010, 4, 3, &out), COMM_RX_TIMEOUT);
    EXPECT_EQ(out, sim::status2(1, 0x07)) << "the last packet the reply step dropped";

    b.bus.addDevice(sim::Device::protocol2(1, 1020, 53, 0x8020));
    b.bus.setMemory(1, 0x8010, fromHex("01 02 03 04"));
    ASSERT_EQ(b.engine.dumpReadData(1, 0x0010, 4, 3, &out), COMM_OK);
    EXPECT_EQ(out, sim::status2(1, 0, fromHex("01 02 03 04")));
}

TEST(Protocol2Transaction, CompletionSignalsCarryResultIdAndErrorByte)
{
    using Signal = void (QvxProtocol::*)(int, uchar, uchar);
    struct Case
    {
        const char *name;
        std::function<int(QvxProtocol2 &)> run;
        Signal signal;
    };
    const Case cases[] = {
        {"factory reset", [](QvxProtocol2 &p) { return p.factoryReset(1); }, &QvxProtocol::resetCompleted},
        {"reboot", [](QvxProtocol2 &p) { return p.reboot(1); }, &QvxProtocol::rebootCompleted},
        {"clear", [](QvxProtocol2 &p) { return p.clear(1, 2); }, &QvxProtocol::clearCompleted},
        {"multi-turn clear", [](QvxProtocol2 &p) { return p.multiturnClear(1, 0); },
         &QvxProtocol::multiturnClearCompleted},
        {"aux backup", [](QvxProtocol2 &p) { return p.auxBackup(1); }, &QvxProtocol::auxBackupCompleted},
        {"aux restore", [](QvxProtocol2 &p) { return p.auxRestore(1); }, &QvxProtocol::auxRestoreCompleted},
    };
    for (const Case &c : cases) {
        for (const bool answered : {true, false}) {
            Bus b;
            if (!answered)
                b.engine.wallClock = &fastClock; // CLEAR's ten seconds pass in a tenth
            b.fault(1, [&](auto &f) {
                f.error = 0x05;
                f.silent = !answered;
            });
            int result = 0;
            const QList<QList<int>> emitted = b.completions(c.signal, [&] { result = c.run(b.engine); });
            const QList<int> expected = answered ? QList<int>{COMM_OK, 1, 5} : QList<int>{COMM_RX_TIMEOUT, 1, 0};
            EXPECT_EQ(result, expected[0]) << c.name << (answered ? "" : " (silent)");
            EXPECT_EQ(emitted, QList<QList<int>>{expected}) << c.name << (answered ? "" : " (silent)");
        }
    }
}

TEST(Protocol2Transaction, AFailedWriteIsSignalledWithZeroError)
{
    Bus b;
    b.port.close();
    int result = 0;
    EXPECT_EQ(b.completions(&QvxProtocol::rebootCompleted, [&] { result = b.engine.reboot(7); }),
              (QList<QList<int>>{{COMM_TX_FAIL, 7, 0}}));
    EXPECT_EQ(result, COMM_TX_FAIL);
}

TEST(Protocol2Transaction, OperationsWithoutProtocolSupportSendNothing)
{
    Bus b;
    EXPECT_EQ(b.engine.digitalReset(1), COMM_UNSUPPORTED);
    EXPECT_EQ(b.engine.syncRead(), COMM_UNSUPPORTED);
    EXPECT_EQ(b.engine.fastSyncRead(), COMM_UNSUPPORTED);
    uchar e = 0;
    b.engine.ping(1, nullptr, nullptr, &e);
    EXPECT_EQ(b.bus.received().size(), 1) << "only the ping went out";
}

TEST(Protocol2Transaction, TheTraceShowsBothDirections)
{
    Bus b;
    b.engine.verbose = true;
    QByteArray out;
    platform::OutputSink::beginCapture(&out);
    uchar e = 0;
    const int result = b.engine.ping(1, nullptr, nullptr, &e);
    platform::OutputSink::endCapture();
    ASSERT_EQ(result, COMM_OK);
    EXPECT_EQ(out, "[TX] FF FF FD 00 01 03 00 01 19 4E\n[RX] "
                       + sim::status2(1, 0, fromHex("FC 03 35")).toHex(' ').toUpper() + "\n");
}
