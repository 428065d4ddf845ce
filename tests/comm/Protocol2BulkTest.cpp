// Protocol 2.0 operations on many devices: broadcast ping, sync and bulk
// writes, bulk and fast bulk reads.
#include "EngineOnBus.h"

#include "comm/CancellationToken.h"
#include "comm/QvxProtocol2.h"
#include "tests/support/HexText.h"
#include "tests/support/QtPrinters.h"

#include <functional>
#include <gtest/gtest.h>

using sim::fromHex;

namespace {

using Result = QvxProtocol::BulkReadResult;

// Three protocol 2.0 devices (IDs 1, 2 and 5) and one protocol 1.0 device,
// which keeps quiet on protocol 2.0 traffic.
struct Bus : EngineOnBus<QvxProtocol2>
{
    Bus()
    {
        open();
        bus.addDevice(sim::Device::protocol2(1, 1020, 53));
        bus.addDevice(sim::Device::protocol2(5, 3100, 12));
        bus.addDevice(sim::Device::protocol2(2, 1130, 40));
        bus.addDevice(sim::Device::protocol1(3, 12, 7));
        bus.setMemory(1, 132, fromHex("00 08 00 00"));
        bus.setMemory(2, 132, fromHex("11 22 33 44"));
    }
};

std::string describe(const QList<Result> &results)
{
    std::string out;
    for (const Result &r : results)
        out += "{" + std::to_string(r.id) + " @" + std::to_string(r.address) + " +" + std::to_string(r.length) +
               " [" + r.data.toHex(' ').toStdString() + "] e" + std::to_string(r.error) + "} ";
    return out;
}

bool same(const QList<Result> &a, const QList<Result> &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i].id != b[i].id || a[i].address != b[i].address || a[i].length != b[i].length ||
            a[i].data != b[i].data || a[i].error != b[i].error)
            return false;
    }
    return true;
}

#define EXPECT_RESULTS(actual, expected) EXPECT_TRUE(same(actual, expected)) << describe(actual)

struct BulkCase
{
    const char *name;
    std::function<void(Bus &)> arrange;
    int expected;
    QList<Result> results;
};
using BulkOperation = int (QvxProtocol2::*)(const QList<QvxProtocol::BulkReadParam> &, QList<Result> *);

void expectBulk(BulkOperation read, const QList<QvxProtocol::BulkReadParam> &ranges, const QList<BulkCase> &cases)
{
    for (const BulkCase &c : cases) {
        Bus b;
        c.arrange(b);
        QList<Result> results;
        EXPECT_EQ((b.engine.*read)(ranges, &results), c.expected) << c.name;
        EXPECT_RESULTS(results, c.results) << c.name;
    }
}

const Found kDevice1{1, 1020, 53};
const Found kDevice2{2, 1130, 40};
const Found kDevice5{5, 3100, 12};

} // namespace

TEST(Protocol2BroadcastPing, FindsEveryDeviceInIdOrderAndEndsWithTheWait)
{
    struct Case
    {
        const char *name;
        std::function<void(Bus &)> arrange;
        QList<Found> found;
        QStringList logs;
    };
    QByteArray corrupt2 = sim::status2(2, 0, fromHex("6A 04 28"));
    corrupt2[13] = static_cast<char>(corrupt2.at(13) ^ 0x5A);
    const Case cases[] = {
        {"three devices", [](Bus &) {}, {kDevice1, kDevice2, kDevice5}, {}},
        {"a corrupt answer costs only its own bytes",
         [](Bus &b) { b.fault(2, [](auto &f) { f.corruptChecksum = true; }); }, {kDevice1, kDevice5},
         {"COMM_RX_CORRUPT: crc error", "read data = " + hexOf(corrupt2)}},
        {"a cut-off answer costs only its own bytes", [](Bus &b) { b.fault(2, [](auto &f) { f.truncateTo = 10; }); },
         {kDevice1, kDevice5},
         {"COMM_RX_CORRUPT: crc error", "read data = " + hexOf(sim::status2(2, 0, fromHex("6A 04 28")).left(10))}},
        {"a 15-byte status is taken without a find",
         [](Bus &b) { b.fault(2, [](auto &f) { f.noise = sim::status2(9, 0, fromHex("01 02 03 04")); }); },
         {kDevice1, kDevice2, kDevice5}, {}},
        {"an answer from ID 253 is skipped byte by byte",
         [](Bus &b) { b.fault(2, [](auto &f) { f.noise = sim::status2(253, 0, fromHex("01 02 03")); }); },
         {kDevice1, kDevice2, kDevice5},
         {"COMM_RX_CORRUPT: remove unnecessary packets",
          "remove data = " + hexOf(sim::status2(253, 0, fromHex("01 02 03")).mid(1))}},
        {"a stuffed answer is found", [](Bus &b) { b.bus.addDevice(sim::Device::protocol2(7, 0xFFFF, 0xFD)); },
         {kDevice1, kDevice2, kDevice5, {7, 0xFFFF, 0xFD}}, {}},
        {"a header with a length no answer has is noise",
         [](Bus &b) { b.fault(1, [](auto &f) { f.noise = fromHex("FF FF FD 00 01 00 10 55 00 00"); }); },
         {kDevice1, kDevice2, kDevice5},
         {"COMM_RX_CORRUPT: remove unnecessary packets", "remove data = FF FD 00 01 00 10 55 00 00"}},
        {"an answer behind a longer packet is not left waiting",
         [](Bus &b) { b.fault(1, [](auto &f) { f.noise = sim::status2(9, 0, fromHex("01 02 03 04 05")); }); },
         {kDevice1, kDevice2, kDevice5}, {}},
    };
    for (const Case &c : cases) {
        Bus b;
        c.arrange(b);
        EXPECT_EQ(b.engine.broadcastPing(150), COMM_RX_TIMEOUT) << c.name;
        EXPECT_EQ(b.found, c.found) << c.name;
        EXPECT_EQ(b.logs, c.logs) << c.name;
        EXPECT_TRUE(b.itemData(1).isEmpty()) << c.name << ": answers make no items";
        EXPECT_FALSE(b.engine.inTransaction) << c.name;
    }
}

TEST(Protocol2BroadcastPing, TheLastAnswerBehindALongerPacketInPiecesIsFound)
{
    // The longer packet comes byte by byte, so the wait first wants all of it;
    // the answer behind it is shorter and nothing follows it.
    Bus b;
    b.fault(5, [](auto &f) {
        f.noise = sim::status2(9, 0, fromHex("01 02 03 04 05"));
        f.byteGapMs = 1;
    });
    EXPECT_EQ(b.engine.broadcastPing(2000), COMM_RX_TIMEOUT);
    EXPECT_EQ(b.found, (QList<Found>{kDevice1, kDevice2, kDevice5}));
    EXPECT_TRUE(b.logs.isEmpty()) << b.logs.join(QLatin1Char('\n')).toStdString();
}

TEST(Protocol2BroadcastPing, NoiseWithoutHeaderIsLoggedWhenTheWaitEnds)
{
    EngineOnBus<QvxProtocol2> b;
    ASSERT_TRUE(b.open());
    b.bus.setResponder([](const sim::Instruction &) { return std::optional<QByteArray>(fromHex("00 11 22")); });
    EXPECT_EQ(b.engine.broadcastPing(300), COMM_RX_TIMEOUT);
    EXPECT_EQ(b.logs, QStringList({"COMM_RX_CORRUPT: rx time out", "read data = 00 11 22"}));
    EXPECT_TRUE(b.engine.rxBuffer.isEmpty());
}

TEST(Protocol2BroadcastPing, ACancelledTokenEndsTheWait)
{
    Bus b;
    CancellationToken token;
    token.hasDeadline = true;
    token.deadline = CancellationToken::steadyNowNs() + 50 * 1000000LL;
    b.engine.token = &token;
    EXPECT_EQ(b.engine.broadcastPing(60000), COMM_CANCELLED);
    EXPECT_TRUE(b.engine.rxBuffer.isEmpty());
    EXPECT_FALSE(b.engine.inTransaction);
}

TEST(Protocol2SyncBulkWrite, EveryListedDeviceTakesItsBlockWithoutAnswering)
{
    Bus b;
    EXPECT_EQ(b.engine.syncWrite(116, 4, fromHex("01 10 20 30 40 02 50 60 70 80")), COMM_OK);
    EXPECT_EQ(b.engine.bulkWrite(fromHex("01 40 00 01 00 01 05 41 00 02 00 AA BB")), COMM_OK);
    ASSERT_TRUE(b.bus.waitForReceived(2, 2000));
    EXPECT_EQ(b.bus.memory(1, 116, 4), fromHex("10 20 30 40"));
    EXPECT_EQ(b.bus.memory(2, 116, 4), fromHex("50 60 70 80"));
    EXPECT_EQ(b.bus.memory(1, 64, 1), fromHex("01"));
    EXPECT_EQ(b.bus.memory(5, 65, 2), fromHex("AA BB"));
    EXPECT_TRUE(b.itemData(1).isEmpty()) << "nothing was read";
}

TEST(Protocol2BulkRead, TakesOneReplyPerRangeInRequestOrder)
{
    const QList<QvxProtocol::BulkReadParam> ranges{{2, 132, 4}, {1, 132, 2}};
    expectBulk(&QvxProtocol2::bulkRead, ranges, {
        {"both answer", [](Bus &) {}, COMM_OK,
         {{2, 132, 4, fromHex("11 22 33 44"), 0}, {1, 132, 2, fromHex("00 08"), 0}}},
        {"the second stays silent", [](Bus &b) { b.fault(1, [](auto &f) { f.silent = true; }); }, COMM_RX_TIMEOUT,
         {{2, 132, 4, fromHex("11 22 33 44"), 0}}},
        {"a short reply gives no data, never its CRC",
         [](Bus &b) {
             b.fault(2, [](auto &f) {
                 f.omitData = true;
                 f.error = 0x07;
             });
         },
         COMM_OK, {{2, 132, 4, QByteArray(), 7}, {1, 132, 2, fromHex("00 08"), 0}}},
        {"the first reply corrupt", [](Bus &b) { b.fault(2, [](auto &f) { f.corruptChecksum = true; }); },
         COMM_RX_CORRUPT, {}},
    });
}

TEST(Protocol2BulkRead, EachRangeWaitsForItsOwnWindow)
{
    Bus b;
    b.engine.extraLatency = 0; // the bare window
    QList<Result> results;
    ASSERT_EQ(b.engine.bulkRead({{1, 132, 4}}, &results), COMM_OK);
    EXPECT_EQ(b.engine.packetTimeout, 37) << "packetTimeoutFor(19) at 57600 baud";
}

TEST(Protocol2FastBulkRead, SplitsTheCombinedReplyPerRange)
{
    const QList<QvxProtocol::BulkReadParam> ranges{{1, 132, 4}, {2, 132, 4}};
    expectBulk(&QvxProtocol2::fastBulkRead, ranges, {
        {"two devices", [](Bus &) {}, COMM_OK,
         {{1, 132, 4, fromHex("00 08 00 00"), 0}, {2, 132, 4, fromHex("11 22 33 44"), 0}}},
        {"stuffing inside the first block does not shift the second",
         [](Bus &b) { b.bus.setMemory(1, 132, fromHex("FF FF FD 00")); }, COMM_OK,
         {{1, 132, 4, fromHex("FF FF FD 00"), 0}, {2, 132, 4, fromHex("11 22 33 44"), 0}}},
        {"a reply that ends early yields the blocks it holds",
         [](Bus &b) { b.bus.removeDevice(2); }, COMM_OK, {{1, 132, 4, fromHex("00 08 00 00"), 0}}},
        {"no reply", [](Bus &b) { b.fault(1, [](auto &f) { f.silent = true; }); }, COMM_RX_TIMEOUT, {}},
    });
}

TEST(Protocol2FastBulkRead, ReadsTheBlocksAtTheirOffsets)
{
    // Blocks of 8 bytes from offset 8: data at 10 and 18; the last two bytes
    // are the packet CRC.
    Bus b;
    QList<Result> results;
    ASSERT_EQ(b.engine.fastBulkRead({{1, 132, 4}, {2, 132, 4}}, &results), COMM_OK);
    ASSERT_EQ(b.itemData(1).size(), 1);
    const QByteArray reply = b.itemData(1).first();
    ASSERT_EQ(reply.size(), 24);
    EXPECT_EQ(reply.mid(10, 4), results[0].data);
    EXPECT_EQ(reply.mid(18, 4), results[1].data);
}
