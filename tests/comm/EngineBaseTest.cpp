// What both engines share: the token tests, the packet clock, the trace, the
// flush of unparsed bytes, and the value records with their meta-types.
#include "comm/CancellationToken.h"
#include "comm/QvxCommRecords.h"
#include "comm/QvxProtocol1.h"
#include "comm/QvxProtocol2.h"
#include "comm/QvxRecords.h"
#include "platform/OutputSink.h"
#include "tests/sim/SimPackets.h"
#include "tests/support/QtPrinters.h"

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>
#include <limits>

namespace {

constexpr qint64 kMs = 1000000; // ns

qint64 fakeNow = 0;
qint64 fakeClock()
{
    return fakeNow;
}

} // namespace

TEST(CancellationToken, RemainingWaitFollowsTheDeadline)
{
    struct Case
    {
        const char *name;
        bool lent;
        bool hasDeadline;
        qint64 leftNs; // deadline minus now
        int ms;
        int expected;
    };
    const Case cases[] = {
        {"no token keeps any value", false, false, 0, -5, -5},
        {"no token keeps zero", false, false, 0, 0, 0},
        {"token without deadline passes positive waits", true, false, 0, 20, 20},
        {"token turns a negative wait into zero", true, false, 0, -5, 0},
        {"less than 1 ms left gives zero", true, true, kMs / 2, 20, 0},
        {"a passed deadline gives zero", true, true, -50 * kMs, 20, 0},
        {"a short wait fits before the deadline", true, true, 5 * kMs + kMs / 2, 1, 1},
        {"a long wait is cut to the whole ms left", true, true, 5 * kMs + kMs / 2, 20, 5},
        {"4.9 ms left gives 4", true, true, 4 * kMs + 9 * kMs / 10, 20, 4},
        {"a deadline beyond int range leaves the wait", true, true, 3000000000LL * kMs, 20, 20},
    };
    for (const Case &c : cases) {
        QvxProtocol2 engine;
        CancellationToken token;
        if (c.lent)
            engine.token = &token;
        token.hasDeadline = c.hasDeadline;
        token.deadline = CancellationToken::steadyNowNs() + c.leftNs;
        EXPECT_EQ(engine.remainingWait(c.ms), c.expected) << c.name;
    }
}

TEST(CancellationToken, CancelsOnStateOrPassedDeadline)
{
    struct Case
    {
        const char *name;
        int state;
        bool hasDeadline;
        qint64 leftNs; // deadline minus now
        bool deadlinePassed;
        bool cancelled;
    };
    const Case cases[] = {
        {"running, no deadline", 0, false, -50 * kMs, false, false},
        {"interrupted before a far deadline", 1, true, 60000 * kMs, false, true},
        {"past its deadline", 2, true, 60000 * kMs, false, true},
        {"deadline not yet reached", 0, true, 60000 * kMs, false, false},
        {"deadline passed", 0, true, -1, true, true},
        {"a deadline that is switched off", 0, false, -1, false, false},
    };
    for (const Case &c : cases) {
        CancellationToken token;
        token.state = c.state;
        token.hasDeadline = c.hasDeadline;
        token.deadline = CancellationToken::steadyNowNs() + c.leftNs;
        EXPECT_EQ(token.deadlinePassed(), c.deadlinePassed) << c.name;
        EXPECT_EQ(token.cancelled(), c.cancelled) << c.name;
    }

    // The engines ask the token they are lent, and without one nothing cancels them.
    QvxProtocol1 engine;
    EXPECT_FALSE(engine.isCancelled()) << "no token";
    CancellationToken token;
    engine.token = &token;
    EXPECT_FALSE(engine.isCancelled());
    token.state = 1;
    EXPECT_TRUE(engine.isCancelled());
    token.state = 0;
    token.hasDeadline = true;
    token.deadline = CancellationToken::steadyNowNs() + kMs / 2;
    EXPECT_EQ(engine.remainingWait(10), 0) << "not cancelled yet, but no time left to wait";
}

TEST(PacketClock, TimeoutFollowsBaudRateBytesAndLatency)
{
    struct Case
    {
        int baud;
        int latency;
        int bytes;
        int expected;
    };
    const Case cases[] = {
        {57600, 0, 11, 35}, {1000000, 0, 11, 34}, {9600, 0, 11, 45},
        {9600, 0, 100, 138}, {57600, 0, 0, 34},  {57600, 200, 11, 235},
        // A huge extra latency gives the longest wait, never a negative one.
        {57600, std::numeric_limits<int>::max(), 11, std::numeric_limits<int>::max()},
        {57600, std::numeric_limits<int>::max() - 30, 11, std::numeric_limits<int>::max()},
    };
    QvxProtocol2 engine;
    for (const Case &c : cases) {
        engine.baudRate = c.baud;
        engine.extraLatency = c.latency;
        EXPECT_EQ(engine.packetTimeoutFor(c.bytes), c.expected) << c.baud << " baud, " << c.bytes << " bytes";
    }
}

TEST(PacketClock, RunsOutStrictlyAfterTheTimeoutAndStaysRunOut)
{
    QvxProtocol2 engine;
    engine.wallClock = &fakeClock;
    fakeNow = 1000;
    engine.setPacketTimeout(11); // 35 ms at 57600 baud
    fakeNow = 1035;
    EXPECT_FALSE(engine.isPacketTimeout()) << "exactly at the time-out";
    fakeNow = 1036;
    EXPECT_TRUE(engine.isPacketTimeout());
    EXPECT_EQ(engine.packetTimeout, 0);
    fakeNow = 1037;
    EXPECT_TRUE(engine.isPacketTimeout()) << "stays run out until restarted";

    engine.setPacketTimeoutMs(500);
    fakeNow = 1537;
    EXPECT_FALSE(engine.isPacketTimeout());
    EXPECT_EQ(engine.elapsedSincePacketStart(), 500);
}

TEST(PacketClock, AWallClockThatJumpsBackRestartsTheClock)
{
    QvxProtocol1 engine;
    engine.wallClock = &fakeClock;
    fakeNow = 50000;
    engine.setPacketTimeoutMs(100);
    fakeNow = 40000; // ten seconds back
    EXPECT_FALSE(engine.isPacketTimeout());
    fakeNow = 40100;
    EXPECT_FALSE(engine.isPacketTimeout()) << "the full time-out runs again from the jump";
    fakeNow = 40101;
    EXPECT_TRUE(engine.isPacketTimeout());
}

TEST(PacketTrace, WritesOneHexLinePerPacketOnlyWhenVerbose)
{
    QvxProtocol2 engine;
    QByteArray out;
    platform::OutputSink::beginCapture(&out);
    engine.trace(false, sim::fromHex("FF FF FD 00 01 03 00 01 19 4E"));
    engine.verbose = true;
    engine.trace(false, sim::fromHex("FF FF FD 00 01 03 00 01 19 4E"));
    engine.trace(true, sim::fromHex("0a ff"));
    engine.trace(false, QByteArray());
    platform::OutputSink::endCapture();
    EXPECT_EQ(out, "[TX] FF FF FD 00 01 03 00 01 19 4E\n[RX] 0A FF\n[TX] \n");
}

TEST(UnparsedBytes, FlushGoesOutInPiecesOfTwentyMarkedCorrupt)
{
    QvxProtocol1 engine;
    QList<QvxProtocol::PacketItem> items;
    QObject::connect(&engine, &QvxProtocol::outputPacket, [&](const QvxProtocol::PacketItem &i) { items << i; });
    QByteArray bytes;
    for (int i = 0; i < 45; ++i)
        bytes += static_cast<char>(i);
    // Bytes staged by an earlier flush go first.
    engine.pendingBuffer = bytes.left(10);
    engine.rxBuffer = bytes.mid(10);
    engine.onTimeout();

    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0].data, bytes.left(20));
    EXPECT_EQ(items[1].data, bytes.mid(20, 20));
    EXPECT_EQ(items[2].data, bytes.mid(40));
    for (const auto &item : items) {
        EXPECT_EQ(item.text, "RX Corrupt");
        EXPECT_EQ(item.direction, 1);
        EXPECT_EQ(item.protocol, "1.0");
        EXPECT_FALSE(item.flag);
        EXPECT_EQ(QList<int>({item.reserved1, item.reserved2, item.reserved3, item.reserved4}),
                  QList<int>({-1, -1, -1, 0}));
    }
    EXPECT_TRUE(engine.rxBuffer.isEmpty());
    EXPECT_TRUE(engine.pendingBuffer.isEmpty());
}

TEST(UnparsedBytes, ResetStateReturnsToIdle)
{
    QvxProtocol2 engine;
    engine.rxBuffer = "abc";
    engine.pendingBuffer = "def";
    engine.inTransaction = true;
    engine.packetTimeout = 35;
    engine.resetState();
    EXPECT_TRUE(engine.rxBuffer.isEmpty());
    EXPECT_TRUE(engine.pendingBuffer.isEmpty());
    EXPECT_FALSE(engine.inTransaction);
    EXPECT_EQ(engine.packetTimeout, 0);
}

TEST(ValueRecords, DefaultsAreThoseOfTheContract)
{
    const qvx::MultiGraphReadParam graph;
    EXPECT_EQ(graph.startAddress, 9999);
    EXPECT_EQ(graph.endAddress, 0);
    EXPECT_EQ(graph.length, 0);

    const qvx::MultiAgingOption multi;
    EXPECT_EQ(multi.interval, 20);
    EXPECT_EQ(multi.repeat, 0);
    EXPECT_EQ(multi.idCount, 1);
    EXPECT_TRUE(multi.writeItems.isEmpty());

    const qvx::MotionAgingOption motion;
    EXPECT_TRUE(motion.steps.isEmpty());
    EXPECT_EQ(QList<int>({motion.goalPositionAddress, motion.profileVelocityAddress,
                          motion.profileAccelerationAddress, motion.movingStatusAddress}),
              QList<int>({116, 112, 108, 123}));

    const QvxProtocol::BulkReadResult result;
    EXPECT_EQ(result.error, -1);
    const qvx::HandPresetData preset;
    EXPECT_TRUE(preset.firstValues.isEmpty());
    EXPECT_EQ(preset.trailer, (std::array<qint16, 4>{}));
}

TEST(ValueRecords, MetaTypesAreKnownByTheirPublishedNames)
{
    QvxProtocol2 engine; // registers on construction
    const std::pair<const char *, QMetaType> names[] = {
        {"QvxProtocol::PacketItem", QMetaType::fromType<QvxProtocol::PacketItem>()},
        {"qvx::MultiGraphReadParams", QMetaType::fromType<qvx::MultiGraphReadParams>()},
        {"qvx::MultiGraphReadResults", QMetaType::fromType<qvx::MultiGraphReadResults>()},
        {"QvxComm::AgingDatas", QMetaType::fromType<QvxCommRecords::AgingDatas>()},
        {"QvxComm::MultiAgingParams", QMetaType::fromType<QvxCommRecords::MultiAgingParams>()},
        {"qvx::MultiAgingOption", QMetaType::fromType<qvx::MultiAgingOption>()},
        {"qvx::MotionAgingOption", QMetaType::fromType<qvx::MotionAgingOption>()},
        {"qvx::HandPresetData", QMetaType::fromType<qvx::HandPresetData>()},
    };
    for (const auto &[name, type] : names) {
        const QMetaType byName = QMetaType::fromName(name);
        EXPECT_TRUE(byName.isValid()) << name;
        EXPECT_EQ(byName.id(), type.id()) << name;
    }
}

TEST(ValueRecords, PacketItemsTravelThroughQueuedConnections)
{
    QvxProtocol2 engine;
    QObject receiver;
    QList<QvxProtocol::PacketItem> got;
    QObject::connect(
        &engine, &QvxProtocol::outputPacket, &receiver, [&](const QvxProtocol::PacketItem &i) { got << i; },
        Qt::QueuedConnection);
    engine.rxBuffer = "xyz";
    engine.onTimeout();
    EXPECT_TRUE(got.isEmpty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !got.isEmpty(); }, 1000));
    EXPECT_EQ(got[0].data, "xyz");
    EXPECT_EQ(got[0].protocol, "2.0");
}
