#include "comm/QvxTcpClient.h"

#include "comm/CommResult.h"
#include "device/ProtocolConstants.h"

#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

namespace {

// Runs a local event loop until `signal` of `sender` or until `ms` passed.
// Other events of the thread are handled meanwhile.
template <class Signal>
void waitFor(QTcpSocket *sender, Signal signal, int ms)
{
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer); // a window never shorter than asked
    QObject::connect(sender, signal, &loop, &QEventLoop::quit);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(ms);
    loop.exec();
}

} // namespace

QvxTcpClient::QvxTcpClient(QObject *parent)
    : QvxProtocolComm(parent)
{
    connectionType = 1;
    tcp_socket = new QTcpSocket(this);
    // What a peer sends between requests waits in the socket, at most this
    // much of it; beyond that the connection holds the peer back.
    tcp_socket->setReadBufferSize(ExchangeLine::kMaxHeld);
    connect(tcp_socket, &QTcpSocket::connected, this, &QvxTcpClient::onConnected);
    connect(tcp_socket, &QTcpSocket::disconnected, this, &QvxTcpClient::onDisconnected);
    QvxProtocolComm::setProtocolVersion(kProtocolVersion2);
    qvx_protocol->device = tcp_socket;
    QvxProtocolComm::setTimeout(qMax(extraLatency, kMinLatencyMs));
}

QvxTcpClient::~QvxTcpClient()
{
    stopAging();
    stopGraph();
    stopUpdate();
    tcp_socket->abort(); // an open connection reports its end to onDisconnected now
    tcp_socket->close();
    // Nothing the socket does on its way out may reach this half-destroyed transport.
    tcp_socket->disconnect(this);
    pollGaps.clear();
    agingGaps.clear();
}

bool QvxTcpClient::isOpen() const
{
    return tcp_socket->state() == QAbstractSocket::ConnectedState;
}

bool QvxTcpClient::setBaudRate(int)
{
    return false;
}

void QvxTcpClient::setTimeout(int ms)
{
    QvxProtocolComm::setTimeout(qMax(ms, kMinLatencyMs));
}

void QvxTcpClient::setProtocolVersion(QString version)
{
    QvxProtocolComm::setProtocolVersion(version);
    qvx_protocol->device = tcp_socket;
    setTimeout(extraLatency);
}

// --- open and close ----------------------------------------------------------------

bool QvxTcpClient::open(QString ip_address, int port)
{
    resetPeriodStatistics();
    close();
    // A port number outside the 16-bit range would wrap to another port.
    if (port > 0 && port <= 0xFFFF) {
        tcp_socket->connectToHost(ip_address, static_cast<quint16>(port), QIODevice::ReadWrite,
                                  QAbstractSocket::AnyIPProtocol);
        if (tcp_socket->state() != QAbstractSocket::ConnectedState)
            waitFor(tcp_socket, &QTcpSocket::connected, kConnectMs);
    }
    if (tcp_socket->state() == QAbstractSocket::ConnectedState) {
        emit openSucceed(ip_address, port);
        return true;
    }
    tcp_socket->abort();
    emit openFailed(ip_address, port);
    return false;
}

void QvxTcpClient::close()
{
    stopAging();
    stopGraph();
    stopUpdate();
    tcp_socket->abort(); // a connected socket reports disconnected at once
    tcp_socket->close();
    // Give a disconnection still on its way the time to arrive.
    waitFor(tcp_socket, &QTcpSocket::disconnected, kCloseWaitMs);
    // Nothing of the old connection can answer on the next one.
    qvx_protocol1->resetState();
    qvx_protocol2->resetState();
    pollGaps.clear();
    agingGaps.clear();
}

void QvxTcpClient::onConnected() {}

void QvxTcpClient::onDisconnected()
{
    stopAging();
    stopGraph();
    stopUpdate();
    emit closed();
    setState(Disconnected);
}

// --- the connect step ------------------------------------------------------------------

bool QvxTcpClient::doConnectQvx(uchar id)
{
    return connectStep(open(networkAddress, networkPort), id, kRetryPauseMs);
}

void QvxTcpClient::doDisconnectQvx()
{
    close();
}

// --- the polling reads ---------------------------------------------------------------

int QvxTcpClient::checkPollLink()
{
    return keepReadersRunning([this] {
        if (!tcp_socket->isOpen() && !open(networkAddress, networkPort))
            return COMM_NOT_AVAILABLE;
        if ((tcp_socket->peerName() != networkAddress || tcp_socket->peerPort() != networkPort)
            && !open(networkAddress, networkPort))
            return COMM_NOT_AVAILABLE;
        return COMM_OK;
    });
}

bool QvxTcpClient::fastMultiGraphPoll() const
{
    return false;
}
