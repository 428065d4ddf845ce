// The serial transport's traffic tools: the Modbus RTU frame sniffer (frames
// cut by their CRC, the 260-byte bound and the 50 ms clearing), raw sending,
// and the replay of recorded packets on the 1 ms clock.
#include "PortOnBus.h"

#include "comm/ModbusFrames.h"
#include "comm/WriteFlush.h"
#include "tests/support/QtPrinters.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

using sim::fromHex;

namespace {

const QByteArray kRead = fromHex("01 03 00 00 00 01 84 0A");   // read register 0 of server 1
const QByteArray kException = fromHex("01 83 02 C0 F1");       // exception 2 from server 1

// A serial transport listening as a Modbus sniffer on the simulated bus.
struct Sniffer : PortOnBus
{
    Sniffer()
    {
        port->setProtocolVersion(QStringLiteral("MODBUS"));
        EXPECT_TRUE(open());
    }
    // Waits until `count` frames were traced.
    bool waitForFrames(int count) const
    {
        return QTest::qWaitFor([&] { return received().size() >= count; }, 5000);
    }
    bool waitForBuffered(qsizetype count) const
    {
        return QTest::qWaitFor([&] { return port->modbus_buffer.size() == count; }, 5000);
    }
};

bool framesNowhere(const QByteArray &bytes);

// Random bytes.
QByteArray garbage(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char &b : bytes)
        b = static_cast<char>(random.bounded(256));
    return bytes;
}

// Whether no frame begins anywhere in `bytes`.
bool framesNowhere(const QByteArray &bytes)
{
    for (qsizetype start = 0; start + 6 < bytes.size(); ++start) {
        QByteArray rest = bytes.mid(start);
        if (!cutModbusFrames(&rest).frames.isEmpty())
            return false;
    }
    return true;
}

// Random bytes in which no frame begins anywhere.
QByteArray junk(int size)
{
    for (quint32 seed = 1;; ++seed) {
        const QByteArray bytes = garbage(size, seed);
        if (framesNowhere(bytes))
            return bytes;
    }
}

// The frame search as a listener would first write it: for each candidate
// end k the CRC anew from byte 0.
QList<QByteArray> naiveCut(QByteArray *buffer)
{
    QList<QByteArray> frames;
    while (buffer->size() > 6) {
        qsizetype found = -1;
        for (qsizetype k = 2; k + 2 < buffer->size() && found < 0; ++k) {
            const int crc = static_cast<quint8>(buffer->at(k + 2)) << 8 | static_cast<quint8>(buffer->at(k + 1));
            if (crc == modbusCrc16(buffer->constData(), k + 1))
                found = k;
        }
        if (found < 0) {
            if (buffer->size() > 260)
                buffer->remove(0, buffer->size() - 260);
            break;
        }
        frames << buffer->left(found + 3);
        buffer->remove(0, found + 3);
    }
    return frames;
}

} // namespace

// --- the frame cutter on its own -----------------------------------------------------------

TEST(ModbusFrames, CrcOfTheReadRequestIsItsLastTwoBytes)
{
    EXPECT_EQ(modbusCrc16(kRead.constData(), 6), 0x0A84);
    EXPECT_EQ(modbusCrc16(kException.constData(), 3), 0xF1C0);
    QvxPort port(false);
    port.modbus_buffer = kRead;
    EXPECT_EQ(port.modbusCrc(5), 0x0A84);
    EXPECT_EQ(port.modbusCrc(100), modbusCrc16(kRead.constData(), 8)) << "no more bytes than there are";
}

TEST(ModbusFrames, CutsWhatTheSearchFromByteZeroFinds)
{
    // Frames planted among random bytes: one pass per search finds what the
    // search with a fresh CRC for every candidate end finds.
    QRandomGenerator random(15);
    for (int round = 0; round < 300; ++round) {
        QByteArray buffer;
        const int pieces = random.bounded(1, 6);
        for (int p = 0; p < pieces; ++p) {
            if (random.bounded(2))
                buffer += garbage(random.bounded(0, 40), random.generate());
            else
                buffer += random.bounded(2) ? kRead : kException;
        }
        QByteArray naive = buffer;
        QByteArray cut = buffer;
        const QList<QByteArray> expected = naiveCut(&naive);
        EXPECT_EQ(cutModbusFrames(&cut).frames, expected) << "round " << round;
        EXPECT_EQ(cut, naive);
    }
}

TEST(ModbusFrames, ShortTailsWaitAndUnframedBytesAreBounded)
{
    struct Case
    {
        const char *what;
        QByteArray bytes;
        QList<QByteArray> frames;
        QByteArray left;
        bool unframed;
    };
    const QByteArray junk = ::junk(300);
    const Case cases[] = {
        {"one frame", kRead, {kRead}, {}, false},
        {"a 5-byte frame alone waits", kException, {}, kException, false},
        {"frame then a short one", kRead + kException, {kRead}, kException, false},
        {"short one then a frame", kException + kRead, {kException, kRead}, {}, false},
        {"300 bytes of garbage", junk, {}, junk.right(260), true},
        {"garbage hides the frame behind it", junk.left(20) + kRead, {}, junk.left(20) + kRead, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QByteArray buffer = c.bytes;
        const ModbusCut cut = cutModbusFrames(&buffer);
        EXPECT_EQ(cut.frames, c.frames);
        EXPECT_EQ(buffer, c.left);
        EXPECT_EQ(cut.unframed, c.unframed);
    }
}

// --- the sniffer on the line -----------------------------------------------------------------

TEST(ModbusSniffer, TracesAFrameThatArrivesWhole)
{
    Sniffer s;
    s.bus.sendRaw(kRead);
    ASSERT_TRUE(s.waitForFrames(1));
    const QvxProtocol::PacketItem item = s.packets.last();
    EXPECT_EQ(item.direction, 1);
    EXPECT_EQ(item.protocol, "MODBUS");
    EXPECT_EQ(item.data, kRead);
    EXPECT_TRUE(item.text.isEmpty());
    EXPECT_FALSE(item.flag);
    EXPECT_EQ((QList<int>{item.reserved1, item.reserved2, item.reserved3, item.reserved4}), (QList<int>{-1, -1, -1, 0}));
    EXPECT_GT(item.tick, 0);
    EXPECT_TRUE(s.port->modbus_buffer.isEmpty());
    EXPECT_FALSE(s.port->modbus_timer->isActive());
    EXPECT_EQ(s.bus.received().size(), 0) << "the transport sent nothing";
}

TEST(ModbusSniffer, AShortFrameWaitsForTheNextArrival)
{
    Sniffer s;
    s.bus.sendRaw(kException);
    ASSERT_TRUE(s.waitForBuffered(5));
    EXPECT_TRUE(s.received().isEmpty());
    EXPECT_FALSE(s.port->modbus_timer->isActive()) << "6 bytes or fewer wait without the gap timer";
    s.bus.sendRaw(kRead);
    ASSERT_TRUE(s.waitForFrames(2));
    EXPECT_EQ(s.received(), (QList<QByteArray>{kException, kRead}));

    // A frame and a short one in one arrival: the short one waits.
    s.packets.clear();
    s.bus.sendRaw(kRead + kException);
    ASSERT_TRUE(s.waitForFrames(1));
    ASSERT_TRUE(s.waitForBuffered(5));
    EXPECT_EQ(s.received(), QList<QByteArray>{kRead});
    EXPECT_EQ(s.port->modbus_buffer, kException);
}

TEST(ModbusSniffer, UnframedBytesKeepTheirLast260UntilFiftyMillisecondsOfSilence)
{
    Sniffer s;
    const QByteArray junk = ::junk(300);
    QList<qsizetype> kept;
    QElapsedTimer silence; // since the last arrival was handled
    QObject::connect(s.port.get(), &QvxComm::updateRxStatus, [&](bool on) {
        if (!on) {
            kept << s.port->modbus_buffer.size();
            silence.start();
        }
    });
    s.bus.sendRaw(junk);
    ASSERT_TRUE(QTest::qWaitFor([&] { return s.port->modbus_buffer == junk.right(260); }, 5000));
    // The gap timer then empties it, no sooner than its 50 ms after the last
    // arrival (seen late on a loaded machine, never early).
    ASSERT_TRUE(s.waitForBuffered(0));
    EXPECT_GE(silence.elapsed(), 45);
    EXPECT_TRUE(s.received().isEmpty());
    for (const qsizetype n : kept)
        EXPECT_LE(n, 260);
}

TEST(ModbusSniffer, EndlessGarbageNeverGrowsTheBufferPastItsBound)
{
    Sniffer s;
    qsizetype largest = 0;
    int handled = 0;
    QObject::connect(s.port.get(), &QvxComm::updateRxStatus, [&](bool on) {
        if (!on) {
            largest = qMax(largest, s.port->modbus_buffer.size());
            ++handled;
        }
    });
    // 64 KiB of bytes in a stream, faster than the 50 ms gap: the timer never
    // gets to clear, only the bound holds the buffer.
    for (int burst = 0; burst < 64; ++burst) {
        s.bus.sendRaw(garbage(1024, 100 + burst));
        QTest::qWait(1);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return s.port->serial_port->bytesAvailable() == 0 && handled > 0; }, 5000));
    EXPECT_LE(largest, 260);
    EXPECT_LE(s.port->modbus_buffer.size(), 260);
    // What the stream happened to frame by chance is traced; everything
    // traced carries its CRC.
    for (const QByteArray &frame : s.received())
        EXPECT_EQ(modbusCrc16(frame.constData(), frame.size() - 2),
                  static_cast<quint8>(frame.at(frame.size() - 2)) | static_cast<quint8>(frame.back()) << 8);
    // And a frame after 50 ms of silence is found again.
    ASSERT_TRUE(s.waitForBuffered(0));
    const qsizetype before = s.received().size();
    s.bus.sendRaw(kRead);
    ASSERT_TRUE(s.waitForFrames(static_cast<int>(before) + 1));
    EXPECT_EQ(s.received().last(), kRead);
}

TEST(ModbusSniffer, OnlyWhileTheProtocolTextIsModbusAndThePortIsNotHeld)
{
    Sniffer s;
    s.port->port_held = true;
    s.bus.sendRaw(kRead);
    ASSERT_TRUE(s.waitForUnread(8));
    EXPECT_TRUE(s.port->modbus_buffer.isEmpty());
    s.port->port_held = false;
    s.port->serial_port->readAll();
    s.port->setProtocolVersion(QStringLiteral("2.0"));
    s.bus.sendRaw(kRead);
    QTest::qWait(100);
    EXPECT_TRUE(s.port->modbus_buffer.isEmpty());
    EXPECT_TRUE(s.received().isEmpty());
}

// --- raw sending ------------------------------------------------------------------------------

TEST(WriteFlush, GivesTheBytesAChanceToLeaveHoweverLateTheCallComes)
{
    // A pty whose far end the test reads; the port holds its written bytes
    // until it is asked to pass them on.
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    QSerialPort port(QString::fromLocal8Bit(::ttyname(slave)));
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    const auto arrived = [&] {
        QByteArray got(64, '\0');
        const ssize_t n = ::read(master, got.data(), size_t(got.size()));
        return n > 0 ? got.left(n) : QByteArray();
    };
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    EXPECT_TRUE(flushWrites(port, 0)) << "nothing to write";
    for (const int waitMs : {0, 100}) {
        ASSERT_EQ(port.write("#\r"), 2);
        EXPECT_TRUE(flushWrites(port, waitMs)) << "a wait of " << waitMs << " ms";
        EXPECT_EQ(port.bytesToWrite(), 0);
        EXPECT_EQ(arrived(), QByteArray("#\r")) << "a wait of " << waitMs << " ms";
    }
    port.close();
    EXPECT_TRUE(flushWrites(port, 100)) << "a closed port holds nothing";
    ::close(slave);
    ::close(master);
}

TEST(RawSend, SendsTheBytesAsTheyAreAndTracesThem)
{
    PortOnBus b;
    b.addServo(1);
    ASSERT_TRUE(b.open());
    const QByteArray ping = sim::packet2(1, 0x01, {});
    EXPECT_EQ(b.port->writeRaw(ping), COMM_OK);
    ASSERT_TRUE(b.bus.waitForReceived(1, 5000));
    EXPECT_EQ(b.bus.received().first().raw, ping);
    ASSERT_FALSE(b.packets.isEmpty());
    const QvxProtocol::PacketItem sent = b.packets.first();
    EXPECT_EQ(sent.direction, 0);
    EXPECT_EQ(sent.protocol, "2.0");
    EXPECT_EQ(sent.data, ping);
    EXPECT_EQ((QList<int>{sent.reserved1, sent.reserved2, sent.reserved3, sent.reserved4}), (QList<int>{-1, -1, -1, 0}));

    b.port->close();
    b.packets.clear();
    EXPECT_EQ(b.port->writeRaw(ping), COMM_TX_FAIL);
    EXPECT_TRUE(b.packets.isEmpty());
}

// --- replay -----------------------------------------------------------------------------------

namespace {

// A packet item as the transports record it: direction 0 sent, 1 received.
QvxProtocol::PacketItem recorded(qint64 tick, const QString &protocol, const QByteArray &data, int direction = 0)
{
    QvxProtocol::PacketItem item;
    item.tick = tick;
    item.direction = direction;
    item.protocol = protocol;
    item.data = data;
    return item;
}

// A transport whose replay is driven tick by tick by the test.
struct Replay : PortOnBus
{
    QList<int> indexes;
    Replay()
    {
        addServo(1);
        EXPECT_TRUE(open());
        QObject::connect(port.get(), &QvxPort::playIndexChanged, [this](int i) { indexes << i; });
    }
    void start()
    {
        events.clear();
        port->startPlay();
        port->play_timer->stop(); // the test ticks
    }
    // Ticks once; what the tick did: "sent <index>", "stopped" or "".
    QString tick()
    {
        const qsizetype before = indexes.size();
        events.clear();
        port->onPlayTimer();
        if (events.contains("playStopped"))
            return QStringLiteral("stopped");
        return indexes.size() > before ? QStringLiteral("sent %1").arg(indexes.last()) : QString();
    }
};

} // namespace

TEST(PacketReplay, KeepsTheRecordedSpacingOnTheTickClock)
{
    Replay r;
    const qint64 t = 1'700'000'000'000;
    const QByteArray first = sim::packet2(1, 0x01, {});
    const QByteArray status = sim::status2(1, 0, fromHex("DC 03 37"));
    const QByteArray second = sim::packet2(1, 0x02, fromHex("84 00 04 00"));
    r.port->packet_list = {recorded(t, "2.0", first), recorded(t + 3, "2.0", status), recorded(t + 10, "2.0", second)};
    r.start();
    EXPECT_TRUE(r.port->playing);
    QStringList ticks;
    for (int i = 0; i < 12; ++i)
        ticks << r.tick();
    // The first item on tick 1, the status packet passed over on tick 4, the
    // third item on tick 11, the end on tick 12.
    EXPECT_EQ(ticks, (QStringList{"sent 0", "", "", "", "", "", "", "", "", "", "sent 2", "stopped"}));
    EXPECT_EQ(r.port->play_index, 3);
    EXPECT_FALSE(r.port->playing);
    ASSERT_TRUE(r.bus.waitForReceived(2, 5000));
    const QList<sim::Instruction> got = r.bus.received();
    ASSERT_EQ(got.size(), 2);
    EXPECT_EQ(got.at(0).raw, first);
    EXPECT_EQ(got.at(1).raw, second);
}

TEST(PacketReplay, PassesOverWhatIsNoInstructionOfTheServoProtocols)
{
    Replay r;
    const qint64 t = 5000;
    const QByteArray ping1 = sim::packet1(1, 0x01, {});
    r.port->packet_list = {
        recorded(t, "MODBUS", kRead),                            // never replayed
        recorded(t, "2.0", fromHex("FF FF FD 00 01")),           // too short for its instruction byte
        recorded(t, "1.0", fromHex("FF FF 01")),                 // likewise
        recorded(t, "2.0", fromHex("FF FF FD 00 01 03 00 00")),  // instruction byte 0
        recorded(t, "1.0", ping1),                               // a protocol 1.0 PING
        recorded(t, "3.0", ping1),                               // an unknown protocol
    };
    r.start();
    QStringList ticks;
    for (int i = 0; i < 7; ++i)
        ticks << r.tick();
    EXPECT_EQ(ticks, (QStringList{"", "", "", "", "sent 4", "", "stopped"})) << "one item a tick";
    ASSERT_TRUE(r.bus.waitForReceived(1, 5000));
    QTest::qWait(50);
    ASSERT_EQ(r.bus.received().size(), 1);
    EXPECT_EQ(r.bus.received().first().raw, ping1);
}

TEST(PacketReplay, SendsOnlyWhatTheProgramSentNeverTheRepliesItReceived)
{
    // A record of a session: each request and the reply it got. A protocol
    // 1.0 reply carries its error byte where a request has its instruction,
    // so an alarm (0x04, overheating) read as an instruction would go out
    // as a REG_WRITE to the servo.
    Replay r;
    const qint64 t = 9000;
    const QByteArray ping1 = sim::packet1(1, 0x01, {});
    const QByteArray read1 = sim::packet1(1, 0x02, fromHex("2B 01"));
    const QByteArray read2 = sim::packet2(1, 0x02, fromHex("84 00 04 00"));
    r.port->packet_list = {
        recorded(t, "1.0", ping1),
        recorded(t, "1.0", sim::packet1(1, 0x04, {}), 1),           // its reply: alarm bit 0x04 set
        recorded(t, "1.0", read1),
        recorded(t, "1.0", sim::packet1(1, 0x24, fromHex("28")), 1), // error byte 0x24
        recorded(t, "2.0", read2),
        recorded(t, "2.0", sim::status2(1, 0, fromHex("00 08 00 00")), 1),
        recorded(t, "2.0", sim::packet2(1, 0x03, fromHex("40 00 01")), 1),  // another master's WRITE, overheard
    };
    r.start();
    QStringList ticks;
    for (int i = 0; i < 8; ++i)
        ticks << r.tick();
    EXPECT_EQ(ticks, (QStringList{"sent 0", "", "sent 2", "", "sent 4", "", "", "stopped"}));
    ASSERT_TRUE(r.bus.waitForReceived(3, 5000)) << r.bus.received().size() << " packets arrived";
    QTest::qWait(50); // anything sent wrongly would be there by now
    QList<QByteArray> arrived;
    for (const sim::Instruction &i : r.bus.received())
        arrived << i.raw;
    EXPECT_EQ(arrived, (QList<QByteArray>{ping1, read1, read2}));
    EXPECT_EQ(r.bus.receivedCount(0x04), 0) << "a reply went out as a REG_WRITE";
    EXPECT_EQ(r.bus.receivedCount(0x03), 0) << "an overheard packet went out again";
}

TEST(PacketReplay, AnEmptyListEndsAtTheFirstTick)
{
    Replay r;
    r.port->packet_list.clear();
    r.port->play_clock = 99;
    r.events.clear();
    r.port->startPlay(); // with its own timer this time
    EXPECT_TRUE(r.port->playing);
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.events.contains("playStopped"); }, 5000));
    EXPECT_FALSE(r.port->playing);
    EXPECT_FALSE(r.port->play_timer->isActive());
    EXPECT_TRUE(r.indexes.isEmpty());
}

TEST(PacketReplay, RunsOnItsOwnTimerAndStopsOnRequestOrClose)
{
    Replay r;
    const QByteArray ping = sim::packet2(1, 0x01, {});
    r.port->packet_list = {recorded(0, "2.0", ping), recorded(2, "2.0", ping)};
    r.events.clear();
    r.port->startPlay();
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.events.contains("playStopped"); }, 5000));
    EXPECT_EQ(r.indexes, (QList<int>{0, 1}));
    ASSERT_TRUE(r.bus.waitForReceived(2, 5000));

    // Stopped midway: index and clock stay where they were.
    r.port->packet_list = {recorded(0, "2.0", ping), recorded(100000, "2.0", ping)};
    r.start();
    r.tick();
    r.tick();
    r.events.clear();
    r.port->stopPlay();
    EXPECT_EQ(r.events, QStringList{"playStopped"});
    EXPECT_EQ(r.port->play_index, 1);
    EXPECT_EQ(r.port->play_clock, 2);
    EXPECT_FALSE(r.port->playing);

    r.port->startPlay();
    r.events.clear();
    r.port->close();
    EXPECT_TRUE(r.events.contains("playStopped"));
    EXPECT_FALSE(r.port->play_timer->isActive());
    EXPECT_FALSE(r.port->playing);
}
