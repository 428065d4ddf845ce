#pragma once
// A TCP-to-serial bridge with what it printed and the signals it relayed to
// this thread, and a loopback client of it. The serial side is the fixture's
// (BridgeOnBus, BridgeOnLine).

#include "ListeningPort.h"

#include "server/TCPServer.h"
#include "tests/support/OutputCapture.h"

#include <QHostAddress>
#include <QMap>
#include <QStringList>
#include <QTcpSocket>
#include <QTest>

constexpr int kWaitMs = 20000; // generous: the machine is shared

// Byte i of a test stream: a pattern whose shifts and gaps show.
inline char patternByte(qint64 i)
{
    return static_cast<char>((i * 7 + i / 251) & 0xFF);
}

inline QByteArray pattern(qint64 from, qint64 count)
{
    QByteArray out(count, Qt::Uninitialized);
    for (qint64 i = 0; i < count; ++i)
        out[i] = patternByte(from + i);
    return out;
}

struct BridgeRecord
{
    OutputCapture out; // read only once the worker thread has ended
    TCPServer server;
    QStringList connected;
    QStringList disconnected;
    QStringList errors;
    QMap<QString, qlonglong> sentTo; // dataSent per client
    qlonglong fromClients = 0;       // dataReceived
    qlonglong toSerial = 0;          // serialDataSent
    qlonglong fromSerial = 0;        // serialDataReceived

    BridgeRecord()
    {
        QObject::connect(&server, &TCPServer::clientConnected, [this](const QString &a) { connected << a; });
        QObject::connect(&server, &TCPServer::clientDisconnected, [this](const QString &a) { disconnected << a; });
        QObject::connect(&server, &TCPServer::errorOccurred, [this](const QString &e) { errors << e; });
        QObject::connect(&server, &TCPServer::dataSent, [this](const QString &a, qlonglong n) { sentTo[a] += n; });
        QObject::connect(&server, &TCPServer::dataReceived, [this](const QString &, qlonglong n) { fromClients += n; });
        QObject::connect(&server, &TCPServer::serialDataSent, [this](qlonglong n) { toSerial += n; });
        QObject::connect(&server, &TCPServer::serialDataReceived, [this](qlonglong n) { fromSerial += n; });
    }

    bool startOn(const QString &portName, const QString &host = QStringLiteral("127.0.0.1"))
    {
        return server.start(host, 0, portName, 57600);
    }

    // The port the bridge listens on, from its status text.
    quint16 port() { return listeningPort(server); }

    // Stops the bridge and returns everything printed since the last call.
    QString stopAndTakeOutput()
    {
        server.stop();
        return QString::fromUtf8(out.take());
    }
};

// A loopback client of the bridge that collects what it receives.
struct Client
{
    QTcpSocket socket;
    QByteArray got;

    Client() { QObject::connect(&socket, &QTcpSocket::readyRead, [this] { got += socket.readAll(); }); }

    // Connects and waits until the bridge has announced it.
    bool connectTo(BridgeRecord &b)
    {
        const qsizetype before = b.connected.size();
        socket.connectToHost(QHostAddress::LocalHost, b.port());
        return socket.waitForConnected(kWaitMs) && QTest::qWaitFor([&] { return b.connected.size() > before; }, kWaitMs);
    }

    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(socket.localPort()); }

    bool waitForBytes(qsizetype count) { return QTest::qWaitFor([&] { return got.size() >= count; }, kWaitMs); }
};
