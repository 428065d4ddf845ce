// The aging, multi-aging and motion-aging engines on the serial transport
// against the simulated bus: the profile clock (ticks called at hand-set
// times), the step expansion, the sync and bulk step writes, the motion
// phases, the starts that refuse what they cannot run, and real-timer runs.
#include "ManualClock.h"
#include "PortOnBus.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

using sim::fromHex;

namespace {

// Every engine signal, in order.
struct EngineLog
{
    QStringList seen;
    explicit EngineLog(QvxComm &comm)
    {
        QObject::connect(&comm, &QvxComm::agingCompleted, [this] { seen << QStringLiteral("agingCompleted"); });
        QObject::connect(&comm, &QvxComm::agingStopped, [this] { seen << QStringLiteral("agingStopped"); });
        QObject::connect(&comm, &QvxComm::multiAgingCompleted,
                         [this] { seen << QStringLiteral("multiAgingCompleted"); });
        QObject::connect(&comm, &QvxComm::multiAgingStopped,
                         [this](int e) { seen << QStringLiteral("multiAgingStopped %1").arg(e); });
        QObject::connect(&comm, &QvxComm::motionAgingStopped,
                         [this](int e) { seen << QStringLiteral("motionAgingStopped %1").arg(e); });
    }
};

// Added to every reply window: the machine is loaded.
constexpr int kSlackMs = 150;

// SYNC_WRITEs that reached the bus at `address` (they get no reply, so the
// bus may see them a little after the engine sent them).
int syncWritesAt(const sim::SimBus &bus, quint8 address)
{
    int count = 0;
    for (const sim::Instruction &i : bus.received()) {
        if (i.name() == QStringLiteral("SYNC_WRITE") && !i.params.isEmpty() && quint8(i.params.at(0)) == address)
            ++count;
    }
    return count;
}

// A serial transport on the bus with protocol 2.0 servos, open, on a hand clock.
struct Engines : PortOnBus
{
    ManualClock clock;
    explicit Engines(QList<quint8> ids = {1})
    {
        for (const quint8 id : ids)
            addServo(id);
        port->setEngineClock(&clock);
        port->setTimeout(kSlackMs);
    }

    // The instructions of one name received since `from`, as their parameters in hex.
    QStringList sent(const QString &name, qsizetype from = 0) const
    {
        QStringList out;
        const QList<sim::Instruction> all = bus.received();
        for (qsizetype i = from; i < all.size(); ++i) {
            if (all[i].name() == name)
                out << hexOf(all[i].params);
        }
        return out;
    }

    // Ticks once at `at` ms after the start.
    void agingTickAt(qint64 start, qint64 at)
    {
        clock.now = start + at;
        port->onAgingTimer();
    }
};

QvxComm::AgingDatas points(std::initializer_list<std::pair<int, int>> list)
{
    QvxComm::AgingDatas out;
    for (const auto &[time, value] : list)
        out.append({time, value});
    return out;
}

QvxComm::MultiAgingParam servo(int id, int goalAddress = 116, int goalLength = 4)
{
    return {id, 132, 4, goalAddress, goalLength, 98};
}

// Steps as "time:value,value..." texts.
QStringList stepTexts(const QList<QvxComm::MultiAgingStep> &steps)
{
    QStringList out;
    for (const QvxComm::MultiAgingStep &s : steps) {
        QStringList values;
        for (const QvxComm::MultiAgingItem &i : s.items)
            values << QString::number(i.value);
        out << QStringLiteral("%1:%2").arg(s.time).arg(values.join(','));
    }
    return out;
}

} // namespace

TEST(Aging, PointsFollowTheProfileClockAndTheLastPointGivesWayToTheFirst)
{
    Engines b;
    ASSERT_TRUE(b.open());
    EngineLog log(*b.port);
    const qint64 start = b.clock.now;
    const QvxComm::AgingDatas list = points({{0, 100}, {500, 200}, {1000, 300}});
    b.port->startAging(1, 116, 4, 2, list, list);
    b.port->agingTimer->stop(); // the test ticks by hand
    EXPECT_EQ(b.port->agingMode, 1);
    const qint64 ticks[] = {1, 500, 501, 1001, 1002, 1502, 2002, 2003};
    for (const qint64 at : ticks)
        b.agingTickAt(start, at);
    // 300 is never written: the tick that passes it passes the next cycle's first point too.
    EXPECT_EQ(b.sent(QStringLiteral("WRITE")),
              (QStringList{"74 00 64 00 00 00", "74 00 C8 00 00 00", "74 00 64 00 00 00", "74 00 C8 00 00 00",
                           "74 00 64 00 00 00"}));
    EXPECT_EQ(b.port->stepCounter, 7);
    EXPECT_EQ(log.seen, (QStringList{"agingCompleted", "agingStopped"}));
    EXPECT_EQ(b.port->agingMode, 0);
    EXPECT_EQ(b.port->agingGaps, (QList<qint64>{500, 500, 501, 500}));
}

TEST(Aging, LaterCyclesTakeTheRepeatValuesAndACycleEndAlwaysWrites)
{
    Engines b;
    ASSERT_TRUE(b.open());
    EngineLog log(*b.port);
    const qint64 start = b.clock.now;
    b.port->startAging(1, 65, 1, 0, points({{100, 1}, {200, 2}}), points({{100, 2}, {200, 2}, {300, 9}}));
    b.port->agingTimer->stop();
    const qint64 ticks[] = {50, 100, 101, 201, 301, 401};
    for (const qint64 at : ticks)
        b.agingTickAt(start, at);
    // 101: 1; 201: 2, ending the cycle; 301: the repeat list's 2 equals the
    // last write; 401: 2 again, since it ends a cycle.
    EXPECT_EQ(b.sent(QStringLiteral("WRITE")), (QStringList{"41 00 01", "41 00 02", "41 00 02"}));
    EXPECT_TRUE(log.seen.isEmpty());
    b.port->stopAging();
    EXPECT_EQ(log.seen, QStringList{"agingStopped"});
}

TEST(Aging, StartsThatCannotRunAreRefusedWithTheStopSignal)
{
    struct Case
    {
        const char *name;
        QvxComm::AgingDatas list;
        QvxComm::AgingDatas repeatList;
    };
    const Case cases[] = {
        {"empty list", {}, {}},
        {"repeat list shorter than the list", points({{0, 1}, {100, 2}}), points({{0, 1}})},
        // A cycle of 0 ms with a point elsewhere would pass points without end.
        {"cycle without length", points({{100, 1}, {0, 2}}), points({{100, 1}, {0, 2}})},
        {"cycle of negative length", points({{0, 1}, {-10, 2}}), points({{0, 1}, {-10, 2}})},
    };
    for (const Case &c : cases) {
        Engines b;
        EngineLog log(*b.port);
        b.port->startAging(1, 116, 4, 1, c.list, c.repeatList);
        EXPECT_EQ(b.port->agingMode, 0) << c.name;
        EXPECT_FALSE(b.port->agingTimer->isActive()) << c.name;
        EXPECT_EQ(log.seen, QStringList{"agingStopped"}) << c.name;
        b.port->onAgingTimer(); // a stray tick does nothing
        EXPECT_TRUE(b.bus.received().isEmpty()) << c.name;
    }
}

TEST(MultiAging, ExpansionInterpolatesHoldsAndMovesOnFromTheLastStep)
{
    qvx::MultiAgingOption option;
    option.interval = 20;
    option.idCount = 1;
    option.writeItems = {{100, 60, {100}}, {40, 0, {0}}};
    const QvxComm::MultiAgingParams params{servo(1)};
    QvxComm::MultiAgingStep waypoint{0, {{1, 116, 4, 0}}};
    const QList<QvxComm::MultiAgingStep> steps = QvxComm::expandMultiAgingSteps(waypoint, params, option);
    EXPECT_EQ(stepTexts(steps), (QStringList{"0:0", "0:0", "20:20", "40:40", "60:60", "80:80", "100:100", "100:100",
                                             "120:100", "140:100", "140:100", "160:50", "180:0"}));
    EXPECT_EQ(stepTexts({waypoint}), QStringList{"180:0"});

    // Interpolation truncates toward zero, also going down.
    option.writeItems = {{60, 0, {-10}}};
    QvxComm::MultiAgingStep down{0, {{1, 116, 4, 10}}};
    EXPECT_EQ(stepTexts(QvxComm::expandMultiAgingSteps(down, params, option)),
              (QStringList{"0:10", "0:10", "20:3", "40:-3", "60:-10"}));
}

TEST(MultiAging, StepBlocksCarryOnlyTheServosWhoseValueChanged)
{
    const QList<QvxComm::MultiAgingItem> items{{1, 116, 4, 0x800}, {2, 104, 2, -1}, {3, 65, 1, 7}};
    EXPECT_EQ(hexOf(QvxComm::multiAgingBlock(items, std::nullopt, false)),
              "01 74 00 04 00 00 08 00 00 02 68 00 02 00 FF FF 03 41 00 01 00 07");
    EXPECT_EQ(hexOf(QvxComm::multiAgingBlock(items, std::nullopt, true)), "01 00 08 00 00 02 FF FF 03 07");
    QList<QvxComm::MultiAgingItem> last = items;
    last[1].value = 5;
    EXPECT_EQ(hexOf(QvxComm::multiAgingBlock(items, last, true)), "02 FF FF");
    EXPECT_TRUE(QvxComm::multiAgingBlock(items, items, false).isEmpty());
}

TEST(MultiAging, SyncOrBulkStepsOnTheBus)
{
    struct Case
    {
        const char *name;
        int secondGoalAddress;
        const char *instruction;
        QStringList blocks;
    };
    const Case cases[] = {
        {"shared goal item: SYNC_WRITE", 116, "SYNC_WRITE",
         {"74 00 04 00 01 00 08 00 00 02 00 08 00 00", "74 00 04 00 01 14 08 00 00", "74 00 04 00 01 28 08 00 00"}},
        {"goal items differ: BULK_WRITE", 104, "BULK_WRITE",
         {"01 74 00 04 00 00 08 00 00 02 68 00 04 00 00 08 00 00", "01 74 00 04 00 14 08 00 00",
          "01 74 00 04 00 28 08 00 00"}},
    };
    for (const Case &c : cases) {
        Engines b({1, 2});
        ASSERT_TRUE(b.open()) << c.name;
        EngineLog log(*b.port);
        qvx::MultiAgingOption option;
        option.interval = 20;
        option.idCount = 2;
        option.repeat = 1;
        option.writeItems = {{40, 0, {0x800 + 40, 0x800}}};
        option.preWrite = true;
        option.preWriteValue = 45;
        const qint64 start = b.clock.now;
        b.port->startMultiAging({servo(1), servo(2, c.secondGoalAddress)}, option);
        b.port->multiAgingTimer->stop();
        EXPECT_EQ(b.port->agingMode, 2) << c.name;
        // The start reads both present values, then pre-writes 0 and 45 / 20.
        EXPECT_EQ(b.sent(QStringLiteral("READ")), (QStringList{"84 00 04 00", "84 00 04 00"})) << c.name;
        EXPECT_EQ(b.sent(QStringLiteral("WRITE")), (QStringList{"62 00 00", "62 00 02", "62 00 00", "62 00 02"}))
            << c.name;
        const qsizetype before = b.bus.received().size();
        // 1: the start step to both; 2: the same values again, nothing sent;
        // 21: servo 1 half way; 41: the cycle wraps to the repeat cycle's
        // first steps, at the target; 42: the run is complete.
        const qint64 ticks[] = {1, 2, 21, 41, 42};
        for (const qint64 at : ticks) {
            b.clock.now = start + at;
            b.port->onMultiAgingTimer();
        }
        ASSERT_TRUE(b.bus.waitForReceived(int(before) + 3, 5000)) << c.name;
        QTest::qWait(50); // nothing more may come
        EXPECT_EQ(b.sent(QString::fromLatin1(c.instruction), before), c.blocks) << c.name;
        EXPECT_EQ(b.bus.received().size(), before + 3) << c.name;
        EXPECT_EQ(log.seen, (QStringList{"multiAgingCompleted", "multiAgingStopped 0"})) << c.name;
        EXPECT_EQ(b.port->syncMode, c.secondGoalAddress == 116) << c.name;
    }
}

TEST(MultiAging, StartReadFailureEndsTheStartButTheAlertBitDoesNot)
{
    struct Case
    {
        const char *name;
        quint8 error;
        bool silent;
        bool starts;
    };
    const Case cases[] = {
        {"alert bit only", 0x80, false, true},
        {"error number", 0x01, false, false},
        {"no answer", 0, true, false},
    };
    for (const Case &c : cases) {
        Engines b({1, 2});
        ASSERT_TRUE(b.open()) << c.name;
        const quint8 error = c.error;
        const bool silent = c.silent;
        sim::Faults f;
        f.error = error;
        f.silent = silent;
        b.bus.setFaults(2, f);
        EngineLog log(*b.port);
        qvx::MultiAgingOption option;
        option.idCount = 2;
        option.writeItems = {{0, 0, {1, 2}}};
        b.port->startMultiAging({servo(1), servo(2)}, option);
        EXPECT_EQ(b.port->agingMode, c.starts ? 2 : 0) << c.name;
        EXPECT_EQ(b.port->multiAgingTimer->isActive(), c.starts) << c.name;
        EXPECT_EQ(log.seen, c.starts ? QStringList{} : QStringList{"multiAgingStopped 0"}) << c.name;
        b.port->stopMultiAging();
    }
}

TEST(MultiAging, StartsThatCannotRunAreRefusedBeforeTheBus)
{
    struct Case
    {
        const char *name;
        QvxComm::MultiAgingParams params;
        int idCount;
        int interval;
        QList<qvx::MultiAgingWriteItem> items;
        QString reason;
        bool readsFirst; // the profile is only judged once the present values are read
    };
    QvxComm::MultiAgingParams twenty;
    for (int k = 0; k < 20; ++k)
        twenty << servo(1);
    const Case cases[] = {
        {"no servos for the one ID", {}, 1, 20, {{20, 0, {1}}}, "0 servos for idCount 1", false},
        {"fewer servos than idCount", {servo(1)}, 2, 20, {{20, 0, {1, 2}}}, "1 servos for idCount 2", false},
        {"a write item with fewer values", {servo(1), servo(2)}, 2, 20, {{20, 0, {1, 2}}, {20, 0, {1}}},
         "write item 2 has 1 values for idCount 2", false},
        {"interval 0 with a play time", {servo(1)}, 1, 0, {{20, 0, {1}}},
         "interval 0[ms] cannot divide the times of write item 1", false},
        {"interval 0 with a delay time", {servo(1)}, 1, 0, {{0, 20, {1}}},
         "interval 0[ms] cannot divide the times of write item 1", false},
        // A negative play time ends the cycle before it began.
        {"cycle of negative length", {servo(1)}, 1, 20, {{-40, 0, {1}}},
         "the profile's cycle ends before it began or lasts no time", true},
        // Counted, never expanded: ten million steps would take gigabytes.
        {"ten million steps", {servo(1)}, 1, 1, {{10'000'000, 0, {1}}}, "one cycle would take more than 100000 steps",
         false},
        {"the longest play time", {servo(1)}, 1, 1, {{2147483647, 0, {1}}},
         "one cycle would take more than 100000 steps", false},
        {"one step too many", {servo(1)}, 1, 1, {{99'999, 0, {1}}}, "one cycle would take more than 100000 steps",
         false},
        {"more values than the bound", twenty, 20, 1, {{50'000, 0, QList<int>(20, 1)}},
         "one cycle would hold more than 1000000 values (steps times servos)", false},
        {"times beyond the int range", {servo(1)}, 1, 1'000'000'000, {{2'000'000'000, 0, {1}}, {2'000'000'000, 0, {1}}},
         "write item 2 ends beyond 2147483647 ms", false},
    };
    for (const Case &c : cases) {
        Engines b({1, 2});
        ASSERT_TRUE(b.open()) << c.name;
        EngineLog log(*b.port);
        qvx::MultiAgingOption option;
        option.idCount = c.idCount;
        option.interval = c.interval;
        option.writeItems = c.items;
        b.port->startMultiAging(c.params, option);
        EXPECT_EQ(b.port->agingMode, 0) << c.name;
        EXPECT_FALSE(b.port->multiAgingTimer->isActive()) << c.name;
        EXPECT_EQ(log.seen, QStringList{"multiAgingStopped 0"}) << c.name;
        EXPECT_EQ(b.port->multiAgingRefusal, c.reason) << c.name;
        EXPECT_EQ(b.sent(QStringLiteral("READ")).isEmpty(), !c.readsFirst) << c.name;
        EXPECT_TRUE(b.port->multiAgingSteps.isEmpty()) << c.name;
    }

    // The largest cycle the engine expands runs.
    Engines largest;
    ASSERT_TRUE(largest.open());
    qvx::MultiAgingOption bound;
    bound.interval = 1;
    bound.writeItems = {{99'998, 0, {1}}};
    largest.port->startMultiAging({servo(1)}, bound);
    EXPECT_EQ(largest.port->agingMode, 2);
    EXPECT_EQ(largest.port->multiAgingSteps.size(), QvxComm::kMaxMultiAgingSteps);
    EXPECT_TRUE(largest.port->multiAgingRefusal.isEmpty());
    largest.port->stopMultiAging();

    // Interval 0 is fine where nothing is divided by it.
    Engines b;
    ASSERT_TRUE(b.open());
    qvx::MultiAgingOption option;
    option.interval = 0;
    option.writeItems = {{0, 0, {5}}};
    b.port->startMultiAging({servo(1)}, option);
    EXPECT_EQ(b.port->agingMode, 2);
    b.port->stopMultiAging();
}

TEST(MotionAging, StepsWaitForTheMotionAndTheDwellThenStopAfterTheLastCycle)
{
    Engines b({1, 2});
    ASSERT_TRUE(b.open());
    EngineLog log(*b.port);
    QStringList logs;
    QObject::connect(b.port.get(), &QvxComm::logMessage, [&](const QString &m) {
        if (m.startsWith(QStringLiteral("sendMotionData")))
            logs << m;
    });
    qvx::MotionAgingOption option;
    option.repeat = 1;
    option.steps = {{{{1, 1000, 50, 5}, {2, 2000, 60, 6}}, 25}, {{{1, 0, 70, 7}, {2, 10, 80, 8}}, 0}};
    b.port->startMotionAging(option);
    b.port->motionAgingTimer->stop();
    EXPECT_EQ(b.port->agingMode, 3);
    EXPECT_EQ(b.clock.slept, 10);
    // Phase 0, dwell 25 ms (14 ms: not yet; 28 ms: over), the second step;
    // phase 0 without dwell, the first step again; then the end.
    const int gaps[] = {10, 10, 14, 14, 10, 10, 10, 10, 10};
    for (const int gap : gaps) {
        b.clock.advance(gap);
        b.port->onMotionAgingTimer();
    }
    const QString first = "6C 00 0C 00 01 05 00 00 00 32 00 00 00 E8 03 00 00 02 06 00 00 00 3C 00 00 00 D0 07 00 00";
    const QString second = "6C 00 0C 00 01 07 00 00 00 46 00 00 00 00 00 00 00 02 08 00 00 00 50 00 00 00 0A 00 00 00";
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.sent(QStringLiteral("SYNC_WRITE")).size() >= 3; }, 5000));
    EXPECT_EQ(b.sent(QStringLiteral("SYNC_WRITE")), (QStringList{first, second, first}));
    EXPECT_EQ(log.seen, QStringList{"motionAgingStopped 0"});
    EXPECT_EQ(logs.size(), 2);
    EXPECT_EQ(logs.value(0), QStringLiteral("sendMotionData : 10")); // 10 ms after the dwell's last tick
    EXPECT_EQ(b.clock.slept, 30);
    // Each wait for the motion asked the servos of the first step.
    EXPECT_EQ(b.sent(QStringLiteral("BULK_READ")).value(0), QStringLiteral("01 7B 00 01 00 02 7B 00 01 00"));
}

TEST(MotionAging, MovingServosHoldTheStep)
{
    Engines b;
    ASSERT_TRUE(b.open());
    b.bus.setMemory(1, 123, fromHex("02"));
    qvx::MotionAgingOption option;
    option.steps = {{{{1, 100, 1, 1}}, 0}, {{{1, 200, 1, 1}}, 0}};
    b.port->startMotionAging(option);
    b.port->motionAgingTimer->stop();
    for (int i = 0; i < 3; ++i) {
        b.clock.advance(10);
        b.port->onMotionAgingTimer();
    }
    EXPECT_EQ(b.port->motionPhase, 0);
    b.bus.setMemory(1, 123, fromHex("00"));
    b.clock.advance(10);
    b.port->onMotionAgingTimer();
    b.clock.advance(10);
    b.port->onMotionAgingTimer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.sent(QStringLiteral("SYNC_WRITE")).size() >= 2; }, 5000));
    EXPECT_EQ(b.port->stepCounter, 1);
    b.port->stopMotionAging();
    EXPECT_EQ(b.port->agingMode, 0);
}

TEST(MotionAging, OtherAddressesTakeThreeWritesAndNoStepsIsRefused)
{
    Engines b({1});
    ASSERT_TRUE(b.open());
    b.port->motionOption.profileAccelerationAddress = 108;
    b.port->motionOption.profileVelocityAddress = 120;
    b.port->motionOption.goalPositionAddress = 116;
    b.port->sendMotionData({{{1, 0x100, 0x20, 0x3}}, 0});
    ASSERT_TRUE(b.bus.waitForReceived(3, 5000));
    EXPECT_EQ(b.sent(QStringLiteral("SYNC_WRITE")),
              (QStringList{"6C 00 04 00 01 03 00 00 00", "78 00 04 00 01 20 00 00 00", "74 00 04 00 01 00 01 00 00"}));
    b.port->sendMotionData({{}, 0}); // no targets: nothing to send, the pause all the same
    EXPECT_EQ(b.clock.slept, 20);

    EngineLog log(*b.port);
    b.port->startMotionAging({});
    EXPECT_EQ(b.port->agingMode, 0);
    EXPECT_EQ(log.seen, QStringList{"motionAgingStopped 0"});
}

TEST(AgingEngines, OneAtATime)
{
    Engines b;
    ASSERT_TRUE(b.open());
    b.port->startAging(1, 65, 1, 0, points({{0, 1}, {100, 0}}), points({{0, 1}, {100, 0}}));
    ASSERT_EQ(b.port->agingMode, 1);
    EngineLog log(*b.port);
    qvx::MultiAgingOption option;
    option.writeItems = {{0, 0, {5}}};
    b.port->startMultiAging({servo(1)}, option);
    qvx::MotionAgingOption motion;
    motion.steps = {{{{1, 1, 1, 1}}, 0}};
    b.port->startMotionAging(motion);
    b.port->startAging(1, 116, 4, 0, {}, {}); // refused inputs, but another engine runs: no signal either
    b.port->stopMultiAging();
    b.port->stopMotionAging();
    EXPECT_EQ(b.port->agingMode, 1);
    EXPECT_TRUE(log.seen.isEmpty());
    EXPECT_TRUE(b.bus.received().isEmpty());
    b.port->disconnectQvx();
    EXPECT_EQ(log.seen, QStringList{"agingStopped"});
}

// The real timers, on this thread's event loop, against the bus.
TEST(AgingEngines, RealTimersRunEachEngineToItsEnd)
{
    PortOnBus b;
    b.addServo(1);
    b.addServo(2);
    b.port->setTimeout(kSlackMs);
    ASSERT_TRUE(b.open());
    EngineLog log(*b.port);

    b.port->startAging(1, 65, 1, 2, points({{0, 1}, {300, 2}, {600, 3}}), points({{0, 4}, {300, 5}, {600, 6}}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.seen.contains(QStringLiteral("agingStopped")); }, 20000));
    EXPECT_EQ(log.seen, (QStringList{"agingCompleted", "agingStopped"}));
    QList<QByteArray> writes;
    for (const sim::Instruction &i : b.bus.received()) {
        if (i.name() == QStringLiteral("WRITE"))
            writes << i.params;
    }
    ASSERT_FALSE(writes.isEmpty());
    EXPECT_EQ(writes.first(), fromHex("41 00 01"));
    EXPECT_EQ(writes.last(), fromHex("41 00 04")); // the end wraps to the repeat cycle's first point

    log.seen.clear();
    qvx::MultiAgingOption option;
    option.idCount = 2;
    option.repeat = 2;
    option.writeItems = {{40, 20, {100, 200}}, {40, 0, {0, 0}}};
    b.port->startMultiAging({servo(1), servo(2)}, option);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !log.seen.isEmpty(); }, 20000));
    EXPECT_EQ(log.seen, (QStringList{"multiAgingCompleted", "multiAgingStopped 0"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return syncWritesAt(b.bus, 116) >= 2; }, 5000)); // steps to Goal Position

    log.seen.clear();
    qvx::MotionAgingOption motion;
    motion.repeat = 2;
    motion.steps = {{{{1, 10, 1, 1}, {2, 20, 1, 1}}, 20}, {{{1, 30, 1, 1}, {2, 40, 1, 1}}, 0}};
    b.port->startMotionAging(motion);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !log.seen.isEmpty(); }, 20000));
    EXPECT_EQ(log.seen, QStringList{"motionAgingStopped 0"});
    // Two cycles of two steps, and the first step of the next cycle.
    EXPECT_TRUE(QTest::qWaitFor([&] { return syncWritesAt(b.bus, 108) >= 5; }, 5000));
    QTest::qWait(50);
    EXPECT_EQ(syncWritesAt(b.bus, 108), 5);
}
