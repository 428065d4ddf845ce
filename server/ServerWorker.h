#pragma once
// The bridge's worker: on its own thread it owns the listening socket, the
// client sockets and the serial port, and forwards bytes between them without
// looking at them: every client's bytes go to the serial port, every byte of
// the serial port goes to every client. It reports through the Console
// printers and its signals (queued to the TCPServer that owns the thread).
//
// Two limits keep its memory bounded: a client that leaves more than
// kMaxClientBacklog bytes unsent is disconnected, and while the serial port
// holds kMaxSerialBacklog bytes it has not sent yet, client bytes are left in
// their sockets (each reads at most kClientReadBuffer ahead), so TCP holds the
// senders back until the port catches up.
//
// A serial line that hangs up or goes away is reported once, the port is
// closed and every client's connection ends; the bridge goes on listening
// without a port until it is stopped. A write that would block on a full line
// is no error: the port keeps the bytes until the line takes them.
//
// The clients lock guards the list only: no socket is closed, written to or
// signalled while it is held, since a socket may report its disconnection at
// once and that handler takes the lock itself.

#include <QAbstractSocket>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <utility>

class QTcpServer;
class QTcpSocket;

class ServerWorker : public QObject
{
    Q_OBJECT

public:
    explicit ServerWorker(QObject *parent = nullptr);
    ~ServerWorker() override;

    // Listens on `host` ("dual": every interface of both address families,
    // otherwise an address text) and opens the serial port. False, with the
    // reason printed, when either fails; a later stopServer cleans up.
    bool startServer(QString host, quint16 port, QString serialPortName, int baudRate);
    void stopServer();
    // "Stopped", or "Running on host:port", the listening and serial state and
    // the number of clients.
    QString statusText();

    // "address:port" of a client's peer; empty without a socket.
    static QString peerText(const QTcpSocket *socket);
    static QString addressFamilyText(QAbstractSocket::NetworkLayerProtocol protocol);

    static constexpr qint64 kMaxClientBacklog = 1 << 20;
    static constexpr qint64 kMaxSerialBacklog = 1 << 20;
    static constexpr qint64 kClientReadBuffer = 64 * 1024;
    static constexpr int kMaxPendingConnections = 10;
    static constexpr qint64 kSerialReadBuffer = 1024;

signals:
    void clientConnected(QString clientAddress);
    void clientDisconnected(QString clientAddress);
    void dataReceived(QString clientAddress, qlonglong bytes);
    void dataSent(QString clientAddress, qlonglong bytes);
    void serialDataReceived(qlonglong bytes);
    void serialDataSent(qlonglong bytes);
    void errorOccurred(QString error);
    void statusChanged();

public slots:
    void handleNewConnection();
    void handleClientDisconnected();
    void handleClientData();
    void handleSerialData();
    void handleSerialError(QSerialPort::SerialPortError error);

private:
    bool startListening();
    bool openSerial();
    void closeSerial();
    // The line is gone: reports it once, closes the port and ends every
    // client's connection. The bridge goes on listening; a new start (after
    // a stop) opens the port again.
    void loseSerial();
    // The serial port while it is open and its line has not been lost.
    QSerialPort *openSerialPort() const;
    // Moves what the client has to the serial port, as much as the port's
    // backlog allows (all of it when `drain`: the client has gone and holds
    // at most kClientReadBuffer).
    void forwardFromClient(QTcpSocket *client, bool drain);
    // Resumes the clients held back once the serial port has room again.
    void onSerialBytesWritten();
    // Writes the bytes to every connected client; the address and count of
    // each write, for dataSent. Clients that fail are removed, clients too
    // far behind disconnected.
    QList<std::pair<QString, qint64>> broadcastToClients(const QByteArray &data);
    void removeClient(QTcpSocket *client);
    QList<QTcpSocket *> clientList();

    QTcpServer *tcpServer = nullptr;
    QSerialPort *serialPort = nullptr;
    QString host;
    quint16 port = 0;
    QString serialPortName;
    int baudRate = 0;
    bool running = false;
    QList<QTcpSocket *> clients;
    QMutex clientsLock;
    // Client bytes wait in their sockets for room on the serial port.
    bool clientsHeldBack = false;
    // The serial line hung up or went away; the port is being closed.
    bool serialLost = false;
};
