// The update, graph and multi-graph readers on the serial transport against
// the simulated bus: the shared tick rule (ticks called at hand-set times),
// what each reader reads, the statistics, the link check's reopen, and a few
// runs of the real timers.
#include "ManualClock.h"
#include "PortOnBus.h"

#include "comm/QvxTcpClient.h"

#include "tests/support/QtPrinters.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using sim::fromHex;

namespace {

// The reads that reached the listener, as "update <id> <length>",
// "graph <id> <address> <length>" or "multi <result> <ids...>".
struct ReadLog
{
    QStringList reads;
    QList<qint64> ticks;
    explicit ReadLog(QvxComm &comm)
    {
        QObject::connect(&comm, &QvxComm::updateCompleted,
                         [this](int, uchar id, ushort length, const QByteArray &, uchar, qlonglong tick) {
                             reads << QStringLiteral("update %1 %2").arg(id).arg(length);
                             ticks << tick;
                         });
        QObject::connect(&comm, &QvxComm::graphReadCompleted,
                         [this](int, uchar id, ushort address, ushort length, const QByteArray &, uchar,
                                qlonglong tick) {
                             reads << QStringLiteral("graph %1 %2 %3").arg(id).arg(address).arg(length);
                             ticks << tick;
                         });
        QObject::connect(&comm, &QvxComm::multiGraphReadCompleted,
                         [this](int result, const qvx::MultiGraphReadResults &results, qlonglong tick) {
                             QString line = QStringLiteral("multi %1").arg(result);
                             for (const qvx::MultiGraphReadResult &r : results)
                                 line += QStringLiteral(" %1").arg(r.id);
                             reads << line;
                             ticks << tick;
                         });
    }
};

// Added to every reply window: the machine is loaded.
constexpr int kSlackMs = 150;

// A serial transport on the bus with a servo at ID 1, open, on a hand clock.
struct Readers : PortOnBus
{
    ManualClock clock;
    Readers()
    {
        addServo(1);
        port->setEngineClock(&clock);
        port->setTimeout(kSlackMs);
    }
};

enum class Reader { Update, Graph, MultiGraph };

void startReader(QvxPort &port, Reader reader, int interval)
{
    switch (reader) {
    case Reader::Update: port.startUpdate(1, 4, interval); port.stopUpdate(); break;
    case Reader::Graph: port.startGraph(1, 132, 4, interval); port.stopGraph(); break;
    case Reader::MultiGraph: {
        qvx::MultiGraphReadParams params;
        params[1] = qvx::MultiGraphReadParam{1, 132, 135, 4};
        port.startMultiGraph(params, interval);
        port.stopMultiGraph();
        break;
    }
    }
}

void tick(QvxPort &port, Reader reader)
{
    switch (reader) {
    case Reader::Update: port.onUpdateTimer(); break;
    case Reader::Graph: port.onGraphTimer(); break;
    case Reader::MultiGraph: port.onMultiGraphTimer(); break;
    }
}

} // namespace

// The timers are started and stopped again at once: the rule reads the
// timer's interval, and the test calls every tick itself.
TEST(TickRule, LateAndBusyTicksAreSkippedOnceEach)
{
    struct Step
    {
        int gap; // ms after the previous tick
        bool busy;
        bool reads;
    };
    struct Case
    {
        const char *name;
        Reader reader;
        QList<Step> steps;
    };
    const Case cases[] = {
        {"graph: the first tick reads, 150 ms reads, 151 ms is late", Reader::Graph,
         {{0, false, true}, {150, false, true}, {151, false, false}, {100, false, true}}},
        {"graph: after a late skip the next tick reads however late", Reader::Graph,
         {{0, false, true}, {500, false, false}, {500, false, true}, {500, false, false}}},
        {"update: 110 ms reads, 111 ms is late", Reader::Update,
         {{0, false, true}, {110, false, true}, {111, false, false}, {111, false, true}}},
        {"multi-graph: the graph's factor", Reader::MultiGraph,
         {{0, false, true}, {150, false, true}, {151, false, false}, {151, false, true}}},
        {"busy: no tick reads; a late one still marks itself late", Reader::Graph,
         {{0, false, true}, {100, true, false}, {200, true, false}, {200, false, true}}},
        {"busy clears: the next tick reads unless it is late itself", Reader::Graph,
         {{0, false, true}, {100, true, false}, {200, false, false}, {100, false, true}}},
    };
    for (const Case &c : cases) {
        Readers b;
        ASSERT_TRUE(b.open()) << c.name;
        startReader(*b.port, c.reader, 100);
        ReadLog log(*b.port);
        QList<bool> reads;
        for (const Step &s : c.steps) {
            b.clock.advance(s.gap);
            b.port->busy = s.busy;
            const qsizetype before = log.reads.size();
            tick(*b.port, c.reader);
            reads << (log.reads.size() > before);
        }
        QList<bool> expected;
        for (const Step &s : c.steps)
            expected << s.reads;
        EXPECT_EQ(reads, expected) << c.name;
    }
}

TEST(TickRule, OneTickStateForEveryReader)
{
    Readers b;
    ASSERT_TRUE(b.open());
    b.port->startGraph(1, 132, 4, 100);
    b.port->stopGraph();
    b.port->startUpdate(1, 4, 100);
    b.port->stopUpdate();
    ReadLog log(*b.port);
    b.port->onGraphTimer();  // first tick
    b.clock.advance(120);
    b.port->onUpdateTimer(); // 120 ms after the graph's tick: late for the update reader
    b.clock.advance(10);
    b.port->onGraphTimer();  // reads: the late flag is set
    EXPECT_EQ(log.reads, (QStringList{"graph 1 132 4", "graph 1 132 4"}));
}

TEST(TickRule, LastStartSetsTheTargetOfBothReaders)
{
    Readers b;
    b.addServo(5);
    b.bus.setMemory(5, 120, fromHex("0A 0B 0C"));
    ASSERT_TRUE(b.open());
    b.port->startGraph(3, 120, 8, 50);
    b.port->startUpdate(5, 40, 100);
    b.port->stopGraph();
    b.port->stopUpdate();
    ReadLog log(*b.port);
    QByteArray data;
    QObject::connect(b.port.get(), &QvxComm::graphReadCompleted,
                     [&](int, uchar, ushort, ushort, const QByteArray &d, uchar, qlonglong) { data = d; });
    b.port->onGraphTimer();
    EXPECT_EQ(log.reads, QStringList{"graph 5 120 40"});
    EXPECT_EQ(data.left(3), fromHex("0A 0B 0C"));
    EXPECT_EQ(log.ticks, QList<qint64>{b.clock.now});

    // Stopping keeps the targets and the statistics.
    const qint64 lastPoll = b.port->lastPollTick;
    b.port->stopGraph();
    EXPECT_EQ(b.port->targetId, 5);
    EXPECT_EQ(b.port->graphAddress, 120);
    EXPECT_EQ(b.port->pollLength, 40);
    EXPECT_EQ(b.port->lastPollTick, lastPoll);
}

TEST(TickRule, StartClearsTheTickStateAndSetsTheInterval)
{
    Readers b;
    ASSERT_TRUE(b.open());
    b.port->lastTimerTick = 5;
    b.port->lateTick = true;
    b.port->lastPollTick = 7;
    b.port->startUpdate(1, 4, 250);
    EXPECT_EQ(b.port->updateTimer->interval(), 250);
    EXPECT_TRUE(b.port->updateTimer->isActive());
    EXPECT_EQ(b.port->lastTimerTick, 0);
    EXPECT_FALSE(b.port->lateTick);
    EXPECT_EQ(b.port->lastPollTick, 0);
    b.port->setUpdateInterval(40);
    EXPECT_EQ(b.port->updateTimer->interval(), 40);
    EXPECT_TRUE(b.port->updateTimer->timerType() == Qt::PreciseTimer);
    b.port->stopUpdate();
    EXPECT_FALSE(b.port->updateTimer->isActive());
}

// A 0 ms timer fires on every turn of the event loop: a reader on it, or on a
// negative interval, would keep a core busy polling the bus.
TEST(TickRule, IntervalsNotAboveZeroAreRefusedWithAMessage)
{
    Readers b;
    ASSERT_TRUE(b.open());
    for (const int interval : {0, -5}) {
        b.logs.clear();
        b.port->startGraph(1, 132, 4, interval);
        b.port->startUpdate(1, 4, interval);
        EXPECT_FALSE(b.port->graphTimer->isActive()) << interval;
        EXPECT_FALSE(b.port->updateTimer->isActive()) << interval;
        EXPECT_EQ(b.logs, (QStringList{QStringLiteral("Graph not started: interval %1[ms] is not above 0").arg(interval),
                                       QStringLiteral("Update not started: interval %1[ms] is not above 0").arg(interval)}));
    }
    b.port->startUpdate(1, 4, 100);
    b.logs.clear();
    b.port->setUpdateInterval(0);
    EXPECT_EQ(b.port->updateTimer->interval(), 100);
    EXPECT_EQ(b.logs, QStringList{"Update interval not changed: 0[ms] is not above 0"});
    b.port->stopUpdate();
}

TEST(PollStatistics, GapsOfTheReadsOnTheEngineClock)
{
    Readers b;
    ASSERT_TRUE(b.open());
    b.port->startUpdate(1, 2, 100);
    b.port->stopUpdate();
    const int gaps[] = {10, 12, 9};
    b.port->onUpdateTimer();
    for (const int gap : gaps) {
        b.clock.advance(gap);
        b.port->onUpdateTimer();
    }
    EXPECT_EQ(b.port->pollGaps, (QList<qint64>{10, 12, 9}));
    EXPECT_DOUBLE_EQ(b.port->meanPollPeriod, 31.0 / 3);

    // The 101st gap pushes out the oldest.
    for (int i = 0; i < 98; ++i) {
        b.clock.advance(20);
        b.port->measureUpdatePeriod();
    }
    EXPECT_EQ(b.port->pollGaps.size(), 100);
    EXPECT_EQ(b.port->pollGaps.first(), 12);
    EXPECT_DOUBLE_EQ(b.port->meanPollPeriod, (12 + 9 + 98 * 20) / 100.0);
}

TEST(MultiGraphReader, TicksReadEveryServoInIdOrderAndReportFailures)
{
    Readers b;
    b.addServo(3);
    ASSERT_TRUE(b.open());
    qvx::MultiGraphReadParams params;
    params[3] = qvx::MultiGraphReadParam{3, 132, 135, 4};
    params[1] = qvx::MultiGraphReadParam{1, 128, 135, 8};
    b.port->startMultiGraph(params, 20);
    b.port->stopMultiGraph();
    ReadLog log(*b.port);
    b.port->onMultiGraphTimer();
    EXPECT_EQ(b.bus.received().last().name(), QStringLiteral("BULK_READ"));
    EXPECT_EQ(b.bus.received().last().params, fromHex("01 80 00 08 00 03 84 00 04 00"));

    // A servo that stops answering: the read still reports, with its failure.
    b.fault(3, [](sim::Faults &f) { f.silent = true; });
    b.clock.advance(20);
    b.port->onMultiGraphTimer();
    EXPECT_EQ(log.reads, (QStringList{"multi 0 1 3", QStringLiteral("multi %1 1").arg(COMM_RX_TIMEOUT)}));
    EXPECT_EQ(log.ticks, (QList<qint64>{b.clock.now - 20, b.clock.now}));

    // A restart with the same map reads again at once: the tick state is cleared.
    b.port->stopMultiGraph();
    b.port->lateTick = true;
    b.clock.advance(1000);
    b.port->startMultiGraph(params, 20, true);
    b.port->stopMultiGraph();
    b.port->onMultiGraphTimer();
    EXPECT_EQ(log.reads.size(), 3);
    EXPECT_EQ(b.bus.received().last().name(), QStringLiteral("FAST_BULK_READ"));
}

// A poll that finds the port closed reopens it; the reopen begins with a
// close, and the readers must keep ticking after it.
TEST(ReadingTimers, ReopenByThePollLeavesTheReadersRunning)
{
    Readers b;
    ASSERT_TRUE(b.open());
    b.port->startGraph(1, 132, 4, 100000);
    b.port->startUpdate(1, 4, 100000);
    qvx::MultiGraphReadParams params;
    params[1] = qvx::MultiGraphReadParam{1, 132, 135, 4};
    b.port->startMultiGraph(params, 100000);
    b.port->serial_port->close(); // the link went away under the readers
    ReadLog log(*b.port);
    b.port->onGraphTimer();
    EXPECT_EQ(log.reads, QStringList{"graph 1 132 4"});
    EXPECT_TRUE(b.port->isOpen());
    EXPECT_TRUE(b.port->graphTimer->isActive());
    EXPECT_TRUE(b.port->updateTimer->isActive());
    EXPECT_TRUE(b.port->multiGraphTimer->isActive());

    // A port reported lost and not closed yet (no event loop has turned since)
    // is closed and opened afresh by the poll, and the readers run on.
    b.port->handleError(QSerialPort::ResourceError); // stops the update and graph readers
    b.port->startGraph(1, 132, 4, 100000);
    b.port->startUpdate(1, 4, 100000);
    b.clock.advance(100);
    b.port->onGraphTimer();
    EXPECT_EQ(log.reads, (QStringList{"graph 1 132 4", "graph 1 132 4"}));
    EXPECT_TRUE(b.port->isOpen());
    EXPECT_FALSE(b.port->portLost);
    EXPECT_TRUE(b.port->graphTimer->isActive());
    EXPECT_TRUE(b.port->updateTimer->isActive());

    // Also when the reopen fails, or the device is missing: the next tick tries again.
    QTemporaryDir notATerminal;
    for (const QString &name : {notATerminal.path(), QStringLiteral("/dev/zephlet-no-such-port")}) {
        b.port->portName = name;
        b.port->serial_port->close();
        b.clock.advance(100);
        b.port->onUpdateTimer();
        EXPECT_EQ(log.reads.size(), 2) << name.toStdString();
        EXPECT_TRUE(b.port->graphTimer->isActive()) << name.toStdString();
        EXPECT_TRUE(b.port->updateTimer->isActive()) << name.toStdString();
    }

    // The user's own close still stops them.
    b.port->close();
    EXPECT_FALSE(b.port->graphTimer->isActive());
    EXPECT_FALSE(b.port->updateTimer->isActive());
}

TEST(ReadingTimers, ReconnectByTheTcpPollLeavesTheReadersRunning)
{
    QTcpServer stored;
    ASSERT_TRUE(stored.listen(QHostAddress::LocalHost, 0));
    QvxTcpClient client;
    client.setConnectionSetting(QvxComm::KeyNetworkAddress, "127.0.0.1");
    client.setConnectionSetting(QvxComm::KeyNetworkPort, stored.serverPort());
    client.setTimeout(100);
    client.qvx_protocol2->extraLatency = 0; // nobody answers; keep the wait short
    client.startGraph(1, 132, 4, 100000);
    client.startUpdate(1, 4, 100000);
    EXPECT_EQ(client.readUpdate(1, 4), COMM_RX_TIMEOUT); // connected by the poll, then no reply
    EXPECT_TRUE(client.isOpen());
    EXPECT_TRUE(client.graphTimer->isActive());
    EXPECT_TRUE(client.updateTimer->isActive());
    client.close();
    EXPECT_FALSE(client.graphTimer->isActive());
    EXPECT_FALSE(client.updateTimer->isActive());
}

// The real timers, on this thread's event loop, against the bus.
TEST(ReadingTimers, RealTimersReadUntilStopped)
{
    PortOnBus b;
    b.addServo(1);
    b.addServo(2);
    b.port->setTimeout(kSlackMs);
    ASSERT_TRUE(b.open());
    ReadLog log(*b.port);
    b.port->startGraph(1, 132, 4, 20);
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.reads.size() >= 3; }, 10000));
    b.port->stopGraph();
    b.port->startUpdate(2, 8, 20);
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.reads.count(QStringLiteral("update 2 8")) >= 3; }, 10000));
    b.port->stopUpdate();
    qvx::MultiGraphReadParams params;
    params[2] = qvx::MultiGraphReadParam{2, 132, 135, 4};
    params[1] = qvx::MultiGraphReadParam{1, 132, 135, 4};
    b.port->startMultiGraph(params, 20);
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.reads.count(QStringLiteral("multi 0 1 2")) >= 3; }, 10000));
    b.port->stopMultiGraph();
    const qsizetype after = log.reads.size();
    QTest::qWait(100);
    EXPECT_EQ(log.reads.size(), after);
    for (qsizetype i = 1; i < log.ticks.size(); ++i)
        EXPECT_GE(log.ticks[i], log.ticks[i - 1]);
}
