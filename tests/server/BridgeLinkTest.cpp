// The bridge's serial link, case by case: a line that hangs up under it
// (while idle, while a client waits for its reply, with a client's bytes
// still pending for the line), a line whose far end stops reading for a
// moment, and a client that floods a line that takes nothing.
// A line that hung up is reported once and closed, its clients' connections
// end within a second, and a later start on a port that is there works; a
// line that only stalled is no error and loses no byte. Either way the bridge
// uses next to no CPU while the line is down or stalled, and what it holds
// stays bounded.
#include "BridgeOnLine.h"

#include "tests/support/CaseTable.h"
#include "tests/support/QtPrinters.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <memory>
#include <thread>

namespace {

// What goes on when the line goes down.
enum class Load
{
    Idle,          // clients connected, nothing sent
    AwaitingReply, // a client's request reached the far end; its reply never comes
    BytesPending,  // a client streams more than the line takes; the bridge holds the rest
    Flood,         // a client sends more than the bridge and every buffer may hold
};

// What the line does.
enum class Fate
{
    HangsUp,            // the far end goes away; later the bridge is started on a port that is there
    StallsAndComesBack, // the far end reads nothing for a while, then everything
};

struct LinkCase
{
    const char *what;
    Load load;
    Fate fate;
};

const LinkCase kLinkCases[] = {
    {"port lost while idle", Load::Idle, Fate::HangsUp},
    {"port lost mid-wait", Load::AwaitingReply, Fate::HangsUp},
    {"port lost with bytes pending", Load::BytesPending, Fate::HangsUp},
    {"port full for a moment", Load::BytesPending, Fate::StallsAndComesBack},
    {"peer flood while idle", Load::Flood, Fate::StallsAndComesBack},
};

// How long the line stays down or stalled while the CPU is counted; a line
// that hung up has ended its clients' connections within it.
constexpr int kDownMs = 1000;
constexpr double kMaxCpuShare = 0.2;   // of one core, while it is
constexpr qint64 kMomentaryBytes = 256 * 1024;

// The most a TCP socket buffer of this kind ("tcp_rmem", "tcp_wmem") grows to
// on this machine; 8 MiB when the system does not say.
qint64 largestTcpBuffer(const char *kind)
{
    QFile file(QStringLiteral("/proc/sys/net/ipv4/") + QLatin1String(kind));
    if (!file.open(QIODevice::ReadOnly))
        return 8 * 1024 * 1024;
    const QList<QByteArray> values = file.readAll().simplified().split(' ');
    bool ok = false;
    const qint64 largest = values.size() == 3 ? values.at(2).toLongLong(&ok) : 0;
    return ok && largest > 0 ? largest : 8 * 1024 * 1024;
}

// A client that streams the test pattern from the test's own thread (so its
// CPU is not counted as the bridge's), `total` bytes or until it is
// disconnected; it keeps at most 256 KiB queued in its socket.
struct Streamer : Client
{
    qint64 total = 0;
    qint64 queued = 0;
    qint64 sent = 0; // taken by the system
    QTimer refill;

    Streamer()
    {
        QObject::connect(&socket, &QTcpSocket::bytesWritten, [this](qint64 n) {
            sent += n;
            fill();
        });
        QObject::connect(&refill, &QTimer::timeout, [this] { fill(); });
    }

    void start(qint64 bytes)
    {
        total = bytes;
        refill.start(1);
        fill();
    }

    void fill()
    {
        while (queued < total && socket.state() == QAbstractSocket::ConnectedState &&
               socket.bytesToWrite() < 256 * 1024) {
            const qint64 n = qMin<qint64>(64 * 1024, total - queued);
            socket.write(pattern(queued, n));
            queued += n;
        }
    }
};

bool disconnected(const Client &c)
{
    return c.socket.state() == QAbstractSocket::UnconnectedState;
}

// A client's bytes reach the far end, and the far end's come back to it.
void expectRoundTrip(BridgeRecord &b, PtyLine &line, const char *what)
{
    Client c;
    ASSERT_TRUE(c.connectTo(b)) << what << ": a new client was not accepted";
    c.socket.write("ping");
    c.socket.flush();
    EXPECT_EQ(line.read(4), QByteArray("ping")) << what;
    ASSERT_TRUE(line.write("pong")) << what;
    ASSERT_TRUE(c.waitForBytes(4)) << what << ": no reply reached the client";
    EXPECT_EQ(c.got, QByteArray("pong")) << what;
}

class BridgeLink : public ::testing::TestWithParam<LinkCase>
{
};

void PrintTo(const LinkCase &c, std::ostream *os)
{
    *os << c.what;
}

} // namespace

TEST_P(BridgeLink, EndsReportsAndRecoversAsTheLineDoes)
{
    const LinkCase &c = GetParam();
    BridgeOnLine b;
    ASSERT_TRUE(b.line.isOpen());
    const qint64 lineHolds = b.line.capacity();
    ASSERT_TRUE(b.start());
    Client waiting;
    Streamer streamer;
    ASSERT_TRUE(waiting.connectTo(b)) << "client not accepted";
    ASSERT_TRUE(streamer.connectTo(b)) << "client not accepted";

    // While the line takes nothing the bridge holds at most 1 MiB of client
    // bytes for it; the rest waits in the clients' sockets.
    const qint64 bound = lineHolds + 1024 * 1024 + 64 * 1024;
    qint64 total = 0;
    switch (c.load) {
    case Load::Idle:
        break;
    case Load::AwaitingReply: {
        const QByteArray request("\xFF\xFF\xFD\x00\x01\x03\x00\x01\x19\x4E", 10); // a ping
        waiting.socket.write(request);
        waiting.socket.flush();
        ASSERT_EQ(b.line.read(request.size()), request) << "the request did not reach the far end";
        break;
    }
    case Load::BytesPending:
        // Endless when the line hangs up: the client is still sending then.
        total = c.fate == Fate::HangsUp ? std::numeric_limits<qint64>::max() : lineHolds + kMomentaryBytes;
        streamer.start(total);
        ASSERT_TRUE(QTest::qWaitFor([&] { return b.toSerial >= lineHolds + 64 * 1024; }, kWaitMs))
            << "the bridge took only " << b.toSerial << " bytes for a line that holds " << lineHolds;
        break;
    case Load::Flood:
        // More than the bridge and the kernel's socket buffers can take in
        // while the line takes nothing.
        total = bound + largestTcpBuffer("tcp_rmem") + largestTcpBuffer("tcp_wmem") + 1024 * 1024;
        streamer.start(total);
        ASSERT_TRUE(QTest::qWaitFor([&] { return b.fromClients >= 1024 * 1024; }, kWaitMs))
            << "the bridge took only " << b.fromClients << " bytes of the flood";
        break;
    }

    // The clients of a line that hung up learn it the only way a bare byte
    // stream can tell them: their connections end.
    const auto ended = [&] { return disconnected(waiting) && disconnected(streamer) && !b.errors.isEmpty(); };
    QElapsedTimer down;
    qint64 endedAtMs = -1;
    const double cpuBefore = otherThreadsCpuSeconds();
    down.start();
    if (c.fate == Fate::HangsUp)
        b.line.hangUp();
    while (down.elapsed() < kDownMs) {
        QTest::qWait(10);
        if (endedAtMs < 0 && c.fate == Fate::HangsUp && ended())
            endedAtMs = down.elapsed();
    }
    const double cpu = otherThreadsCpuSeconds() - cpuBefore;
    const double share = cpu / (double(down.elapsed()) / 1000);
    EXPECT_LT(share, kMaxCpuShare) << cpu << " CPU seconds in " << down.elapsed() << " ms with the line down";
    if (c.fate == Fate::HangsUp) {
        ASSERT_TRUE(endedAtMs >= 0 || QTest::qWaitFor(ended, kWaitMs))
            << "the line hung up " << down.elapsed() << " ms ago; errors: " << b.errors.size()
            << ", clients still connected: " << !disconnected(waiting) << " " << !disconnected(streamer);
        EXPECT_GE(endedAtMs, 0) << "the clients' connections ended only " << down.elapsed() << " ms after the hang-up";
        EXPECT_EQ(b.errors.size(), 1) << b.errors.join(" | ").left(2000).toStdString();
        EXPECT_TRUE(b.errors.value(0).startsWith("Serial port error: ")) << b.errors.value(0).toStdString();
        EXPECT_TRUE(QTest::qWaitFor([&] { return b.disconnected.size() == 2; }, kWaitMs))
            << "clientDisconnected came for " << b.disconnected.size() << " of 2 clients";
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return b.server.statusText().endsWith("(Serial: Disconnected) - 0 clients connected"); }, kWaitMs))
            << b.server.statusText().toStdString();
        EXPECT_TRUE(b.server.statusText().contains("(Listening: ")) << "it goes on listening";
        const QString output = b.stopAndTakeOutput();
        EXPECT_EQ(output.count("[Error]"), 1) << output.left(2000).toStdString();
        EXPECT_TRUE(output.contains("Serial connection closed\n")) << output.left(2000).toStdString();

        // A later start on a line that is there works.
        PtyLine next;
        ASSERT_TRUE(next.isOpen());
        ASSERT_TRUE(b.startOn(next.name)) << "a start after the loss failed";
        expectRoundTrip(b, next, c.what);
        b.server.stop();
        return;
    }

    if (c.load == Load::Flood) {
        EXPECT_LE(b.fromClients, bound) << "bytes the bridge took in while the line took nothing";
        EXPECT_LE(b.toSerial, bound);
        EXPECT_LT(streamer.sent, total) << "the flood went all in: nothing held the client back";
    }
    // The far end reads again: every byte arrives, in order.
    std::atomic<bool> done = false;
    QByteArray arrived;
    std::thread reading([&] {
        arrived = b.line.read(total);
        done = true;
    });
    const bool complete = QTest::qWaitFor([&] { return done.load(); }, 120000);
    reading.join(); // the read ends after 5 s without bytes at the latest
    ASSERT_TRUE(complete) << "the far end was still reading after 120 s";
    EXPECT_EQ(arrived.size(), total);
    EXPECT_TRUE(arrived == pattern(0, total)) << "the bytes arrived changed or out of order";
    EXPECT_TRUE(b.errors.isEmpty()) << b.errors.size() << " errors, the first: " << b.errors.value(0).toStdString();
    expectRoundTrip(b, b.line, c.what);
    EXPECT_TRUE(b.server.statusText().contains(QStringLiteral("(Serial: %1@57600)").arg(b.line.name)));
    const QString output = b.stopAndTakeOutput();
    EXPECT_FALSE(output.contains("[Error]")) << output.left(2000).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Cases, BridgeLink, ::testing::ValuesIn(kLinkCases), CaseNamedByWhat());
