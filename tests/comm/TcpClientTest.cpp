// The TCP client transport on its own: its settings (no baud rate, the
// latency floor, the engine that gets the socket), open and close with their
// signals and waits, the polling reads' link check, and its slots as the
// meta-object system shows them. Servos reached through TCP are tested with
// the bridge (tests/server).
#include "comm/CommResult.h"
#include "comm/QvxTcpClient.h"
#include "tests/support/MetaMethods.h"
#include "tests/support/QtPrinters.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <gtest/gtest.h>

namespace {

// A loopback port on which nothing listens: taken from the system, then given back.
quint16 deadPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The link signals of a transport, in the order they came.
struct LinkEvents
{
    QObject context; // the recording ends with this object, even if the transport outlives it
    QStringList events;
    explicit LinkEvents(QvxComm *t)
    {
        QObject::connect(t, &QvxComm::openSucceed, &context, [this](const QString &h, int p) {
            events << QStringLiteral("openSucceed %1 %2").arg(h).arg(p);
        });
        QObject::connect(t, &QvxComm::openFailed, &context, [this](const QString &h, int p) {
            events << QStringLiteral("openFailed %1 %2").arg(h).arg(p);
        });
        QObject::connect(t, &QvxComm::closed, &context, [this] { events << QStringLiteral("closed"); });
        QObject::connect(t, &QvxComm::stateChanged, &context,
                         [this](QvxComm::State s) { events << QStringLiteral("stateChanged %1").arg(int(s)); });
    }
};

} // namespace

TEST(TcpClient, HasNoBaudRateAndKeepsTheLatencyFloor)
{
    QvxTcpClient client;
    EXPECT_EQ(client.connectionType, 1);
    EXPECT_FALSE(client.isOpen());
    EXPECT_FALSE(client.setBaudRate(115200));
    // The engines keep their default rate; only the latency moves.
    EXPECT_EQ(client.qvx_protocol2->baudRate, 57600);
    EXPECT_EQ(client.extraLatency, QvxTcpClient::kMinLatencyMs);

    const struct { int set; int stored; } cases[] = {{20, 100}, {0, 100}, {-5, 100}, {100, 100}, {250, 250}};
    for (const auto &c : cases) {
        client.setTimeout(c.set);
        EXPECT_EQ(client.extraLatency, c.stored) << c.set;
        EXPECT_EQ(client.qvx_protocol1->extraLatency, c.stored) << c.set;
        EXPECT_EQ(client.qvx_protocol2->extraLatency, c.stored) << c.set;
    }
}

TEST(TcpClient, OnlyTheCurrentEngineGetsTheSocket)
{
    QvxTcpClient client;
    EXPECT_EQ(client.version(), "2.0");
    EXPECT_EQ(client.qvx_protocol2->device, client.tcp_socket);
    EXPECT_EQ(client.qvx_protocol1->device, nullptr);

    client.setTimeout(20);
    client.setProtocolVersion("1.0");
    EXPECT_EQ(client.version(), "1.0");
    EXPECT_EQ(client.qvx_protocol, client.qvx_protocol1);
    EXPECT_EQ(client.qvx_protocol1->device, client.tcp_socket);
    EXPECT_EQ(client.qvx_protocol1->extraLatency, 100); // the switch keeps the floor

    client.setProtocolVersion("MODBUS"); // not an engine: nothing changes
    EXPECT_EQ(client.version(), "1.0");
}

TEST(TcpClient, OpenToNoServerFailsAfterTheCloseAndConnectWindows)
{
    QvxTcpClient client;
    LinkEvents e(&client);
    const quint16 port = deadPort();
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(client.open("127.0.0.1", port));
    // The close ahead of the open waits 500 ms, the connect window 100 ms
    // (timers may fire a little early, a loaded machine makes it later).
    EXPECT_GE(t.elapsed(), 500);
    EXPECT_LT(t.elapsed(), 10000);
    EXPECT_EQ(e.events, (QStringList{QStringLiteral("openFailed 127.0.0.1 %1").arg(port)}));
    EXPECT_FALSE(client.isOpen());
    EXPECT_EQ(client.tcp_socket->state(), QAbstractSocket::UnconnectedState);
}

TEST(TcpClient, OpenRefusesPortsOutsideTheSixteenBitRange)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    QvxTcpClient client;
    LinkEvents e(&client);
    // 65536 + port would reach the listening port if it wrapped.
    for (int port : {0, -1, 65536 + int(server.serverPort())})
        EXPECT_FALSE(client.open("127.0.0.1", port)) << port;
    EXPECT_EQ(e.events.size(), 3);
    EXPECT_EQ(server.hasPendingConnections(), false);
}

TEST(TcpClient, CloseWithoutConnectionWaitsAndEmitsNothing)
{
    QvxTcpClient client;
    LinkEvents e(&client);
    QElapsedTimer t;
    t.start();
    client.close();
    EXPECT_GE(t.elapsed(), 450);
    EXPECT_TRUE(e.events.isEmpty());
}

TEST(TcpClient, OpenAndCloseReportThroughTheSocket)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    const int port = server.serverPort();
    QvxTcpClient client;
    LinkEvents e(&client);
    client.pollGaps << 5;
    client.lastPollTick = 77;

    ASSERT_TRUE(client.open("127.0.0.1", port));
    EXPECT_TRUE(client.isOpen());
    EXPECT_EQ(client.lastPollTick, 0);
    EXPECT_TRUE(client.pollGaps.isEmpty());
    // open stores nothing: the polling reads and the connect step use the settings.
    EXPECT_EQ(client.networkAddress, QString());
    EXPECT_EQ(client.networkPort, 0);
    EXPECT_EQ(e.events, (QStringList{QStringLiteral("openSucceed 127.0.0.1 %1").arg(port)}));

    ASSERT_TRUE(QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 5000));
    delete server.nextPendingConnection();

    e.events.clear();
    client.close();
    EXPECT_FALSE(client.isOpen());
    EXPECT_EQ(e.events, (QStringList{"closed"})); // the state was never Connected

    // The peer ending the connection runs the same slot.
    ASSERT_TRUE(client.open("127.0.0.1", port));
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 5000));
    QTcpSocket *peer = server.nextPendingConnection();
    client.setState(QvxComm::Connected);
    e.events.clear();
    peer->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !client.isOpen(); }, 5000));
    EXPECT_EQ(e.events, (QStringList{"closed", "stateChanged 0"}));
}

TEST(TcpClient, DestroyingAnOpenClientReportsTheClose)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    QStringList events;
    {
        QvxTcpClient client;
        ASSERT_TRUE(client.open("127.0.0.1", server.serverPort()));
        QObject::connect(&client, &QvxComm::closed, [&] { events << "closed"; });
    }
    EXPECT_EQ(events, (QStringList{"closed"}));
}

TEST(TcpClient, PollingReadsWithoutAReachableLinkGiveNotAvailableSilently)
{
    QvxTcpClient client;
    client.setConnectionSetting(QvxComm::KeyNetworkAddress, "127.0.0.1");
    client.setConnectionSetting(QvxComm::KeyNetworkPort, deadPort());
    QSignalSpy updates(&client, &QvxComm::updateCompleted);
    QSignalSpy graphs(&client, &QvxComm::graphReadCompleted);
    QSignalSpy multi(&client, &QvxComm::multiGraphReadCompleted);
    EXPECT_EQ(client.readUpdate(1, 4), COMM_NOT_AVAILABLE);
    EXPECT_EQ(client.readGraph(1, 132, 4), COMM_NOT_AVAILABLE);
    EXPECT_EQ(client.readMultiGraph({}), COMM_NOT_AVAILABLE);
    // A reply longer than the receive buffer is refused before any link work.
    EXPECT_EQ(client.readUpdate(1, QvxProtocolComm::kRxBufferSize + 1), COMM_UNSUPPORTED);
    EXPECT_EQ(updates.count() + graphs.count() + multi.count(), 0);
    EXPECT_EQ(client.lastPollTick, 0);
}

TEST(TcpClient, PollingReadReconnectsToTheStoredPeer)
{
    QTcpServer stored;
    QTcpServer other;
    ASSERT_TRUE(stored.listen(QHostAddress::LocalHost, 0));
    ASSERT_TRUE(other.listen(QHostAddress::LocalHost, 0));
    QvxTcpClient client;
    client.setConnectionSetting(QvxComm::KeyNetworkAddress, "127.0.0.1");
    client.setConnectionSetting(QvxComm::KeyNetworkPort, stored.serverPort());
    ASSERT_TRUE(client.open("127.0.0.1", other.serverPort()));
    client.setTimeout(100);
    client.qvx_protocol2->extraLatency = 0; // nobody answers; keep the wait short

    QSignalSpy updates(&client, &QvxComm::updateCompleted);
    EXPECT_EQ(client.readUpdate(1, 4), COMM_RX_TIMEOUT);
    EXPECT_EQ(client.tcp_socket->peerPort(), stored.serverPort());
    EXPECT_EQ(updates.count(), 1);
    EXPECT_GT(client.lastPollTick, 0);
}

TEST(TcpClient, ConnectStepUsesTheStoredPeerAndFailsClosed)
{
    QvxTcpClient client;
    LinkEvents e(&client);
    client.setConnectionSetting(QvxComm::KeyNetworkAddress, "127.0.0.1");
    client.setConnectionSetting(QvxComm::KeyNetworkPort, deadPort());
    EXPECT_FALSE(client.connectQvx(1));
    EXPECT_EQ(client.state, QvxComm::Disconnected);
    ASSERT_FALSE(e.events.isEmpty());
    EXPECT_TRUE(e.events.first().startsWith("openFailed 127.0.0.1"));
}

TEST(TcpClient, MetaObjectShowsItsSlotsAndNoSignals)
{
    EXPECT_STREQ(QvxTcpClient::staticMetaObject.className(), "QvxTcpClient");
    EXPECT_EQ(QvxTcpClient::staticMetaObject.superClass(), &QvxProtocolComm::staticMetaObject);
    EXPECT_EQ(ownMethods(QvxTcpClient::staticMetaObject, QMetaMethod::Slot),
              (QStringList{"open(QString,int)", "close()", "onConnected()", "onDisconnected()"}));
    EXPECT_TRUE(ownMethods(QvxTcpClient::staticMetaObject, QMetaMethod::Signal).isEmpty());

    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    QvxTcpClient client;
    bool opened = false;
    ASSERT_TRUE(QMetaObject::invokeMethod(&client, "open", Q_RETURN_ARG(bool, opened),
                                          Q_ARG(QString, "127.0.0.1"), Q_ARG(int, server.serverPort())));
    EXPECT_TRUE(opened);
    ASSERT_TRUE(QMetaObject::invokeMethod(&client, "close"));
    EXPECT_FALSE(client.isOpen());
}
