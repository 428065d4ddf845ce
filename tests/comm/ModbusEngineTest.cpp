// The reading and aging engines on the Modbus transport, through the same
// slots as on the serial one, against the simulated Modbus servo: the tick
// rule in front of the chunked polls, a tick that comes while a poll waits,
// the multi-graph that never starts there, and aging by register writes.
#include "ManualClock.h"
#include "ModbusOnPeer.h"

#include <QTimer>

using namespace modbus_test;

namespace {

struct EnginesOnServo : OnServo
{
    ManualClock clock;
    EnginesOnServo() { modbus->setEngineClock(&clock); }
};

} // namespace

TEST(ModbusEngines, ReadersKeepTheTickRuleAndTimeTheirReadsByTheEngineClock)
{
    EnginesOnServo b;
    ASSERT_TRUE(b.open());
    b.servo.setRegister(5, 0x1234);
    QList<qint64> ticks;
    QObject::connect(b.modbus.get(), &QvxComm::graphReadCompleted,
                     [&](int, uchar, ushort, ushort, const QByteArray &, uchar, qlonglong tick) { ticks << tick; });
    b.modbus->startGraph(kId, 10, 2, 100);
    b.modbus->stopGraph();
    const int gaps[] = {0, 151, 151, 150};
    for (const int gap : gaps) {
        b.clock.advance(gap);
        b.modbus->onGraphTimer();
    }
    // The second tick is late and skipped; the third reads after the skip, the fourth on time.
    EXPECT_EQ(ticks.size(), 3);
    EXPECT_TRUE(b.record.only(QStringLiteral("graph")).value(0).startsWith(QStringLiteral("graph ")));
    EXPECT_TRUE(b.record.only(QStringLiteral("graph")).value(0).contains(QStringLiteral(" 1 10 ")));
    EXPECT_EQ(ticks.value(2), b.clock.now);

    b.modbus->startUpdate(kId, 4, 100);
    b.modbus->stopUpdate();
    b.modbus->busy = true;
    b.modbus->onUpdateTimer();
    EXPECT_TRUE(b.record.only(QStringLiteral("update")).isEmpty());
    b.modbus->busy = false;
    b.clock.advance(100);
    b.modbus->onUpdateTimer();
    EXPECT_EQ(b.record.only(QStringLiteral("update")).size(), 1);
}

// A Modbus poll waits without running the thread's events: the reading
// timers cannot tick into a waiting poll.
TEST(ModbusEngines, APollWaitsWithoutRunningTheReadingTimers)
{
    OnServo b;
    b.fault([](sim::ModbusFaults &f) { f.readDelayMs = 200; }); // the poll waits out its whole window
    ASSERT_TRUE(b.open());
    int graphTicks = 0;
    QObject::connect(b.modbus->graphTimer, &QTimer::timeout, [&] { ++graphTicks; });
    b.modbus->startGraph(kId, 0, 2, 10);
    b.modbus->readUpdate(kId, 2);
    EXPECT_EQ(graphTicks, 0);
    b.modbus->stopGraph();
    EXPECT_TRUE(b.record.only(QStringLiteral("graph")).isEmpty());
    EXPECT_EQ(b.record.only(QStringLiteral("update")).size(), 1);
    EXPECT_FALSE(b.modbus->busy);
}

TEST(ModbusEngines, MultiGraphDoesNotStartAndAgingWritesRegisters)
{
    EnginesOnServo b;
    ASSERT_TRUE(b.open());
    qvx::MultiGraphReadParams params;
    params[1] = qvx::MultiGraphReadParam{1, 0, 3, 4};
    b.modbus->startMultiGraph(params, 10);
    EXPECT_FALSE(b.modbus->multiGraphTimer->isActive());

    const qint64 start = b.clock.now;
    const QvxComm::AgingDatas points{{0, 100}, {500, 200}, {1000, 300}};
    b.modbus->startAging(kId, 20, 2, 1, points, points);
    b.modbus->agingTimer->stop();
    EXPECT_EQ(b.modbus->agingMode, 1);
    b.clock.now = start + 1;
    b.modbus->onAgingTimer();
    EXPECT_TRUE(QTest::qWaitFor([&] { return b.servo.reg(10) == 100; }, 2000));
    b.clock.now = start + 501;
    b.modbus->onAgingTimer();
    EXPECT_TRUE(QTest::qWaitFor([&] { return b.servo.reg(10) == 200; }, 2000));
    b.clock.now = start + 1001; // the last point gives way to the next cycle's first
    b.modbus->onAgingTimer();
    EXPECT_TRUE(QTest::qWaitFor([&] { return b.servo.reg(10) == 100; }, 2000));
    b.clock.now = start + 1002;
    b.modbus->onAgingTimer();
    EXPECT_EQ(b.modbus->agingMode, 0);
    EXPECT_TRUE(b.record.only(QStringLiteral("agingStopped")).size() == 1);

    // Multi-aging reads the present values; its sync writes are not carried.
    qvx::MultiAgingOption option;
    option.writeItems = {{0, 0, {7}}};
    // A present-value read the loaded machine let time out ends the start: try again.
    for (int attempt = 0; attempt < 5 && b.modbus->agingMode == 0; ++attempt) {
        QTest::qWait(100 * attempt);
        b.servo.clearRequests();
        b.modbus->startMultiAging({{kId, 20, 2, 22, 2, 0}}, option);
    }
    EXPECT_EQ(b.modbus->agingMode, 2);
    b.modbus->multiAgingTimer->stop();
    b.clock.now += 1;
    b.modbus->onMultiAgingTimer();
    b.modbus->stopMultiAging();
    const QList<sim::ModbusRequest> requests = b.servo.requests();
    ASSERT_FALSE(requests.isEmpty());
    EXPECT_EQ(requests.first().function, 3);
    EXPECT_EQ(requests.first().start, 10);
    for (const sim::ModbusRequest &r : requests)
        EXPECT_EQ(r.function, 3);
}
