#include "server/ServerWorker.h"

#include "comm/PortLine.h"
#include "console/io/Console.h"
#include "server/SerialLine.h"

#include <QHostAddress>
#include <QMetaType>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

Console &console()
{
    return Console::instance();
}

// Deferred while this thread's event loop runs; at once otherwise: a thread
// that is finishing (the worker is destroyed as its thread ends) runs no
// further deferred deletes, and the object would be lost.
void release(QObject *object)
{
    if (QThread::currentThread()->loopLevel() > 0)
        object->deleteLater();
    else
        delete object;
}

} // namespace

ServerWorker::ServerWorker(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<QSerialPort::SerialPortError>();
    qRegisterMetaType<QAbstractSocket::SocketError>();
}

ServerWorker::~ServerWorker()
{
    stopServer();
}

QString ServerWorker::peerText(const QTcpSocket *socket)
{
    if (!socket)
        return QString();
    return socket->peerAddress().toString() + QLatin1Char(':') + QString::number(socket->peerPort());
}

QString ServerWorker::addressFamilyText(QAbstractSocket::NetworkLayerProtocol protocol)
{
    return protocol == QAbstractSocket::IPv6Protocol ? QStringLiteral("IPv6") : QStringLiteral("IPv4");
}

QList<QTcpSocket *> ServerWorker::clientList()
{
    QMutexLocker lock(&clientsLock);
    return clients;
}

// --- start and stop ---------------------------------------------------------------------

bool ServerWorker::startServer(QString hostText, quint16 tcpPort, QString portName, int baud)
{
    if (running) {
        console().printWarning(QStringLiteral("Server is already running"));
        return false;
    }
    host = hostText;
    port = tcpPort;
    serialPortName = portName;
    baudRate = baud;
    running = true;
    if (!startListening() || !openSerial())
        return false;
    console().printSuccess(QStringLiteral("TCP bridge server started successfully"));
    emit statusChanged();
    return true;
}

bool ServerWorker::startListening()
{
    tcpServer = new QTcpServer;
    tcpServer->setMaxPendingConnections(kMaxPendingConnections);
    connect(tcpServer, &QTcpServer::newConnection, this, &ServerWorker::handleNewConnection);
    if (host == QLatin1String("dual")) {
        if (!tcpServer->listen(QHostAddress::Any, port)) {
            console().printError(QStringLiteral("Listen failed: ") + tcpServer->errorString());
            return false;
        }
        console().printLine(QStringLiteral("Server listening on all interfaces"));
        return true;
    }
    // A text that is no address must not become the null address, which
    // would listen on every interface.
    QHostAddress address;
    if (!address.setAddress(host)) {
        console().printError(QStringLiteral("Specific host listen failed: invalid address"));
        return false;
    }
    if (!tcpServer->listen(address, port)) {
        console().printError(QStringLiteral("Specific host listen failed: ") + tcpServer->errorString());
        return false;
    }
    console().printLine(QStringLiteral("Server listening on specific host: ") + host);
    return true;
}

bool ServerWorker::openSerial()
{
    serialLost = false;
    serialPort = new QSerialPort;
    serialPort->setDataBits(QSerialPort::Data8);
    serialPort->setParity(QSerialPort::NoParity);
    serialPort->setStopBits(QSerialPort::OneStop);
    serialPort->setFlowControl(QSerialPort::NoFlowControl);
    serialPort->setReadBufferSize(kSerialReadBuffer);
    connect(serialPort, &QSerialPort::readyRead, this, &ServerWorker::handleSerialData);
    connect(serialPort, &QSerialPort::errorOccurred, this, &ServerWorker::handleSerialError);
    connect(serialPort, &QSerialPort::bytesWritten, this, &ServerWorker::onSerialBytesWritten);
    QString why;
    if (!openPortLine(*serialPort, serialPortName, baudRate, &why)) {
        const QString message = QStringLiteral("Failed to open serial port %1: %2").arg(serialPortName, why);
        console().printError(message);
        emit errorOccurred(message);
        return false;
    }
    console().printLine(
        QStringLiteral("Serial connection established on %1 at %2 baud").arg(serialPortName, QString::number(baudRate)));
    return true;
}

void ServerWorker::closeSerial()
{
    if (!serialPort)
        return;
    serialPort->disconnect(this);
    if (serialPort->isOpen()) {
        serialPort->close();
        console().printLine(QStringLiteral("Serial connection closed"));
    }
    release(serialPort);
    serialPort = nullptr;
}

void ServerWorker::stopServer()
{
    if (!running)
        return;
    running = false;
    closeSerial();
    QList<QTcpSocket *> leaving;
    {
        QMutexLocker lock(&clientsLock);
        leaving.swap(clients);
    }
    // Outside the lock: a client may report its disconnection right here.
    for (QTcpSocket *client : std::as_const(leaving)) {
        client->disconnectFromHost();
        client->disconnect(this);
        release(client);
    }
    if (tcpServer) {
        tcpServer->close();
        release(tcpServer);
        tcpServer = nullptr;
    }
    emit statusChanged();
}

QString ServerWorker::statusText()
{
    if (!running)
        return QStringLiteral("Stopped");
    QString text = QStringLiteral("Running on %1:%2").arg(host, QString::number(port));
    if (tcpServer && tcpServer->isListening()) {
        const QHostAddress address = tcpServer->serverAddress();
        text += QStringLiteral(" (Listening: %1:%2, %3)")
                    .arg(address.toString(), QString::number(tcpServer->serverPort()),
                         addressFamilyText(address.protocol()));
    } else {
        text += QStringLiteral(" (NOT LISTENING)");
    }
    if (openSerialPort())
        text += QStringLiteral(" (Serial: %1@%2)").arg(serialPortName, QString::number(baudRate));
    else
        text += QStringLiteral(" (Serial: Disconnected)");
    qsizetype count = 0;
    {
        QMutexLocker lock(&clientsLock);
        count = clients.size();
    }
    return text + QStringLiteral(" - %1 clients connected").arg(count);
}

// --- clients ----------------------------------------------------------------------------

void ServerWorker::handleNewConnection()
{
    QTcpSocket *client = tcpServer ? tcpServer->nextPendingConnection() : nullptr;
    if (!client) {
        console().printError(QStringLiteral("Failed to get pending connection"));
        return;
    }
    if (client->peerAddress().isNull()) {
        // The client reset the connection before it was taken from the
        // queue: the system no longer tells its address, and no client is left.
        console().printInfo(
            QStringLiteral("A client reset its connection before it was accepted; its address is unknown"));
        client->abort();
        client->deleteLater();
        return;
    }
    client->setReadBufferSize(kClientReadBuffer);
    connect(client, &QTcpSocket::disconnected, this, &ServerWorker::handleClientDisconnected);
    connect(client, &QTcpSocket::readyRead, this, &ServerWorker::handleClientData);
    {
        QMutexLocker lock(&clientsLock);
        clients.append(client);
    }
    const QString peer = peerText(client);
    console().printInfo(
        QStringLiteral("New connection from %1 (%2)").arg(peer, addressFamilyText(client->peerAddress().protocol())));
    emit clientConnected(peer);
}

void ServerWorker::handleClientData()
{
    if (auto *client = qobject_cast<QTcpSocket *>(sender()))
        forwardFromClient(client, false);
}

void ServerWorker::forwardFromClient(QTcpSocket *client, bool drain)
{
    QSerialPort *const port = openSerialPort();
    qint64 room = client->bytesAvailable();
    if (port && !drain) {
        room = qMin(room, kMaxSerialBacklog - port->bytesToWrite());
        if (room < client->bytesAvailable())
            clientsHeldBack = true; // the rest waits for onSerialBytesWritten
    }
    if (room <= 0)
        return;
    const QByteArray data = client->read(room);
    if (data.isEmpty())
        return;
    // The bytes go on their way first; the report follows.
    qint64 written = 0;
    if (port) {
        written = port->write(data);
        port->flush(); // may find the line gone
    }
    const QString peer = peerText(client);
    console().printLine(QStringLiteral("Received %1 bytes from %2").arg(data.size()).arg(peer));
    emit dataReceived(peer, data.size());
    if (!port)
        console().printWarning(QStringLiteral("Serial port not available"));
    else if (serialLost)
        return; // lost with the line, whose loss was reported once
    else if (written <= 0)
        console().printError(QStringLiteral("Failed to write to serial port: ") + port->errorString());
    else
        emit serialDataSent(written);
}

void ServerWorker::onSerialBytesWritten()
{
    QSerialPort *const port = openSerialPort();
    if (!clientsHeldBack || !port || port->bytesToWrite() >= kMaxSerialBacklog)
        return;
    clientsHeldBack = false;
    for (QTcpSocket *client : clientList()) {
        if (client->bytesAvailable() > 0 && openSerialPort())
            forwardFromClient(client, false);
    }
}

void ServerWorker::handleClientDisconnected()
{
    auto *client = qobject_cast<QTcpSocket *>(sender());
    if (!client)
        return;
    // Bytes the client sent before it left still go to the port.
    forwardFromClient(client, true);
    const QString peer = peerText(client);
    console().printInfo(QStringLiteral("Client disconnected: ") + peer);
    emit clientDisconnected(peer);
    removeClient(client);
}

void ServerWorker::removeClient(QTcpSocket *client)
{
    bool listed = false;
    {
        QMutexLocker lock(&clientsLock);
        listed = clients.removeOne(client);
    }
    if (listed) {
        client->disconnect(this);
        client->deleteLater();
    }
}

// --- the serial port ----------------------------------------------------------------------

void ServerWorker::handleSerialData()
{
    QSerialPort *const port = openSerialPort();
    if (!port || port->bytesAvailable() <= 0)
        return;
    const QByteArray data = port->readAll();
    if (data.isEmpty())
        return;
    // The clients get the bytes first; the report follows in the usual order.
    const QList<std::pair<QString, qint64>> sent = broadcastToClients(data);
    console().printLine(QStringLiteral("Received %1 bytes from serial port").arg(data.size()));
    emit serialDataReceived(data.size());
    for (const auto &[peer, bytes] : sent)
        emit dataSent(peer, bytes);
}

QList<std::pair<QString, qint64>> ServerWorker::broadcastToClients(const QByteArray &data)
{
    QList<std::pair<QString, qint64>> sent;
    QList<QTcpSocket *> failed;
    QList<QTcpSocket *> behind;
    for (QTcpSocket *client : clientList()) {
        if (client->state() != QAbstractSocket::ConnectedState) {
            failed << client;
            continue;
        }
        const qint64 written = client->write(data);
        if (written < 0) {
            failed << client;
            continue;
        }
        client->flush(); // straight on its way rather than at the next event-loop pass
        sent.append({peerText(client), written});
        if (client->bytesToWrite() > kMaxClientBacklog)
            behind << client;
    }
    for (QTcpSocket *client : std::as_const(failed))
        removeClient(client);
    for (QTcpSocket *client : std::as_const(behind)) {
        if (client->state() != QAbstractSocket::ConnectedState)
            continue;
        console().printError(QStringLiteral("Client %1 disconnected: more than %2 bytes not yet sent")
                                 .arg(peerText(client), QString::number(kMaxClientBacklog)));
        client->abort(); // reported through handleClientDisconnected
    }
    return sent;
}

void ServerWorker::handleSerialError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || !serialPort || serialLost)
        return;
    switch (judgeSerialError(*serialPort, error)) {
    case SerialFault::WouldBlock:
        // Not a failure: the port writes the bytes it holds when the line
        // takes them again, and an owner must not stop a healthy bridge.
        serialPort->clearError();
        return;
    case SerialFault::LineGone:
        loseSerial();
        return;
    case SerialFault::Failure:
        break;
    }
    const QString message = QStringLiteral("Serial port error: %1").arg(serialPort->errorString());
    console().printError(message);
    emit errorOccurred(message);
}

void ServerWorker::loseSerial()
{
    // Reported once: from here on the port counts as closed, so nothing
    // writes to it and its further errors are not heard.
    serialLost = true;
    const QString message = QStringLiteral("Serial port error: %1").arg(serialLossText(*serialPort));
    console().printError(message);
    emit errorOccurred(message);
    // Closed from the event loop rather than inside the port's own
    // notification, which may still be using it. The clients are told the
    // only way a bare byte stream can tell them: their connection ends.
    QMetaObject::invokeMethod(
        this,
        [this] {
            closeSerial();
            for (QTcpSocket *client : clientList())
                client->disconnectFromHost(); // reported through handleClientDisconnected
            emit statusChanged();
        },
        Qt::QueuedConnection);
}

QSerialPort *ServerWorker::openSerialPort() const
{
    return serialPort && serialPort->isOpen() && !serialLost ? serialPort : nullptr;
}
