// The TCP-to-serial bridge between loopback clients and the simulated bus:
// start and stop with their lines, refused starts that leave it stopped and
// startable, bytes both ways and their order, clients coming and going, the
// status text, the limits on what it holds for slow peers, and servos pinged
// and read through it by the TCP client transport.
#include "BridgeOnBus.h"

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

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

QStringList lines(const QString &text)
{
    return text.split('\n', Qt::SkipEmptyParts);
}

// Byte i of a test stream: a pattern whose shifts and gaps show.
char patternByte(qint64 i)
{
    return static_cast<char>((i * 7 + i / 251) & 0xFF);
}

QByteArray pattern(qint64 from, qint64 count)
{
    QByteArray out(count, Qt::Uninitialized);
    for (qint64 i = 0; i < count; ++i)
        out[i] = patternByte(from + i);
    return out;
}

QString localAddress(int fd)
{
    sockaddr_in a{};
    socklen_t size = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
    return QStringLiteral("127.0.0.1:%1").arg(ntohs(a.sin_port));
}

// A serial port whose far end reads nothing until asked to: the master of a
// raw pty pair.
struct StalledLine
{
    int master = -1;
    int slave = -1;
    QString name;

    StalledLine()
    {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return;
        termios t{};
        ::tcgetattr(slave, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
        char path[128] = {};
        ::ttyname_r(slave, path, sizeof path);
        name = QString::fromLocal8Bit(path);
    }
    ~StalledLine()
    {
        for (int fd : {master, slave}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    bool isOpen() const { return master >= 0; }

    // How many bytes the line takes before a writer must wait; it is empty again afterwards.
    qint64 capacity() const
    {
        const int writer = ::open(name.toLocal8Bit().constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        const QByteArray block(4096, 'x');
        qint64 held = 0;
        for (ssize_t n; (n = ::write(writer, block.constData(), size_t(block.size()))) > 0;)
            held += n;
        ::close(writer);
        readAll(held);
        return held;
    }

    // Reads from the far end until `count` bytes came or nothing more comes for 5 s.
    QByteArray readAll(qint64 count) const
    {
        QByteArray out;
        char chunk[65536];
        while (out.size() < count) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                break;
            const ssize_t n = ::read(master, chunk, sizeof chunk);
            if (n <= 0)
                break;
            out.append(chunk, n);
        }
        return out;
    }
};

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
    ASSERT_TRUE(client.waitForConnected(kWaitMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !b.connected.isEmpty(); }, kWaitMs));
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
    ASSERT_EQ(printed.size(), 3);
    EXPECT_EQ(printed[0], "Server listening on specific host: 127.0.0.1");
    // The port reports its own error on the way, then the open's failure follows.
    const QString failure = QStringLiteral("Failed to open serial port %1: ").arg(missing);
    EXPECT_TRUE(printed[1].startsWith("[Error] Serial port error: ")) << printed[1].toStdString();
    EXPECT_TRUE(printed[2].startsWith("[Error] " + failure)) << printed[2].toStdString();
    // Both also reach the owner's thread as signals.
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.errors.size() == 2; }, kWaitMs));
    EXPECT_EQ(b.errors[1], printed[2].mid(8));

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
    ASSERT_TRUE(first.connectTo(b));
    ASSERT_TRUE(second.connectTo(b));
    EXPECT_EQ(b.server.statusText().right(22), " - 2 clients connected");

    const QList<std::pair<Client *, QByteArray>> turns{
        {&first, "one "}, {&second, "two "}, {&first, "three "}, {&second, "four"}};
    QByteArray expected;
    for (const auto &[client, bytes] : turns) {
        client->socket.write(bytes);
        expected += bytes;
        ASSERT_TRUE(first.waitForBytes(expected.size()));
        ASSERT_TRUE(second.waitForBytes(expected.size()));
    }
    EXPECT_EQ(first.got, expected);
    EXPECT_EQ(second.got, expected);
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.sentTo.value(second.address()) == expected.size(); }, kWaitMs));
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
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.fromSerial == 3; }, kWaitMs));
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
    ASSERT_TRUE(staying.connectTo(b));
    ASSERT_TRUE(leaving->connectTo(b));
    const QString gone = leaving->address();
    EXPECT_EQ(b.connected, (QStringList{staying.address(), gone}));
    EXPECT_TRUE(b.server.statusText().endsWith(" - 2 clients connected"));

    leaving->socket.abort(); // a client that dies
    leaving.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !b.disconnected.isEmpty(); }, kWaitMs));
    EXPECT_EQ(b.disconnected, (QStringList{gone}));
    EXPECT_TRUE(b.server.statusText().endsWith(" - 1 clients connected"));

    // The next serial bytes go to the one left.
    b.bus.sendRaw("ping");
    ASSERT_TRUE(staying.waitForBytes(4));
    EXPECT_EQ(b.sentTo.keys(), (QStringList{staying.address()}));

    const QString output = b.stopAndTakeOutput();
    EXPECT_TRUE(output.contains(QStringLiteral("[INFO] New connection from %1 (IPv4)\n").arg(gone)));
    EXPECT_TRUE(output.contains(QStringLiteral("[INFO] Client disconnected: %1\n").arg(gone)));
}

TEST(Bridge, StopsWithClientsConnectedAndTheyAreDisconnected)
{
    BridgeOnBus b;
    ASSERT_TRUE(b.start());
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<Client>());
        ASSERT_TRUE(clients.back()->connectTo(b));
    }
    b.bus.sendRaw("bye");
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.sentTo.size() == 4; }, kWaitMs));
    QStringList addresses;
    for (const auto &c : clients)
        addresses << c->address();
    const QString output = b.stopAndTakeOutput(); // must not hang on the client list
    for (const auto &c : clients)
        EXPECT_TRUE(QTest::qWaitFor([&] { return c->socket.state() == QAbstractSocket::UnconnectedState; }, kWaitMs));
    // Each departure is announced before the stop is.
    QStringList tail{"Serial connection closed"};
    for (const QString &a : addresses)
        tail << QStringLiteral("[INFO] Client disconnected: %1").arg(a);
    tail << "TCP bridge server stopped";
    EXPECT_EQ(lines(output).mid(lines(output).size() - tail.size()), tail);
}

TEST(Bridge, AClientThatFallsAMebibyteBehindIsDisconnected)
{
    BridgeOnBus b;
    ASSERT_TRUE(b.start());
    Client reader;
    ASSERT_TRUE(reader.connectTo(b));
    const int stalled = connectLoopback(b.port(), 4096); // connects, never reads
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.connected.size() == 2; }, kWaitMs));
    const QString stalledAddress = localAddress(stalled);

    // Serial traffic until the stalled client is dropped: its kernel buffers
    // take a few MiB first, then the bridge holds at most 1 MiB for it.
    qint64 sent = 0;
    const qint64 chunk = 64 * 1024;
    while (b.disconnected.isEmpty() && sent < 256 * 1024 * 1024) {
        b.bus.sendRaw(pattern(sent, chunk));
        sent += chunk;
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !b.disconnected.isEmpty(); }, kWaitMs));
    EXPECT_EQ(b.disconnected, (QStringList{stalledAddress}));
    // The client that reads keeps every byte, in order.
    ASSERT_TRUE(reader.waitForBytes(sent));
    EXPECT_TRUE(reader.got == pattern(0, sent));
    EXPECT_TRUE(b.server.statusText().endsWith(" - 1 clients connected"));
    ::close(stalled);

    const QString output = b.stopAndTakeOutput();
    EXPECT_TRUE(output.contains(
        QStringLiteral("[Error] Client %1 disconnected: more than 1048576 bytes not yet sent\n").arg(stalledAddress)));
    EXPECT_TRUE(output.contains(QStringLiteral("[INFO] Client disconnected: %1\n").arg(stalledAddress)));
}

namespace {

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

} // namespace

TEST(Bridge, ClientBytesWaitWhileTheSerialPortCannotKeepUpAndNoneAreLost)
{
    StalledLine line;
    ASSERT_TRUE(line.isOpen());
    const int master = line.master;

    BridgeOnBus b;
    ASSERT_TRUE(b.server.start("127.0.0.1", 0, line.name, 57600));
    // The bridge holds back at most `bound`; more than that and what the
    // kernel's socket buffers can grow to cannot all be sent while it waits.
    const qint64 bound = ServerWorker::kMaxSerialBacklog + ServerWorker::kClientReadBuffer + 512 * 1024;
    const qint64 total = bound + largestTcpBuffer("tcp_rmem") + largestTcpBuffer("tcp_wmem") + 1024 * 1024;
    std::atomic<bool> sentAll = false;
    const int sender = connectLoopback(b.port());
    ASSERT_GE(sender, 0);
    std::thread sending([&] {
        const QByteArray bytes = pattern(0, total);
        qint64 done = 0;
        while (done < total) {
            const ssize_t n = ::send(sender, bytes.constData() + done, size_t(total - done), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            done += n;
        }
        sentAll = done == total;
        ::close(sender);
    });

    // The bridge fills its backlog for the port, then leaves the rest to TCP.
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.toSerial >= ServerWorker::kMaxSerialBacklog; }, kWaitMs));
    QTest::qWait(1500); // time enough to take it all if nothing held it back
    EXPECT_LE(b.toSerial, bound);
    EXPECT_LE(b.fromClients, bound);
    EXPECT_FALSE(sentAll);

    // Once the far end reads, every byte arrives, in order.
    QByteArray arrived;
    std::thread reading([&] {
        char chunk[65536];
        while (arrived.size() < total) {
            const ssize_t n = ::read(master, chunk, sizeof chunk);
            if (n <= 0)
                break;
            arrived.append(chunk, n);
        }
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return sentAll.load(); }, 60000));
    reading.join();
    sending.join();
    EXPECT_EQ(arrived.size(), total);
    EXPECT_TRUE(arrived == pattern(0, total));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !b.disconnected.isEmpty(); }, kWaitMs));
    b.server.stop();
}

TEST(Bridge, AClientThatLeavesWhileHeldBackStillHasAllItsBytesDelivered)
{
    StalledLine line;
    ASSERT_TRUE(line.isOpen());
    const qint64 lineHolds = line.capacity();
    BridgeOnBus b;
    ASSERT_TRUE(b.server.start("127.0.0.1", 0, line.name, 57600));

    // The line and the backlog fill up; 32 KiB wait in the client's socket
    // when it leaves.
    const qint64 total = lineHolds + ServerWorker::kMaxSerialBacklog + 32 * 1024;
    const int sender = connectLoopback(b.port());
    ASSERT_GE(sender, 0);
    const QByteArray bytes = pattern(0, total);
    qint64 done = 0;
    while (done < total) {
        const ssize_t n = ::send(sender, bytes.constData() + done, size_t(total - done), MSG_NOSIGNAL);
        ASSERT_GT(n, 0);
        done += n;
    }
    ::close(sender);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !b.disconnected.isEmpty(); }, kWaitMs));

    const QByteArray arrived = line.readAll(total);
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
    ASSERT_TRUE(QTest::qWaitFor([&] { return !b.disconnected.isEmpty(); }, kWaitMs));
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
