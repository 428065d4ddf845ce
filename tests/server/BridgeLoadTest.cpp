// The bridge under load: ten loopback clients send and receive for ten
// seconds through the simulated bus as a bare echo, while an eleventh
// connects, sends and drops again and again. Every client that stays gets the
// whole echoed stream with each sender's bytes complete and in order, the
// heap does not grow with the traffic, and the bridge stops cleanly with the
// clients still connected.
#include "ListeningPort.h"

#include "server/TCPServer.h"
#include "tests/sim/SimBus.h"
#include "tests/support/QuietOutput.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime: the bytes the program has allocated and not freed
// (freed blocks waiting in quarantine do not count).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace {

constexpr int kSenders = 10;
constexpr int kDropperTag = kSenders; // the high nibble of the dropping client's bytes
constexpr int kChunk = 48;            // bytes per send
constexpr int kSendEveryMs = 10;
constexpr int kRunMs = 10000;
constexpr int kWaitMs = 120000; // draining on a loaded machine

// Bytes the program holds on its heap now.
qint64 heapInUse()
{
#if defined(__SANITIZE_ADDRESS__)
    return static_cast<qint64>(__sanitizer_get_current_allocated_bytes());
#else
    return static_cast<qint64>(mallinfo2().uordblks);
#endif
}

// Sender s's stream: its tag in the high nibble, a pseudo-random low nibble,
// so that every receiver can tell the senders apart in the merged echo and
// see a lost, doubled or reordered piece of any one of them.
struct Stream
{
    quint32 state;
    explicit Stream(int sender) : state(0x9E3779B9u * quint32(sender + 1)) {}
    char next(int sender)
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<char>((sender << 4) | (state & 0x0F));
    }
};

struct Peer
{
    int index = 0;
    QTcpSocket socket;
    Stream out{0};
    qint64 sent = 0;
    std::vector<Stream> expected;        // per sender, what comes next
    std::array<qint64, kSenders> got{};  // per sender, bytes checked
    qint64 mismatches = 0;
    qint64 strangers = 0; // bytes that belong to no sender

    explicit Peer(int i) : index(i), out(i)
    {
        for (int s = 0; s < kSenders; ++s)
            expected.emplace_back(s);
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { check(socket.readAll()); });
    }

    void send()
    {
        QByteArray bytes(kChunk, Qt::Uninitialized);
        for (char &b : bytes)
            b = out.next(index);
        socket.write(bytes);
        sent += kChunk;
    }

    void check(const QByteArray &bytes)
    {
        for (const char b : bytes) {
            const int sender = (quint8(b) >> 4);
            if (sender == kDropperTag)
                continue;
            if (sender >= kSenders) {
                ++strangers;
                continue;
            }
            if (expected[sender].next(sender) != b)
                ++mismatches;
            ++got[sender];
        }
    }
};

} // namespace

TEST(BridgeLoad, TenClientsAndOneThatComesAndGoes)
{
    sim::SimBus bus;
    bus.setEcho(true);
    QuietOutput quiet; // a line per chunk
    TCPServer server;
    int connects = 0;
    int disconnects = 0;
    QObject::connect(&server, &TCPServer::clientConnected, [&] { ++connects; });
    QObject::connect(&server, &TCPServer::clientDisconnected, [&] { ++disconnects; });
    ASSERT_TRUE(server.start("127.0.0.1", 0, bus.portName(), 1000000));
    const quint16 port = listeningPort(server);
    ASSERT_NE(port, 0);

    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < kSenders; ++i) {
        peers.push_back(std::make_unique<Peer>(i));
        peers.back()->socket.connectToHost(QHostAddress::LocalHost, port);
        ASSERT_TRUE(peers.back()->socket.waitForConnected(kWaitMs)) << "client " << i << " could not connect";
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return connects == kSenders; }, kWaitMs)) << connects << " clients announced";

    QTimer sending;
    QObject::connect(&sending, &QTimer::timeout, [&] {
        for (auto &p : peers)
            p->send();
    });

    // The client that comes and goes: connect, send, drop, again.
    int dropCycles = 0;
    std::unique_ptr<QTcpSocket> dropper;
    QTimer dropping;
    dropping.setSingleShot(true);
    QObject::connect(&dropping, &QTimer::timeout, [&] {
        if (dropper) {
            // Alternately a reset and an orderly close.
            if (dropCycles % 2)
                dropper->abort();
            else
                dropper->disconnectFromHost();
            dropper.reset();
            ++dropCycles;
        } else {
            dropper = std::make_unique<QTcpSocket>();
            QObject::connect(dropper.get(), &QTcpSocket::connected, [s = dropper.get()] {
                s->write(QByteArray(kChunk, char(kDropperTag << 4)));
            });
            dropper->connectToHost(QHostAddress::LocalHost, port);
        }
        dropping.start(25);
    });

    QElapsedTimer clock;
    clock.start();
    sending.start(kSendEveryMs);
    dropping.start(0);
    qint64 heapEarly = -1;
    while (clock.elapsed() < kRunMs) {
        QTest::qWait(100);
        if (heapEarly < 0 && clock.elapsed() >= 3000)
            heapEarly = heapInUse();
    }
    const qint64 heapLate = heapInUse();
    sending.stop();
    dropping.stop();
    if (dropper) {
        dropper->abort();
        dropper.reset();
        ++dropCycles;
    }

    // Every staying client receives every sender's whole stream, in order.
    qint64 sentEach = peers.front()->sent;
    for (auto &p : peers)
        EXPECT_EQ(p->sent, sentEach);
    const bool drained = QTest::qWaitFor(
        [&] {
            for (auto &p : peers) {
                for (int s = 0; s < kSenders; ++s) {
                    if (p->got[s] < peers[s]->sent)
                        return false;
                }
            }
            return true;
        },
        kWaitMs);
    EXPECT_TRUE(drained) << "the echoed streams did not all arrive within " << kWaitMs << " ms";
    for (auto &p : peers) {
        EXPECT_EQ(p->mismatches, 0) << "client " << p->index;
        EXPECT_EQ(p->strangers, 0) << "client " << p->index;
        for (int s = 0; s < kSenders; ++s)
            EXPECT_EQ(p->got[s], peers[s]->sent) << "client " << p->index << " from " << s;
        EXPECT_EQ(p->socket.state(), QAbstractSocket::ConnectedState) << "client " << p->index;
    }
    EXPECT_GE(dropCycles, 20);

    // The dropping client's connections are all gone again; the heap did not
    // grow with the traffic and the connections that came and went.
    ASSERT_TRUE(QTest::qWaitFor([&] { return disconnects == connects - kSenders; }, kWaitMs))
        << disconnects << " departures announced for " << connects - kSenders << " connections that came and went";
    EXPECT_TRUE(server.statusText().endsWith(QStringLiteral(" - %1 clients connected").arg(kSenders)));
    EXPECT_LT(heapLate - heapEarly, 4 * 1024 * 1024) << heapEarly << " -> " << heapLate;

    // A clean stop with every client still connected.
    server.stop();
    EXPECT_EQ(server.statusText(), "Stopped");
    const auto stillConnected = [&] {
        return std::count_if(peers.begin(), peers.end(),
                             [](const auto &p) { return p->socket.state() != QAbstractSocket::UnconnectedState; });
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return stillConnected() == 0; }, kWaitMs))
        << stillConnected() << " clients still connected after the stop";
}
