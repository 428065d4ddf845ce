// The TCP-to-serial bridge between loopback clients and the simulated bus:
// start and stop with their lines, refused starts that leave it stopped and
// startable, bytes both ways and their order, clients coming and going, the
// status text, the limit on what it holds for a slow client, and servos pinged
// and read through it by the TCP client transport. Its serial link (a line
// that hangs up, stalls or is flooded) is BridgeLinkTest's.
#include "BridgeOnBus.h"
#include "BridgeOnLine.h"

#include "comm/CommResult.h"
#include "comm/QvxTcpClient.h"
#include "server/ServerWorker.h"
#include "tests/sim/SimPackets.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/MetaMethods.h"
#include "tests/support/QtPrinters.h"

#include <QFile>
#include <QMetaMethod>
#include <QTcpServer>
#include <gtest/gtest.h>

#include <sys/ioctl.h>

namespace {

QStringList lines(const QString &text)
{
    return text.split('\n', Qt::SkipEmptyParts);
}

QString localAddress(int fd)
{
    sockaddr_in a{};
    socklen_t size = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
    return QStringLiteral("127.0.0.1:%1").arg(ntohs(a.sin_port));
}

} // namespace

TEST(Bridge, StartAndStopPrintTheirLinesAndASecondStartIsRefused)
{
    BridgeOnBus b;
    EXPECT_EQ(b.server.statusText(), "Stopped");
    ASSERT_TRUE(b.start());
    const quint16 port = b.port();
    ASSERT_NE(port, 0);
    EXPECT_EQ(b.server.statusText(), QStringLiteral("Running on 127.0.0.1:0 (Listening: 127.0.0.1:%1, IPv4) "
                                                    "(Serial: %2@57600) - 0 clients connected")
                                         .arg(port)
                                         .arg(b.bus.portName()));
    EXPECT_FALSE(b.start());
    const QString output = b.stopAndTakeOutput();
    EXPECT_EQ(lines(output), (QStringList{
                                 "Server listening on specific host: 127.0.0.1",
                                 QStringLiteral("Serial connection established on %1 at 57600 baud").arg(b.bus.portName()),
                                 "[Success] TCP bridge server started successfully",
                                 "[WARN] Server is already running",
                                 "Serial connection closed",
                                 "TCP bridge server stopped",
                             }));
    EXPECT_EQ(b.server.statusText(), "Stopped");
    b.server.stop(); // a second stop does nothing
    EXPECT_TRUE(b.out.take().isEmpty());

    // A stopped bridge starts again with a new worker.
    ASSERT_TRUE(b.start());
    EXPECT_TRUE(b.server.statusText().startsWith("Running on 127.0.0.1:0"));
    b.server.stop();
}

TEST(Bridge, ListensOnTheIpv6Loopback)
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHostIPv6, 0))
        GTEST_SKIP() << "no IPv6 loopback here";
    probe.close();
    BridgeOnBus b;
    ASSERT_TRUE(b.start("::1"));
    EXPECT_TRUE(b.server.statusText().contains(QStringLiteral("(Listening: ::1:%1, IPv6)").arg(b.port())));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHostIPv6, b.port());
    ASSERT_TRUE(client.waitForConnected(kWaitMs)) << "no connection over IPv6";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !b.connected.isEmpty(); }, kWaitMs)) << "client not announced";
    EXPECT_EQ(b.connected, (QStringList{QStringLiteral("::1:%1").arg(client.localPort())}));
    EXPECT_TRUE(b.stopAndTakeOutput().contains(
        QStringLiteral("[INFO] New connection from ::1:%1 (IPv6)").arg(client.localPort())));
}

TEST(Bridge, HostTextsThatAreNoAddressAreRefusedAndLeaveItStopped)
{
    // "dual" alone means every interface; none of these may.
    for (const QString host : {"Dual", "DUAL", "", "localhost", "127.0.0.256", "any", "0.0.0.0.0"}) {
        BridgeOnBus b;
        EXPECT_FALSE(b.start(host)) << host.toStdString();
        EXPECT_EQ(b.server.statusText(), "Stopped") << host.toStdString();
        EXPECT_EQ(lines(QString::fromUtf8(b.out.take())),
                  (QStringList{"[Error] Specific host listen failed: invalid address"}))
            << host.toStdString();
    }
}

TEST(Bridge, AFailedListenLeavesItStoppedAndALaterStartSucceeds)
{
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
    BridgeOnBus b;
    EXPECT_FALSE(b.server.start("127.0.0.1", holder.serverPort(), b.bus.portName(), 57600));
    EXPECT_EQ(b.server.statusText(), "Stopped");
    const QString output = QString::fromUtf8(b.out.take());
    EXPECT_TRUE(output.startsWith("[Error] Specific host listen failed: ")) << output.toStdString();
    EXPECT_FALSE(output.contains("Serial connection")) << output.toStdString(); // the port was never opened
    EXPECT_FALSE(output.contains("started successfully"));

    const quint16 taken = holder.serverPort();
    holder.close();
    EXPECT_TRUE(b.server.start("127.0.0.1", taken, b.bus.portName(), 57600));
    EXPECT_EQ(b.port(), taken);
    b.server.stop();
}

TEST(Bridge, AFailedSerialOpenIsReportedTornDownAndALaterStartSucceeds)
{
    BridgeOnBus b;
    const QString missing = QStringLiteral("/dev/zephlet-no-such-port");
    ASSERT_FALSE(b.server.start("127.0.0.1", 0, missing, 57600));
    EXPECT_EQ(b.server.statusText(), "Stopped");
    const QStringList printed = lines(QString::fromUtf8(b.out.take()));
    ASSERT_EQ(printed.size(), 2);
    EXPECT_EQ(printed[0], "Server listening on specific host: 127.0.0.1");
    // No such device: the name never reached the system, whose port would have had an error of its own.
    EXPECT_EQ(printed[1], QStringLiteral("[Error] Failed to open serial port %1: no such device").arg(missing));
    // It also reaches the owner's thread as a signal.
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.errors.size() == 1; }, kWaitMs)) << b.errors.join(" | ").toStdString();
    EXPECT_EQ(b.errors[0], printed[1].mid(8));

    ASSERT_TRUE(b.start());
    EXPECT_TRUE(b.server.statusText().contains(QStringLiteral("(Serial: %1@57600)").arg(b.bus.portName())));
    b.server.stop();
}

TEST(Bridge, BytesOfTwoClientsReachTheSerialPortInTheirOrderAndComeBackToBoth)
{
    BridgeOnBus b;
    b.bus.setEcho(true); // what reaches the serial side comes straight back
    ASSERT_TRUE(b.start());
    Client first;
    Client second;
    ASSERT_TRUE(first.connectTo(b)) << "client not accepted";
    ASSERT_TRUE(second.connectTo(b)) << "client not accepted";
    EXPECT_EQ(b.server.statusText().right(22), " - 2 clients connected");

    const QList<std::pair<Client *, QByteArray>> turns{
        {&first, "one "}, {&second, "two "}, {&first, "three "}, {&second, "four"}};
    QByteArray expected;
    for (const auto &[client, bytes] : turns) {
        client->socket.write(bytes);
        expected += bytes;
        ASSERT_TRUE(first.waitForBytes(expected.size())) << "first client got " << first.got.toStdString();
        ASSERT_TRUE(second.waitForBytes(expected.size())) << "second client got " << second.got.toStdString();
    }
    EXPECT_EQ(first.got, expected);
    EXPECT_EQ(second.got, expected);
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.sentTo.value(second.address()) == expected.size(); }, kWaitMs))
        << "dataSent reported " << b.sentTo.value(second.address()) << " bytes";
    EXPECT_EQ(b.sentTo.value(first.address()), expected.size());
    EXPECT_EQ(b.fromClients, expected.size());
    EXPECT_EQ(b.toSerial, expected.size());

    const QString output = b.stopAndTakeOutput();
    EXPECT_TRUE(output.contains(QStringLiteral("Received 4 bytes from %1\n").arg(first.address())));
    EXPECT_TRUE(output.contains(QStringLiteral("Received 6 bytes from %1\n").arg(first.address())));
    EXPECT_TRUE(output.contains(QStringLiteral("Received 4 bytes from %1\n").arg(second.address())));
    EXPECT_TRUE(output.contains("Received 4 bytes from serial port\n"));
}

TEST(Bridge, SerialBytesWithoutClientsAreAnnouncedAndGoNowhere)
{
    BridgeOnBus b;
    ASSERT_TRUE(b.start());
    b.bus.sendRaw("xyz");
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.fromSerial == 3; }, kWaitMs)) << "serialDataReceived: " << b.fromSerial;
    EXPECT_TRUE(b.sentTo.isEmpty());
    EXPECT_TRUE(b.stopAndTakeOutput().contains("Received 3 bytes from serial port\n"));
}

TEST(Bridge, ClientsComingAndGoingAreAnnouncedAndCounted)
{
    BridgeOnBus b;
    ASSERT_TRUE(b.start());
    EXPECT_TRUE(b.server.statusText().endsWith(" - 0 clients connected"));
    Client staying;
    auto leaving = std::make_unique<Client>();
    ASSERT_TRUE(staying.connectTo(b)) << "client not accepted";
    ASSERT_TRUE(leaving->connectTo(b)) << "client not accepted";
    const QString gone = leaving->address();
    EXPECT_EQ(b.connected, (QStringList{staying.address(), gone}));
    EXPECT_TRUE(b.server.statusText().endsWith(" - 2 clients connected"));

    leaving->socket.abort(); // a client that dies
    leaving.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !b.disconnected.isEmpty(); }, kWaitMs)) << "the departure was not seen";
    EXPECT_EQ(b.disconnected, (QStringList{gone}));
    EXPECT_TRUE(b.server.statusText().endsWith(" - 1 clients connected"));

    // The next serial bytes go to the one left.
    b.bus.sendRaw("ping");
    ASSERT_TRUE(staying.waitForBytes(4)) << "the staying client got " << staying.got.toStdString();
    EXPECT_EQ(b.sentTo.keys(), (QStringList{staying.address()}));

    const QString output = b.stopAndTakeOutput();
    EXPECT_TRUE(output.contains(QStringLiteral("[INFO] New connection from %1 (IPv4)\n").arg(gone)));
    EXPECT_TRUE(output.contains(QStringLiteral("[INFO] Client disconnected: %1\n").arg(gone)));
}

TEST(Bridge, AClientThatResetsAtOnceIsLoggedWithItsAddressOrAsHavingNone)
{
    // A client that resets its connection right after connecting is mostly
    // gone before the bridge takes it, and the system no longer tells its
    // address then.
    BridgeOnBus b;
    ASSERT_TRUE(b.start());
    QStringList addresses;
    for (int i = 0; i < 10; ++i) {
        const int fd = connectLoopback(b.port());
        ASSERT_GE(fd, 0);
        addresses << localAddress(fd);
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
    }
    // Connections are taken in order: once this one is announced, the others were handled.
    Client last;
    ASSERT_TRUE(last.connectTo(b)) << "client not accepted";
    addresses << last.address();
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.server.statusText().endsWith(" - 1 clients connected"); }, kWaitMs))
        << b.server.statusText().toStdString();

    for (const QString &a : std::as_const(b.connected))
        EXPECT_TRUE(addresses.contains(a)) << a.toStdString();
    const QString output = b.stopAndTakeOutput();
    int announced = 0;
    int unknown = 0;
    for (const QString &line : lines(output)) {
        for (const QString &prefix :
             {QStringLiteral("[INFO] New connection from "), QStringLiteral("[INFO] Client disconnected: ")}) {
            if (!line.startsWith(prefix))
                continue;
            const QString address = line.mid(prefix.size()).section(' ', 0, 0);
            EXPECT_TRUE(addresses.contains(address)) << line.toStdString();
            announced += prefix.contains("New") ? 1 : 0;
        }
        if (line == "[INFO] A client reset its connection before it was accepted; its address is unknown")
            ++unknown;
    }
    EXPECT_EQ(announced + unknown, 11) << output.toStdString();
}

TEST(Bridge, StopsWithClientsConnectedAndTheyAreDisconnected)
{
    BridgeOnBus b;
    ASSERT_TRUE(b.start());
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<Client>());
        ASSERT_TRUE(clients.back()->connectTo(b)) << "client " << i << " not accepted";
    }
    b.bus.sendRaw("bye");
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.sentTo.size() == 4; }, kWaitMs))
        << b.sentTo.size() << " of 4 clients served";
    QStringList addresses;
    for (const auto &c : clients)
        addresses << c->address();
    const QString output = b.stopAndTakeOutput(); // must not hang on the client list
    for (const auto &c : clients)
        EXPECT_TRUE(QTest::qWaitFor([&] { return c->socket.state() == QAbstractSocket::UnconnectedState; }, kWaitMs))
            << c->address().toStdString() << " still connected after the stop";
    // Each departure is announced before the stop is.
    QStringList tail{"Serial connection closed"};
    for (const QString &a : addresses)
        tail << QStringLiteral("[INFO] Client disconnected: %1").arg(a);
    tail << "TCP bridge server stopped";
    EXPECT_EQ(lines(output).mid(lines(output).size() - tail.size()), tail);
}

namespace {

// The bytes the kernel holds on the loopback connection between the bridge,
// listening at `bridgePort`, and the client socket `clientFd`: what waits in
// the client's receive queue and in the send queue of the bridge's end (from
// the system's table of TCP connections). -1 when the connection is not there.
qint64 kernelHeld(int clientFd, quint16 bridgePort)
{
    int inQueue = 0;
    if (::ioctl(clientFd, FIONREAD, &inQueue) != 0)
        return -1;
    sockaddr_in own{};
    socklen_t size = sizeof own;
    ::getsockname(clientFd, reinterpret_cast<sockaddr *>(&own), &size);
    const quint16 clientPort = ntohs(own.sin_port);
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return -1;
    // "sl local_address rem_address st tx_queue:rx_queue ...", addresses as hex "ADDR:PORT"
    const auto portOf = [](const QByteArray &address) {
        return address.mid(address.indexOf(':') + 1).toUInt(nullptr, 16);
    };
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 5 || portOf(fields.at(1)) != bridgePort || portOf(fields.at(2)) != clientPort)
            continue;
        return inQueue + fields.at(4).left(fields.at(4).indexOf(':')).toLongLong(nullptr, 16);
    }
    return -1;
}

} // namespace

TEST(Bridge, AClientThatFallsAMebibyteBehindIsDisconnectedAtThatBound)
{
    BridgeOnBus b;
    ASSERT_TRUE(b.start());
    const quint16 port = b.port();
    Client reader;
    ASSERT_TRUE(reader.connectTo(b)) << "client not accepted";
    const int stalled = connectLoopback(port, 4096); // connects, never reads
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.connected.size() == 2; }, kWaitMs)) << "client not accepted";
    const QString stalledAddress = localAddress(stalled);

    // Serial traffic in steps until the stalled client is dropped. After each
    // step what the bridge holds for it is what it was sent less what the
    // kernel holds on its connection; the bridge must keep it while that is
    // at most 1 MiB and drop it in the step that takes it past. (Bytes the
    // client has but whose receipt the bridge's end has not yet heard of are
    // counted twice, so the held bytes come out a little low: one step of slack.)
    const qint64 bound = 1024 * 1024;
    const qint64 step = 16 * 1024;
    qint64 sent = 0;
    qint64 heldBefore = 0;
    while (b.disconnected.isEmpty()) {
        ASSERT_LT(sent, 16 * bound) << "the stalled client was never dropped";
        b.bus.sendRaw(pattern(sent, step));
        sent += step;
        ASSERT_TRUE(QTest::qWaitFor([&] { return b.fromSerial >= sent || !b.disconnected.isEmpty(); }, kWaitMs))
            << "the bridge read " << b.fromSerial << " of " << sent << " serial bytes";
        if (!b.disconnected.isEmpty())
            break;
        const qint64 kernel = kernelHeld(stalled, port);
        ASSERT_GE(kernel, 0) << "the stalled client's connection is not in the system's table";
        const qint64 held = sent - kernel;
        ASSERT_LE(held, bound) << "still connected while the bridge holds " << held << " bytes for it";
        heldBefore = held;
    }
    EXPECT_GT(heldBefore + 2 * step, bound) << "dropped while the bridge held about " << heldBefore + step << " bytes";
    EXPECT_EQ(b.disconnected, (QStringList{stalledAddress}));
    // The client that reads keeps every byte, in order.
    ASSERT_TRUE(reader.waitForBytes(sent)) << "the reading client got " << reader.got.size() << " of " << sent;
    EXPECT_TRUE(reader.got == pattern(0, sent));
    EXPECT_TRUE(b.server.statusText().endsWith(" - 1 clients connected"));
    ::close(stalled);

    const QString output = b.stopAndTakeOutput();
    EXPECT_TRUE(output.contains(
        QStringLiteral("[Error] Client %1 disconnected: more than 1048576 bytes not yet sent\n").arg(stalledAddress)));
    EXPECT_TRUE(output.contains(QStringLiteral("[INFO] Client disconnected: %1\n").arg(stalledAddress)));
}

TEST(Bridge, AClientThatLeavesWhileHeldBackStillHasAllItsBytesDelivered)
{
    BridgeOnLine b;
    ASSERT_TRUE(b.line.isOpen());
    const qint64 lineHolds = b.line.capacity();
    ASSERT_TRUE(b.start());

    // The line and the backlog fill up; 32 KiB wait in the client's socket
    // when it leaves.
    const qint64 total = lineHolds + ServerWorker::kMaxSerialBacklog + 32 * 1024;
    const int sender = connectLoopback(b.port());
    ASSERT_GE(sender, 0);
    const QByteArray bytes = pattern(0, total);
    ASSERT_EQ(sendAll(sender, bytes), total) << "the bridge stopped taking the client's bytes";
    ::close(sender);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !b.disconnected.isEmpty(); }, kWaitMs)) << "the departure was not seen";

    const QByteArray arrived = b.line.read(total);
    EXPECT_EQ(arrived.size(), total);
    EXPECT_TRUE(arrived == bytes);
    b.server.stop();
}

TEST(Bridge, TcpClientPingsAndReadsServosThroughIt)
{
    BridgeOnBus b;
    b.bus.addDevice(sim::Device::protocol2(1, 1020, 53));
    b.bus.setMemory(1, 132, sim::fromHex("00 08 00 00"));
    b.bus.addDevice(sim::Device::protocol1(3, 12, 24));
    ASSERT_TRUE(b.start());

    QvxTcpClient client;
    client.setTimeout(1000); // slack for a loaded machine
    client.setConnectionSetting(QvxComm::KeyNetworkAddress, "127.0.0.1");
    client.setConnectionSetting(QvxComm::KeyNetworkPort, b.port());
    // The connect step: open the stored peer and see servo 1 answer.
    bool connected = false;
    for (int attempt = 0; attempt < 3 && !connected; ++attempt) // the connect window is 100 ms
        connected = client.connectQvx(1);
    ASSERT_TRUE(connected);
    EXPECT_EQ(client.state, QvxComm::Connected);

    ushort model = 0;
    uchar firmware = 0;
    uchar error = 0xFF;
    EXPECT_EQ(client.ping(1, &model, &firmware, &error), COMM_OK);
    EXPECT_EQ(model, 1020);
    EXPECT_EQ(firmware, 53);
    EXPECT_EQ(error, 0);
    int value = 0;
    EXPECT_EQ(client.read4Byte(1, 132, &value, &error), COMM_OK);
    EXPECT_EQ(value, 2048);
    EXPECT_EQ(client.write1Byte(1, 64, 1, &error), COMM_OK);
    EXPECT_EQ(b.bus.memory(1, 64, 1), QByteArray(1, '\x01'));

    // A polling read through the link check, and the protocol 1.0 engine.
    QList<QByteArray> updates;
    QObject::connect(&client, &QvxComm::updateCompleted,
                     [&](int r, uchar, ushort, const QByteArray &d) { updates << (r == COMM_OK ? d : QByteArray()); });
    EXPECT_EQ(client.readUpdate(1, 8), COMM_OK);
    ASSERT_EQ(updates.size(), 1);
    EXPECT_EQ(updates.first().left(2), sim::fromHex("FC 03")); // model 1020 at address 0
    client.setProtocolVersion("1.0");
    EXPECT_EQ(client.ping(3, &model, &firmware, &error), COMM_OK);
    EXPECT_EQ(model, 12);

    // Through the meta-object system, as a front end would.
    int result = 0;
    QList<uint> reads;
    QObject::connect(&client, &QvxComm::read4ByteCompleted, [&](int, uchar, ushort, uint v) { reads << v; });
    ASSERT_TRUE(QMetaObject::invokeMethod(&client, "read4ByteTxRx", Q_RETURN_ARG(int, result), Q_ARG(uchar, 1),
                                          Q_ARG(ushort, 132), Q_ARG(QString, "2.0")));
    EXPECT_EQ(result, COMM_OK);
    EXPECT_EQ(reads, (QList<uint>{2048}));
    EXPECT_EQ(client.version(), "1.0"); // the call's protocol was for that call only

    QStringList closed;
    QObject::connect(&client, &QvxComm::closed, [&] { closed << "closed"; });
    client.disconnectQvx();
    EXPECT_EQ(closed, (QStringList{"closed"}));
    EXPECT_EQ(client.state, QvxComm::Disconnected);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !b.disconnected.isEmpty(); }, kWaitMs)) << "the departure was not seen";
    b.server.stop();
}

TEST(Bridge, MetaObjectsShowTheirSignalsAndSlotsInOrder)
{
    const QStringList shared{
        "clientConnected(QString)", "clientDisconnected(QString)", "dataReceived(QString,qlonglong)",
        "dataSent(QString,qlonglong)", "serialDataReceived(qlonglong)", "serialDataSent(qlonglong)",
        "errorOccurred(QString)"};
    EXPECT_EQ(ownMethods(ServerWorker::staticMetaObject, QMetaMethod::Signal), shared + QStringList{"statusChanged()"});
    EXPECT_EQ(ownMethods(ServerWorker::staticMetaObject, QMetaMethod::Slot),
              (QStringList{"handleNewConnection()", "handleClientDisconnected()", "handleClientData()",
                           "handleSerialData()", "handleSerialError(QSerialPort::SerialPortError)"}));
    EXPECT_EQ(ownMethods(TCPServer::staticMetaObject, QMetaMethod::Signal), shared);
    EXPECT_EQ(ownMethods(TCPServer::staticMetaObject, QMetaMethod::Slot), (QStringList{"handleWorkerError(QString)"}));
    // Slot 8 of the worker is the first after its eight signals.
    const QMetaObject &w = ServerWorker::staticMetaObject;
    EXPECT_EQ(w.method(w.methodOffset() + 8).name(), "handleNewConnection");

    ServerWorker worker; // registers the error types it passes along
    EXPECT_TRUE(QMetaType::fromName("QSerialPort::SerialPortError").isValid());
    EXPECT_TRUE(QMetaType::fromName("QAbstractSocket::SocketError").isValid());
    EXPECT_EQ(worker.statusText(), "Stopped");
    EXPECT_EQ(ServerWorker::peerText(nullptr), QString());
    EXPECT_EQ(ServerWorker::addressFamilyText(QAbstractSocket::IPv6Protocol), "IPv6");
    EXPECT_EQ(ServerWorker::addressFamilyText(QAbstractSocket::AnyIPProtocol), "IPv4");

    // A worker error reaches the owner through its slot.
    TCPServer server;
    QStringList errors;
    QObject::connect(&server, &TCPServer::errorOccurred, [&](const QString &e) { errors << e; });
    ASSERT_TRUE(QMetaObject::invokeMethod(&server, "handleWorkerError", Q_ARG(QString, "boom")));
    EXPECT_EQ(errors, (QStringList{"boom"}));
}
