// The stream parsers of both engines: bytes that arrive outside a transaction,
// put on the simulated line and read through the serial port.
#include "EngineOnBus.h"

#include "comm/QvxProtocol1.h"
#include "comm/QvxProtocol2.h"
#include "platform/OutputSink.h"
#include "tests/support/HexText.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>
#include <limits>

using sim::fromHex;

namespace {

struct ParserCase
{
    const char *name;
    QList<QByteArray> arrivals; // put on the line one after another
    QList<QByteArray> packets;  // emitted as received items, in order
    QStringList logs;
    qsizetype leftOver; // bytes still held, waiting for more
};

template <class Engine>
void runCases(const QList<ParserCase> &cases)
{
    for (const ParserCase &c : cases) {
        EngineOnBus<Engine> b;
        ASSERT_TRUE(b.open());
        b.listen();
        int completions = 0;
        QObject::connect(&b.engine, &QvxProtocol::qvxFound, [&] { ++completions; });
        QObject::connect(&b.engine, &QvxProtocol::rebootCompleted, [&] { ++completions; });
        for (const QByteArray &bytes : c.arrivals)
            ASSERT_TRUE(b.feed(bytes)) << c.name;
        EXPECT_EQ(b.itemData(1), c.packets) << c.name;
        EXPECT_EQ(b.logs, c.logs) << c.name;
        EXPECT_EQ(b.engine.rxBuffer.size(), c.leftOver) << c.name;
        EXPECT_EQ(completions, 0) << c.name << ": the parser only emits items and logs";
        for (const auto &item : std::as_const(b.items))
            EXPECT_EQ(item.protocol, b.engine.version()) << c.name;
    }
}

} // namespace

TEST(Protocol2StreamParser, CutsArrivalsIntoPackets)
{
    const QByteArray ping = sim::packet2(1, 0x01);
    const QByteArray status = sim::status2(1, 0, fromHex("00 08 00 00"));
    const QByteArray action = sim::packet2(1, 0x05); // LEN 3
    const QByteArray stuffed = sim::status2(1, 0, fromHex("FF FF FD 00"));
    QByteArray badCrc = status;
    badCrc[14] = static_cast<char>(badCrc.at(14) ^ 0x01);
    // A header whose LEN makes 61441 bytes in all.
    const QByteArray tooLong = fromHex("FF FF FD 00 01 FA EF 55 00");
    const QByteArray statusLen3 = sim::packet2(1, 0x55); // a status without its error byte
    // The start of a reply that would hold 100 data bytes.
    const QByteArray cutOff = sim::status2(1, 0, QByteArray(100, '\x01')).left(12);

    runCases<QvxProtocol2>({
        {"two packets in one arrival", {ping + status}, {ping, status}, {}, 0},
        {"a packet in pieces", {status.left(8), status.mid(8, 3), status.mid(11)}, {status}, {}, 0},
        {"noise before a packet", {fromHex("00 11 22") + status}, {status},
         {"COMM_RX_CORRUPT: remove unnecessary packets", "remove data = 00 11 22"}, 0},
        {"noise without a header waits in its last 8 bytes", {QByteArray(20, '\x07')}, {}, {}, 8},
        {"an instruction with LEN 3 is a packet", {action}, {action}, {}, 0},
        {"a status with LEN 3 is not", {statusLen3 + ping}, {ping},
         {"COMM_RX_CORRUPT: remove unnecessary packets", "remove data = " + hexOf(statusLen3.mid(1))}, 0},
        {"a LEN beyond 61440 bytes is not", {tooLong + ping}, {ping},
         {"COMM_RX_CORRUPT: remove unnecessary packets", "remove data = " + hexOf(tooLong.mid(1))}, 0},
        {"a cut-off packet before a valid one", {cutOff, ping}, {ping},
         {"COMM_RX_CORRUPT: Invalid packet length", "corrupt data = " + hexOf(cutOff)}, 0},
        // The search inside the cut-off packet goes on where the last one ended,
        // less the bytes a header may have begun with.
        {"a cut-off packet before a valid one whose header came in two pieces", {cutOff + ping.left(3), ping.mid(3)},
         {ping}, {"COMM_RX_CORRUPT: Invalid packet length", "corrupt data = " + hexOf(cutOff)}, 0},
        {"a bad CRC before a valid packet", {badCrc + ping}, {ping},
         {"COMM_RX_CORRUPT: CRC Error", "corrupt data = " + hexOf(badCrc)}, 0},
        {"a bad CRC with nothing behind", {badCrc}, {},
         {"COMM_RX_CORRUPT: crc error", "read data = " + hexOf(badCrc)}, 0},
        {"stuffing stays in the item", {stuffed}, {stuffed}, {}, 0},
        {"an incomplete packet waits", {status.left(8)}, {}, {}, 8},
    });
}

TEST(Protocol1StreamParser, CutsArrivalsIntoPackets)
{
    const QByteArray ping = sim::packet1(1, 0x01);
    const QByteArray status = sim::packet1(1, 0, fromHex("00 02"));
    QByteArray badSum = status;
    badSum[7] = static_cast<char>(badSum.at(7) ^ 0x01);

    runCases<QvxProtocol1>({
        {"two packets in one arrival", {ping + status}, {ping, status}, {}, 0},
        {"noise before a packet", {fromHex("00 11") + status}, {status},
         {"COMM_RX_CORRUPT: remove unnecessary packets", "remove data = 00 11"}, 0},
        {"a cut-off packet before a valid one", {fromHex("FF FF 01 07"), ping}, {ping},
         {"COMM_RX_CORRUPT: Invalid packet length", "corrupt data = FF FF 01 07"}, 0},
        {"a bad checksum before a valid packet", {badSum + ping}, {ping},
         {"COMM_RX_CORRUPT: Checksum Error", "corrupt data = " + hexOf(badSum)}, 0},
        {"a bad checksum with nothing behind", {badSum}, {},
         {"COMM_RX_CORRUPT: checksum error", "read data = " + hexOf(badSum)}, 0},
        {"LEN 1 is not a packet", {fromHex("FF FF 01 01 00") + ping}, {ping},
         {"COMM_RX_CORRUPT: remove unnecessary packets", "remove data = FF 01 01 00"}, 0},
        {"ID FF is not a packet", {fromHex("FF FF FF 02 01 FB") + ping}, {ping},
         {"COMM_RX_CORRUPT: remove unnecessary packets", "remove data = FF 02 01 FB"}, 0},
        {"three bytes wait", {fromHex("FF FF 01")}, {}, {}, 3},
    });
}

TEST(StreamParser, TracesProtocol2PacketsButNotProtocol1)
{
    QByteArray out;
    {
        EngineOnBus<QvxProtocol2> b2;
        EngineOnBus<QvxProtocol1> b1;
        ASSERT_TRUE(b2.open() && b1.open());
        b2.listen();
        b1.listen();
        b2.engine.verbose = b1.engine.verbose = true;
        platform::OutputSink::beginCapture(&out);
        const bool fed = b2.feed(sim::packet2(1, 0x05)) && b1.feed(sim::packet1(1, 0x05));
        platform::OutputSink::endCapture();
        ASSERT_TRUE(fed);
        EXPECT_EQ(b1.itemData(1).size(), 1);
    }
    EXPECT_EQ(out, "[RX] " + sim::packet2(1, 0x05).toHex(' ').toUpper() + "\n");
}

TEST(StreamParser, AnIncompletePacketIsDroppedAfterTheInterByteTimeout)
{
    const QByteArray status = sim::status2(1, 0, fromHex("00 08 00 00"));
    {
        // The rest arriving within the inter-byte time completes the packet.
        EngineOnBus<QvxProtocol2> b;
        ASSERT_TRUE(b.open());
        b.listen();
        ASSERT_TRUE(b.feed(status.left(8)));
        EXPECT_TRUE(b.items.isEmpty());
        ASSERT_TRUE(b.feed(status.mid(8)));
        EXPECT_EQ(b.itemData(1), QList<QByteArray>{status});
    }
    {
        EngineOnBus<QvxProtocol2> b;
        ASSERT_TRUE(b.open());
        b.listen();
        b.engine.extraLatency = -450; // 50 ms of silence instead of 500
        ASSERT_TRUE(b.feed(status.left(10)));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !b.logs.isEmpty(); }, 5000));
        EXPECT_EQ(b.logs, QStringList{"COMM_RX_CORRUPT: inter-byte timeout (10 bytes)"});
        EXPECT_TRUE(b.engine.rxBuffer.isEmpty());
    }
    {
        EngineOnBus<QvxProtocol1> b;
        ASSERT_TRUE(b.open());
        b.listen();
        b.engine.extraLatency = -450;
        ASSERT_TRUE(b.feed(fromHex("FF FF 01")));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !b.logs.isEmpty(); }, 5000));
        EXPECT_EQ(b.logs, QStringList{"COMM_RX_CORRUPT: inter-byte timeout (3 bytes)"});
        EXPECT_TRUE(b.engine.rxBuffer.isEmpty());
    }
    {
        // The longest extra latency an int holds: the engine waits (and never
        // overflows to a wait that is over at once).
        EngineOnBus<QvxProtocol2> b;
        ASSERT_TRUE(b.open());
        b.listen();
        b.engine.extraLatency = std::numeric_limits<int>::max();
        ASSERT_TRUE(b.feed(status.left(10)));
        QTest::qWait(200);
        EXPECT_TRUE(b.logs.isEmpty()) << b.logs.join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(b.engine.rxBuffer.size(), 10);
    }
}
