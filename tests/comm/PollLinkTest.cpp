// The polling readers of the serial transport when their port goes away: the
// poll that was waiting ends at once, the loss is reported once, the dead port
// is closed and the thread stays idle while the port is gone, and a later tick
// opens the port again once the device is back.
//
// The transport opens a symbolic link that the test points at a simulated
// bus. A pulled adapter removes its device node and hangs up the line: the
// test removes the link and hangs up the bus. The device comes back as a new
// simulated bus under the same name: the link is pointed at it. (A
// pseudo-terminal whose other end has closed cannot come back, and its number
// may go to another program's terminal, which a reopen by that number would
// reach.)
#include "comm/CommResult.h"
#include "comm/QvxPort.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimPackets.h"
#include "tests/support/CaseTable.h"
#include "tests/support/ThreadCpu.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <ostream>
#include <thread>
#include <unistd.h>

namespace {

enum class Reader { Update, Graph, MultiGraph };
enum class Loss { MidWait, WhileIdle };

struct PollLinkCase
{
    const char *what;
    Reader reader;
    Loss loss;
    bool comesBack;
};
void PrintTo(const PollLinkCase &c, std::ostream *os)
{
    *os << c.what;
}

// Every poll the transport reported, in order.
struct Poll
{
    int result;
    qint64 atMs; // on the fixture's clock
};

// A serial transport that polls a servo behind a port name the test can take
// away and bring back.
struct PolledPort
{
    QTemporaryDir dir;
    QString name;
    std::vector<std::unique_ptr<sim::SimBus>> buses; // the last one is plugged in
    QvxPort port{true};
    QElapsedTimer clock;
    QList<Poll> polls;
    QStringList lostReports;
    int closedSignals = 0;
    int openSucceeded = 0;
    int openFailed = 0;

    PolledPort()
    {
        static std::atomic<int> serial{0};
        // Unique by its file name too: the port's lock file is named after it.
        name = dir.filePath(QStringLiteral("zephlet-poll-%1-%2").arg(::getpid()).arg(serial++));
        clock.start();
        port.setTimeout(sim::kReplySlackMs);
        const auto poll = [this](int result) { polls << Poll{result, clock.elapsed()}; };
        QObject::connect(&port, &QvxComm::updateCompleted,
                         [poll](int result, uchar, ushort, const QByteArray &, uchar, qlonglong) { poll(result); });
        QObject::connect(&port, &QvxComm::graphReadCompleted,
                         [poll](int result, uchar, ushort, ushort, const QByteArray &, uchar, qlonglong) {
                             poll(result);
                         });
        QObject::connect(&port, &QvxComm::multiGraphReadCompleted,
                         [poll](int result, const qvx::MultiGraphReadResults &, qlonglong) { poll(result); });
        QObject::connect(&port, &QvxComm::logMessage, [this](const QString &m) {
            if (m.startsWith(QStringLiteral("Port lost")))
                lostReports << m;
        });
        QObject::connect(&port, &QvxComm::closed, [this] { ++closedSignals; });
        QObject::connect(&port, &QvxComm::openSucceed, [this](const QString &, int) { ++openSucceeded; });
        QObject::connect(&port, &QvxComm::openFailed, [this](const QString &, int) { ++openFailed; });
    }

    sim::SimBus &bus() { return *buses.back(); }

    // A new device (a protocol 2.0 servo at ID 1) under the port name.
    bool plug()
    {
        buses.push_back(std::make_unique<sim::SimBus>());
        bus().addDevice(sim::Device::protocol2(1, 1020, 53));
        bus().setMemory(1, 132, sim::fromHex("00 08 00 00"));
        QFile::remove(name);
        return bus().isOpen() && QFile::link(bus().portName(), name);
    }

    // The adapter is pulled: its device node goes, and the line hangs up.
    // Safe from another thread: it touches only the file system and the bus.
    void pull()
    {
        QFile::remove(name);
        bus().hangUp();
    }

    void start(Reader reader)
    {
        switch (reader) {
        case Reader::Update: port.startUpdate(1, 4, kIntervalMs); break;
        case Reader::Graph: port.startGraph(1, 132, 4, kIntervalMs); break;
        case Reader::MultiGraph: {
            qvx::MultiGraphReadParams params;
            params[1] = qvx::MultiGraphReadParam{1, 132, 135, 4};
            port.startMultiGraph(params, kIntervalMs);
            break;
        }
        }
    }

    int goodPollsSince(qsizetype from) const
    {
        int n = 0;
        for (qsizetype i = from; i < polls.size(); ++i)
            n += polls.at(i).result == COMM_OK ? 1 : 0;
        return n;
    }

    static constexpr int kIntervalMs = 10;
};

class PollLink : public ::testing::TestWithParam<PollLinkCase>
{
};

} // namespace

TEST_P(PollLink, ReportsOnceClosesStaysIdleAndReopens)
{
    const PollLinkCase &c = GetParam();
    PolledPort p;
    ASSERT_TRUE(p.plug()) << p.bus().errorString().toStdString();
    ASSERT_TRUE(p.port.open(p.name, 57600));
    p.start(c.reader);
    ASSERT_TRUE(QTest::qWaitFor([&] { return p.goodPollsSince(0) >= 2; }, 10000)) << "the poll reads at first";

    const qsizetype before = p.polls.size();
    std::atomic<qint64> lostAtMs{-1};
    std::thread puller;
    if (c.loss == Loss::MidWait) {
        // Only the loss can end this wait in time: the servo is silent and the
        // reply window a minute long.
        sim::Faults silent;
        silent.silent = true;
        p.bus().setFaults(1, silent);
        p.port.setTimeout(60000);
        const int sent = int(p.bus().received().size());
        puller = std::thread([&] {
            if (p.bus().waitForReceived(sent + 1, 10000)) { // the poll's request went out
                lostAtMs = p.clock.elapsed();
                p.pull();
            }
        });
        const bool ended = QTest::qWaitFor([&] { return p.polls.size() > before; }, 10000);
        puller.join();
        ASSERT_GE(lostAtMs.load(), 0) << "no request of the poll reached the bus";
        ASSERT_TRUE(ended) << "the waiting poll did not end";
        EXPECT_NE(p.polls.at(before).result, COMM_OK);
        EXPECT_LT(p.polls.at(before).atMs - lostAtMs, 1000) << "ms the poll waited on after the loss";
    } else {
        lostAtMs = p.clock.elapsed();
        p.pull(); // between two polls: nothing waits on the line
    }

    ASSERT_TRUE(QTest::qWaitFor([&] { return !p.port.isOpen(); }, 2000)) << "the dead port was not closed";
    EXPECT_LT(p.clock.elapsed() - lostAtMs, 1500) << "ms until the dead port was closed";

    // The link stays down for a second, the event loop running the poll's timer.
    const double cpuBefore = threadCpuSeconds();
    QElapsedTimer down;
    down.start();
    QTest::qWait(1000);
    const double cpu = threadCpuSeconds() - cpuBefore;
    EXPECT_LT(cpu, 0.2 * double(down.elapsed()) / 1000.0) << "CPU seconds while the port was gone";
    EXPECT_EQ(p.lostReports.size(), 1) << p.lostReports.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(p.closedSignals, 1);
    EXPECT_FALSE(p.port.isOpen());
    EXPECT_EQ(p.goodPollsSince(before), 0);
    // Each try to open writes and syncs a lock file: none while the device is missing.
    EXPECT_EQ(p.openFailed, 0);

    if (!c.comesBack)
        return;
    const int opensBefore = p.openSucceeded;
    const qsizetype backFrom = p.polls.size();
    ASSERT_TRUE(p.plug());
    p.port.setTimeout(sim::kReplySlackMs);
    // The lost port stopped the update and graph timers; the multi-graph's
    // timer runs on through a lost or closed link, and its next tick opens
    // the port again.
    if (c.reader != Reader::MultiGraph)
        p.start(c.reader);
    ASSERT_TRUE(QTest::qWaitFor([&] { return p.goodPollsSince(backFrom) >= 2; }, 10000))
        << "no poll read after the device came back";
    EXPECT_TRUE(p.port.isOpen());
    EXPECT_EQ(p.openSucceeded, opensBefore + 1);
    EXPECT_EQ(p.lostReports.size(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, PollLink,
    ::testing::Values(PollLinkCase{"update, lost mid-wait", Reader::Update, Loss::MidWait, false},
                      PollLinkCase{"update, lost while idle", Reader::Update, Loss::WhileIdle, false},
                      PollLinkCase{"update, port back", Reader::Update, Loss::WhileIdle, true},
                      PollLinkCase{"graph, lost mid-wait", Reader::Graph, Loss::MidWait, false},
                      PollLinkCase{"graph, lost while idle", Reader::Graph, Loss::WhileIdle, false},
                      PollLinkCase{"graph, port back", Reader::Graph, Loss::WhileIdle, true},
                      PollLinkCase{"multi-graph, lost mid-wait", Reader::MultiGraph, Loss::MidWait, false},
                      PollLinkCase{"multi-graph, lost while idle", Reader::MultiGraph, Loss::WhileIdle, false},
                      PollLinkCase{"multi-graph, port back", Reader::MultiGraph, Loss::WhileIdle, true},
                      PollLinkCase{"multi-graph, port back after a loss mid-wait", Reader::MultiGraph,
                                   Loss::MidWait, true}),
    CaseNamedByWhat());
