// The serial transport's reads: the polling reads with their link check and
// statistics, the multi-graph read, the whole-table read with the trace for
// exactly one call, and the notifying read.
#include "PortOnBus.h"

#include "platform/OutputSink.h"
#include "tests/support/QtPrinters.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

using sim::fromHex;

namespace {

struct Poll
{
    int result;
    int id;
    int address;
    int length;
    QByteArray data;
    int error;
};

// Every updateCompleted and graphReadCompleted (update reads as address -1).
struct PollLog
{
    QList<Poll> polls;
    QList<qint64> ticks;
    explicit PollLog(QvxPort &port)
    {
        QObject::connect(&port, &QvxComm::updateCompleted,
                         [this](int r, uchar id, ushort length, const QByteArray &d, uchar e, qlonglong tick) {
                             polls << Poll{r, id, -1, length, d, e};
                             ticks << tick;
                         });
        QObject::connect(&port, &QvxComm::graphReadCompleted,
                         [this](int r, uchar id, ushort address, ushort length, const QByteArray &d, uchar e,
                                qlonglong tick) {
                             polls << Poll{r, id, address, length, d, e};
                             ticks << tick;
                         });
    }
};

QByteArray traced(const std::function<void()> &run)
{
    QByteArray out;
    platform::OutputSink::beginCapture(&out);
    run();
    platform::OutputSink::endCapture();
    return out;
}

} // namespace

TEST(PortPoll, ReadsEmitTheirBytesAlsoWhenTheyFail)
{
    enum Fault { None, Silent, Refusing };
    struct Case
    {
        const char *name;
        Fault fault;
        bool graph;
        int result;
        int error;
    };
    const Case cases[] = {
        {"update read", None, false, COMM_OK, 0},
        {"graph read", None, true, COMM_OK, 0},
        {"update read timing out", Silent, false, COMM_RX_TIMEOUT, 0},
        {"graph read timing out", Silent, true, COMM_RX_TIMEOUT, 0},
        {"update read refused", Refusing, false, COMM_OK, 0x04},
        {"graph read refused", Refusing, true, COMM_OK, 0x04},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        b.addServo(1);
        b.bus.setMemory(1, 130, fromHex("01 02 03 04 05 06"));
        ASSERT_TRUE(b.open()) << c.name;
        const auto poll = [&] { return c.graph ? b.port->readGraph(1, 130, 6) : b.port->readUpdate(1, 10); };
        // A good read first: what a failed one hands on must not be its bytes.
        ASSERT_EQ(poll(), COMM_OK) << c.name;
        if (c.fault == Silent)
            b.fault(1, [](sim::Faults &f) { f.silent = true; });
        if (c.fault == Refusing)
            b.fault(1, [](sim::Faults &f) {
                f.error = 0x04;
                f.omitData = true;
            });
        PollLog log(*b.port);
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        const int result = poll();
        EXPECT_EQ(result, c.result) << c.name;
        ASSERT_EQ(log.polls.size(), 1) << c.name;
        const Poll &p = log.polls[0];
        EXPECT_EQ(p.result, c.result) << c.name;
        EXPECT_EQ(p.id, 1) << c.name;
        EXPECT_EQ(p.address, c.graph ? 130 : -1) << c.name;
        EXPECT_EQ(p.length, c.graph ? 6 : 10) << c.name;
        ASSERT_EQ(p.data.size(), c.graph ? 6 : 10) << c.name;
        EXPECT_EQ(p.error, c.error) << c.name;
        if (c.fault == None)
            EXPECT_EQ(p.data, b.bus.memory(1, c.graph ? 130 : 0, c.graph ? 6 : 10)) << c.name;
        else
            EXPECT_EQ(p.data, QByteArray(p.data.size(), '\0')) << c.name << ": no bytes of the read before";
        EXPECT_GE(log.ticks[0], before) << c.name;
    }
}

TEST(PortPoll, LinkCheckReopensOrGivesUpWithoutSignal)
{
    sim::SimBus other; // a second port the serial port may be left on
    QTemporaryDir notATerminal; // there, but no device
    struct Case
    {
        const char *name;
        std::function<void(PortOnBus &)> arrange;
        int result;
        QStringList events;
    };
    const Case cases[] = {
        // The port was named "/dev/pts/N"; QSerialPort calls it "pts/N". That
        // is the same port and must not be reopened at every poll.
        {"open port: nothing to do", [](PortOnBus &b) { b.open(); b.events.clear(); }, COMM_OK, {}},
        {"closed port is reopened", [](PortOnBus &b) { b.open(); b.port->close(); b.events.clear(); }, COMM_OK,
         {"playStopped", "openSucceed 57600"}},
        {"port left on another device is reopened",
         [&other](PortOnBus &b) {
             b.open();
             b.port->serial_port->close();
             b.port->serial_port->setPortName(other.portName());
             b.port->serial_port->open(QIODevice::ReadWrite);
             b.events.clear();
         },
         COMM_OK, {"playStopped", "closed", "openSucceed 57600"}},
        {"closed port that cannot reopen",
         [](PortOnBus &b) {
             b.port->open(QStringLiteral("/dev/null"), 57600); // a device, but no terminal
             b.events.clear();
         },
         COMM_NOT_AVAILABLE, {"playStopped", "openFailed 57600"}},
        {"closed port whose name is no device is not tried",
         [&notATerminal](PortOnBus &b) {
             b.port->open(notATerminal.path(), 57600);
             b.events.clear();
         },
         COMM_NOT_AVAILABLE, {}},
        // A pulled adapter: each try would write and sync a lock file.
        {"closed port whose device is missing is not tried",
         [](PortOnBus &b) {
             b.port->open(QStringLiteral("/dev/zephlet-no-such-port"), 57600);
             b.events.clear();
         },
         COMM_NOT_AVAILABLE, {}},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        b.addServo(1);
        c.arrange(b);
        PollLog log(*b.port);
        EXPECT_EQ(b.port->readUpdate(1, 4), c.result) << c.name;
        EXPECT_EQ(log.polls.size(), c.result == COMM_NOT_AVAILABLE ? 0 : 1) << c.name;
        EXPECT_EQ(b.events, c.events) << c.name;
    }
}

TEST(PortPoll, ReadLongerThanTheReceiveBufferIsRefused)
{
    PortOnBus b;
    b.addServo(1);
    ASSERT_TRUE(b.open());
    PollLog log(*b.port);
    EXPECT_EQ(b.port->readUpdate(1, QvxProtocolComm::kRxBufferSize + 1), COMM_UNSUPPORTED);
    EXPECT_EQ(b.port->readGraph(1, 0, 65535), COMM_UNSUPPORTED);
    EXPECT_TRUE(log.polls.isEmpty());
    EXPECT_EQ(b.port->lastPollTick, 0);
    EXPECT_TRUE(b.bus.received().isEmpty());

    // The whole buffer is still a length a read may ask for (the servo
    // refuses a range beyond its table).
    EXPECT_NE(b.port->readUpdate(1, QvxProtocolComm::kRxBufferSize), COMM_UNSUPPORTED);
    ASSERT_EQ(log.polls.size(), 1);
    EXPECT_EQ(log.polls[0].data.size(), QvxProtocolComm::kRxBufferSize);
}

TEST(PortPoll, StatisticsKeepTheLastHundredGaps)
{
    PortOnBus b;
    b.addServo(1);
    ASSERT_TRUE(b.open());
    EXPECT_EQ(b.port->readUpdate(1, 2), COMM_OK);
    EXPECT_NE(b.port->lastPollTick, 0);
    EXPECT_TRUE(b.port->pollGaps.isEmpty()); // the first read has no gap
    EXPECT_EQ(b.port->readGraph(1, 0, 2), COMM_OK);
    EXPECT_EQ(b.port->pollGaps.size(), 1);

    for (int i = 0; i < 150; ++i)
        b.port->measureUpdatePeriod();
    EXPECT_EQ(b.port->pollGaps.size(), QvxComm::kGapWindow);
    double sum = 0;
    for (const qint64 gap : std::as_const(b.port->pollGaps))
        sum += static_cast<double>(gap);
    EXPECT_DOUBLE_EQ(b.port->meanPollPeriod, sum / QvxComm::kGapWindow);

    b.port->close();
    EXPECT_TRUE(b.port->pollGaps.isEmpty());
    ASSERT_TRUE(b.open());
    EXPECT_EQ(b.port->lastPollTick, 0);
    EXPECT_EQ(b.port->meanPollPeriod, 0);
}

TEST(PortPoll, MultiGraphReadsThePreparedListInIdOrder)
{
    struct Case
    {
        const char *name;
        bool fast;
        bool secondSilent;
        const char *instruction;
        int result;
        int results;
    };
    const Case cases[] = {
        {"bulk read", false, false, "BULK_READ", COMM_OK, 2},
        {"fast bulk read", true, false, "FAST_BULK_READ", COMM_OK, 2},
        {"bulk read with a silent servo", false, true, "BULK_READ", COMM_RX_TIMEOUT, 1},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        b.addServo(1);
        b.addServo(3);
        b.bus.setMemory(3, 132, fromHex("01 02 03 04"));
        if (c.secondSilent)
            b.fault(3, [](sim::Faults &f) { f.silent = true; });
        ASSERT_TRUE(b.open()) << c.name;
        qvx::MultiGraphReadParams params;
        params[3] = qvx::MultiGraphReadParam{3, 132, 135, 4};
        params[1] = qvx::MultiGraphReadParam{1, 132, 133, 2};
        b.port->startMultiGraph(params, 100000, c.fast);
        b.port->stopMultiGraph();
        ASSERT_EQ(b.port->bulk_read_params.size(), 2) << c.name;
        EXPECT_EQ(b.port->bulk_read_params[0].id, 1) << c.name;
        EXPECT_EQ(b.port->bulk_read_params[1].id, 3) << c.name;

        QList<int> results;
        qvx::MultiGraphReadResults got;
        QObject::connect(b.port.get(), &QvxComm::multiGraphReadCompleted,
                         [&](int r, const qvx::MultiGraphReadResults &res, qlonglong) {
                             results << r;
                             got = res;
                         });
        EXPECT_EQ(b.port->readMultiGraph({}), c.result) << c.name;
        EXPECT_EQ(results, QList<int>{c.result}) << c.name;
        EXPECT_EQ(b.bus.received().last().name(), QString::fromLatin1(c.instruction)) << c.name;
        EXPECT_EQ(b.bus.received().last().params, fromHex("01 84 00 02 00 03 84 00 04 00")) << c.name;
        ASSERT_EQ(got.size(), c.results) << c.name;
        EXPECT_EQ(got[0].id, 1) << c.name;
        EXPECT_EQ(got[0].address, 132) << c.name;
        EXPECT_EQ(got[0].data, fromHex("00 08")) << c.name;
        if (c.results > 1) {
            EXPECT_EQ(got[1].data, fromHex("01 02 03 04")) << c.name;
        }
    }
}

TEST(PortTrace, VerboseTracesExactlyTheOneRead)
{
    PortOnBus b;
    b.addServo(1);
    ASSERT_TRUE(b.open());
    uchar table[16] = {};
    uchar error = 0xAA;
    const QByteArray request = sim::packet2(1, 0x02, fromHex("00 00 10 00"));
    const QByteArray reply = sim::status2(1, 0, b.bus.memory(1, 0, 16));

    EXPECT_EQ(traced([&] { EXPECT_EQ(b.port->readVerbose(1, 16, table, &error, true), COMM_OK); }),
              "[TX] " + request.toHex(' ').toUpper() + "\n[RX] " + reply.toHex(' ').toUpper() + "\n");
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(table), 16), b.bus.memory(1, 0, 16));
    EXPECT_FALSE(b.port->qvx_protocol1->verbose);
    EXPECT_FALSE(b.port->qvx_protocol2->verbose);

    // A trace left on before is off after a quiet whole-table read.
    b.port->setVerbose(true);
    EXPECT_EQ(traced([&] { b.port->readVerbose(1, 16, table, &error, false); }), QByteArray());
    EXPECT_EQ(traced([&] { b.port->ping(1, nullptr, nullptr, nullptr); }), QByteArray());
}

TEST(PortTrace, CommandFormsWithErrorLeaveTheTraceOff)
{
    struct Case
    {
        const char *name;
        std::function<int(QvxPort &, quint8 &)> run;
        bool traces; // with verbose asked for
    };
    const Case cases[] = {
        {"reset, verbose", [](QvxPort &p, quint8 &e) { return p.reset(1, e, true); }, true},
        {"reboot, verbose", [](QvxPort &p, quint8 &e) { return p.reboot(1, e, true); }, true},
        {"clear, verbose", [](QvxPort &p, quint8 &e) { return p.clear(1, 1, e, true); }, true},
        {"reset", [](QvxPort &p, quint8 &e) { return p.reset(1, e); }, false},
        {"reboot", [](QvxPort &p, quint8 &e) { return p.reboot(1, e); }, false},
        {"clear", [](QvxPort &p, quint8 &e) { return p.clear(1, 1, e); }, false},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        b.addServo(1);
        b.fault(1, [](sim::Faults &f) { f.error = 0x80; }); // an alert the error byte would carry
        ASSERT_TRUE(b.open()) << c.name;
        b.port->setVerbose(true); // whatever it was before
        quint8 error = 0xAA;
        int result = -1;
        const QByteArray out = traced([&] { result = c.run(*b.port, error); });
        EXPECT_EQ(result, COMM_OK) << c.name;
        EXPECT_EQ(error, 0) << c.name;
        EXPECT_EQ(out.count("[TX] "), c.traces ? 1 : 0) << c.name;
        EXPECT_EQ(out.count("[RX] "), c.traces ? 1 : 0) << c.name;
        EXPECT_FALSE(b.port->qvx_protocol1->verbose || b.port->qvx_protocol2->verbose) << c.name;
    }
}

TEST(PortRead, NotifyingReadAnnouncesTheBytesOfItsBuffer)
{
    PortOnBus b;
    b.addServo(1);
    ASSERT_TRUE(b.open());
    QList<QList<int>> heads;
    QByteArray bytes;
    QObject::connect(b.port.get(), &QvxPort::readCompleted,
                     [&](int r, uchar id, ushort address, ushort length, const QByteArray &d, uchar e) {
                         heads << QList<int>{r, id, address, length, e};
                         bytes = d;
                     });
    uchar error = 0xAA;
    uchar *buffer = b.port->rx_buffer + 100;
    EXPECT_EQ(b.port->readAndNotify(1, 132, 4, buffer, &error), COMM_OK);
    EXPECT_EQ(heads, (QList<QList<int>>{{COMM_OK, 1, 132, 4, 0}}));
    EXPECT_EQ(bytes, fromHex("00 08 00 00"));

    // Refused: the error byte, and none of the bytes read before.
    b.fault(1, [](sim::Faults &f) {
        f.error = 0x04;
        f.omitData = true;
    });
    EXPECT_EQ(b.port->readAndNotify(1, 132, 4, buffer, &error), COMM_OK);
    EXPECT_EQ(heads.last(), (QList<int>{COMM_OK, 1, 132, 4, 0x04}));
    EXPECT_EQ(bytes, QByteArray(4, '\0'));
}
