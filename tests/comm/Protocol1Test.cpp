// The protocol 1.0 engine against simulated protocol 1.0 devices.
#include "EngineOnBus.h"

#include "comm/QvxProtocol1.h"
#include "tests/support/QtPrinters.h"

#include <functional>
#include <gtest/gtest.h>

using sim::fromHex;

namespace {

constexpr uchar kUntouched = 0xAA;

struct Bus : EngineOnBus<QvxProtocol1>
{
    Bus()
    {
        protocol = sim::Protocol::V1;
        open();
        bus.addDevice(sim::Device::protocol1(1, 12, 7, 260));
        bus.setMemory(1, 36, fromHex("00 02"), sim::Protocol::V1);
    }
};

} // namespace

TEST(Protocol1Wire, EveryInstructionGoesOutByteExact)
{
    struct Case
    {
        const char *name;
        std::function<int(QvxProtocol1 &)> run;
        QList<QByteArray> wire;
    };
    const uchar two[] = {0x00, 0x02};
    uchar data[2] = {};
    uchar e = 0;
    ushort model = 0;
    uchar fw = 0;
    const Case cases[] = {
        {"ping and identity read", [&](QvxProtocol1 &p) { return p.ping(1, &model, &fw, &e); },
         {fromHex("FF FF 01 02 01 FB"), sim::packet1(1, 0x02, fromHex("00 07"))}},
        {"read 2 at 0", [&](QvxProtocol1 &p) { return p.readTxRx(1, 0, 2, data, &e); },
         {fromHex("FF FF 01 04 02 00 02 F6")}},
        {"write", [&](QvxProtocol1 &p) { return p.writeTxRx(1, 30, 2, two, &e); },
         {sim::packet1(1, 0x03, fromHex("1E 00 02"))}},
        {"reg write", [&](QvxProtocol1 &p) { return p.regWriteTxRx(1, 30, 2, two); },
         {sim::packet1(1, 0x04, fromHex("1E 00 02"))}},
        {"system write", [&](QvxProtocol1 &p) { return p.sysWriteTxRx(1, 30, 2, two, &e); },
         {sim::packet1(1, 0x0D, fromHex("1E 00 02"))}},
        {"action", [&](QvxProtocol1 &p) { return p.action(1); }, {sim::packet1(1, 0x05)}},
        {"factory reset", [&](QvxProtocol1 &p) { return p.factoryReset(1); }, {sim::packet1(1, 0x06)}},
        {"digital reset", [&](QvxProtocol1 &p) { return p.digitalReset(1); }, {sim::packet1(1, 0x07)}},
        {"reboot", [&](QvxProtocol1 &p) { return p.reboot(1); }, {sim::packet1(1, 0x08)}},
    };
    Bus b;
    for (const Case &c : cases) {
        b.bus.clearReceived();
        EXPECT_EQ(c.run(b.engine), COMM_OK) << c.name;
        ASSERT_TRUE(b.bus.waitForReceived(static_cast<int>(c.wire.size()), 2000)) << c.name;
        QList<QByteArray> sent;
        for (const auto &in : b.bus.received())
            sent << in.raw;
        EXPECT_EQ(sent, c.wire) << c.name;
    }
}

TEST(Protocol1Transaction, PingReadsModelAndFirmware)
{
    struct Case
    {
        const char *name;
        QByteArray head; // bytes 0 to 6 of the table
        ushort model;
        uchar firmware;
    };
    const Case cases[] = {
        {"firmware at address 2", fromHex("0C 00 07 01 22 00 00"), 12, 7},
        {"address 2 empty: firmware at address 6", fromHex("0C 00 00 01 22 00 29"), 12, 41},
    };
    for (const Case &c : cases) {
        Bus b;
        b.bus.setMemory(1, 0, c.head, sim::Protocol::V1);
        ushort model = 0;
        uchar fw = 0;
        uchar error = kUntouched;
        EXPECT_EQ(b.engine.ping(1, &model, &fw, &error), COMM_OK) << c.name;
        EXPECT_EQ(model, c.model) << c.name;
        EXPECT_EQ(fw, c.firmware) << c.name;
        EXPECT_EQ(error, 0) << c.name;
    }
}

TEST(Protocol1Transaction, ReadsAndWritesTheTableWithTheErrorBits)
{
    Bus b;
    uchar data[2] = {};
    uchar error = kUntouched;
    ASSERT_EQ(b.engine.readTxRx(1, 36, 2, data, &error), COMM_OK);
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(data), 2), fromHex("00 02"));
    EXPECT_EQ(error, 0);

    const uchar goal[] = {0xFF, 0x03};
    ASSERT_EQ(b.engine.writeTxRx(1, 30, 2, goal, &error), COMM_OK);
    EXPECT_EQ(b.bus.memory(1, 30, 2, sim::Protocol::V1), fromHex("FF 03"));

    b.fault(1, [](auto &f) { f.error = 0x24; }); // overheating and overload
    ASSERT_EQ(b.engine.readTxRx(1, 36, 2, data, &error), COMM_OK);
    EXPECT_EQ(error, 0x24);
}

TEST(Protocol1Transaction, ResultCodesAndReplyMatching)
{
    struct Case
    {
        const char *name;
        std::function<void(sim::Faults &)> fault;
        int expected;
        QStringList logs;
    };
    QByteArray corrupt = sim::packet1(1, 0, fromHex("00 02"));
    corrupt[7] = static_cast<char>(corrupt.at(7) ^ 0x5A);
    const Case cases[] = {
        {"silent device", [](auto &f) { f.silent = true; }, COMM_RX_TIMEOUT, {}},
        {"wrong checksum", [](auto &f) { f.corruptChecksum = true; }, COMM_RX_CORRUPT,
         {"COMM_RX_CORRUPT: checksum error", "read data = " + QString::fromLatin1(corrupt.toHex(' ').toUpper())}},
        {"cut-off reply", [](auto &f) { f.truncateTo = 5; }, COMM_RX_TIMEOUT,
         {"COMM_RX_CORRUPT: rx time out", "read data = FF FF 01 04 00"}},
        {"garbage before the reply", [](auto &f) { f.noise = fromHex("00 11"); }, COMM_OK,
         {"COMM_RX_CORRUPT: remove unnecessary packets", "remove data = 00 11"}},
        {"another ID's reply first", [](auto &f) { f.noise = sim::packet1(2, 0, fromHex("05 06")); }, COMM_OK, {}},
        {"a status too short to hold an error byte is no reply",
         [](auto &f) { f.noise = fromHex("FF FF 01 01 FD"); }, COMM_OK,
         {"COMM_RX_CORRUPT: remove unnecessary packets", "remove data = FF 01 01 FD"}},
        // A READ takes only a reply of its own size: a status without data has
        // none to copy.
        {"a status of the same ID without data first", [](auto &f) { f.noise = sim::packet1(1, 0x08); }, COMM_OK,
         {}},
        {"only a status without data", [](auto &f) {
             f.error = 0x08;
             f.omitData = true;
         },
         COMM_RX_TIMEOUT, {}},
    };
    for (const Case &c : cases) {
        Bus b;
        b.fault(1, c.fault);
        uchar data[2] = {kUntouched, kUntouched};
        uchar error = kUntouched;
        EXPECT_EQ(b.engine.readTxRx(1, 36, 2, data, &error), c.expected) << c.name;
        EXPECT_EQ(b.logs, c.logs) << c.name;
        if (c.expected == COMM_OK) {
            EXPECT_EQ(QByteArray(reinterpret_cast<char *>(data), 2), fromHex("00 02")) << c.name;
            EXPECT_EQ(error, 0) << c.name;
        } else {
            EXPECT_EQ(QByteArray(reinterpret_cast<char *>(data), 2), fromHex("AA AA")) << c.name;
            EXPECT_EQ(error, kUntouched) << c.name;
            EXPECT_TRUE(b.engine.rxBuffer.isEmpty()) << c.name;
        }
    }
}

TEST(Protocol1Transaction, PacketsOfUpTo250BytesGoOutLargerOnesAreRefused)
{
    Bus b;
    const QByteArray data(245, '\x05');
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    uchar error = kUntouched;
    EXPECT_EQ(b.engine.writeTxRx(1, 8, 244, bytes, &error), COMM_OK);
    ASSERT_EQ(b.bus.received().size(), 1);
    EXPECT_EQ(b.bus.received().first().raw.size(), 251);

    b.bus.clearReceived();
    EXPECT_EQ(b.engine.writeTxRx(1, 8, 245, bytes, &error), COMM_TX_ERROR);
    EXPECT_EQ(b.engine.ping(1, nullptr, nullptr, &error), COMM_OK);
    ASSERT_FALSE(b.bus.received().isEmpty());
    EXPECT_EQ(b.bus.received().first().name(), "PING") << "the refused write never went out";
}

TEST(Protocol1Transaction, AddressesAndLengthsBeyondOneByteAreRefusedUnsent)
{
    struct Case
    {
        const char *name;
        std::function<int(QvxProtocol1 &, uchar *)> run;
    };
    const uchar one[] = {1};
    uchar data[300] = {};
    const Case cases[] = {
        {"read at 256", [&](QvxProtocol1 &p, uchar *e) { return p.readTxRx(1, 256 + 36, 2, data, e); }},
        {"read of 256 bytes", [&](QvxProtocol1 &p, uchar *e) { return p.readTxRx(1, 0, 256, data, e); }},
        {"write at 280", [&](QvxProtocol1 &p, uchar *e) { return p.writeTxRx(1, 280, 1, one, e); }},
        {"system write at 300", [&](QvxProtocol1 &p, uchar *e) { return p.sysWriteTxRx(1, 300, 1, one, e); }},
        {"reg write at 257", [&](QvxProtocol1 &p, uchar *) { return p.regWriteTxRx(1, 257, 1, one); }},
    };
    Bus b;
    for (const Case &c : cases) {
        uchar error = kUntouched;
        EXPECT_EQ(c.run(b.engine, &error), COMM_TX_ERROR) << c.name;
        EXPECT_EQ(error, kUntouched) << c.name;
    }
    uchar error = 0;
    b.engine.ping(1, nullptr, nullptr, &error);
    ASSERT_FALSE(b.bus.received().isEmpty());
    EXPECT_EQ(b.bus.received().first().name(), "PING") << "nothing reached the device before";
    EXPECT_EQ(b.bus.memory(1, 24, 1, sim::Protocol::V1), fromHex("00")) << "280 cut to 8 bits would be 24";
}

TEST(Protocol1Transaction, BroadcastAndActionReturnRightAfterTheWrite)
{
    Bus b;
    b.bus.addDevice(sim::Device::protocol1(2, 12, 7));
    const uchar on = 1;
    uchar error = kUntouched;
    EXPECT_EQ(b.engine.writeTxRx(0xFE, 25, 1, &on, &error), COMM_OK);
    EXPECT_EQ(error, kUntouched);
    EXPECT_EQ(b.engine.action(1), COMM_OK);
    uchar data[2] = {kUntouched, kUntouched};
    EXPECT_EQ(b.engine.readTxRx(0xFE, 36, 2, data, &error), COMM_OK);
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(data), 2), fromHex("AA AA")) << "no reply, no data";
    ASSERT_TRUE(b.bus.waitForReceived(3, 2000));
    EXPECT_EQ(b.bus.memory(1, 25, 1, sim::Protocol::V1), fromHex("01"));
    EXPECT_EQ(b.bus.memory(2, 25, 1, sim::Protocol::V1), fromHex("01"));
    EXPECT_TRUE(b.itemData(1).isEmpty());
}

TEST(Protocol1Transaction, ResetsAndRebootSignalResultIdAndErrorByte)
{
    using Signal = void (QvxProtocol::*)(int, uchar, uchar);
    struct Case
    {
        const char *name;
        std::function<int(QvxProtocol1 &)> run;
        Signal signal;
    };
    const Case cases[] = {
        {"factory reset", [](QvxProtocol1 &p) { return p.factoryReset(1); }, &QvxProtocol::resetCompleted},
        {"digital reset", [](QvxProtocol1 &p) { return p.digitalReset(1); }, &QvxProtocol::resetCompleted},
        {"reboot", [](QvxProtocol1 &p) { return p.reboot(1); }, &QvxProtocol::rebootCompleted},
    };
    for (const Case &c : cases) {
        for (const bool answered : {true, false}) {
            Bus b;
            b.fault(1, [&](auto &f) {
                f.error = 0x20;
                f.silent = !answered;
            });
            int result = 0;
            const QList<QList<int>> emitted = b.completions(c.signal, [&] { result = c.run(b.engine); });
            const QList<int> expected = answered ? QList<int>{COMM_OK, 1, 0x20} : QList<int>{COMM_RX_TIMEOUT, 1, 0};
            EXPECT_EQ(result, expected[0]) << c.name;
            EXPECT_EQ(emitted, QList<QList<int>>{expected}) << c.name;
        }
    }
}

TEST(Protocol1Transaction, OperationsProtocol1LacksAnswerUnsupportedUnsent)
{
    Bus b;
    QvxProtocol1 &p = b.engine;
    QList<QvxProtocol::BulkReadResult> results;
    QByteArray out;
    int signals_ = 0;
    for (auto signal : {&QvxProtocol::clearCompleted, &QvxProtocol::multiturnClearCompleted,
                        &QvxProtocol::auxBackupCompleted, &QvxProtocol::auxRestoreCompleted})
        QObject::connect(&p, signal, [&] { ++signals_; });
    const int results_[] = {
        p.clear(1, 1),          p.multiturnClear(1, 0),      p.broadcastPing(100),
        p.bulkRead({{1, 0, 2}}, &results), p.bulkWrite("x"), p.syncRead(),
        p.syncWrite(0, 1, "x"), p.shufflePing(100),          p.shuffleId(1, "x", 100, 1),
        p.fastSyncRead(),       p.fastBulkRead({{1, 0, 2}}, &results), p.auxBackup(1),
        p.auxRestore(1),        p.dumpReadData(1, 0, 2, 0, &out),
    };
    for (const int r : results_)
        EXPECT_EQ(r, COMM_UNSUPPORTED);
    EXPECT_EQ(signals_, 0);
    EXPECT_TRUE(results.isEmpty());
    uchar error = 0;
    p.ping(1, nullptr, nullptr, &error);
    ASSERT_FALSE(b.bus.received().isEmpty());
    EXPECT_EQ(b.bus.received().first().name(), "PING") << "nothing went out before";
}
