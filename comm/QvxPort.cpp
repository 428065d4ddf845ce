#include "comm/QvxPort.h"

#include "comm/CommResult.h"
#include "comm/PortLine.h"
#include "comm/PortName.h"
#include "device/BaseConstants.h"
#include "device/DeviceConstants.h"

#include <QThread>
#include <QTimer>

#include <cstring>

namespace {

// Controller boards take the servo rate at this address; the others at kBoardBaudAddress.
constexpr ushort kBoardBaudAddressOld = 9;
constexpr ushort kBoardBaudAddress = 12;
// Over a board every reply also crosses the relay.
constexpr int kBoardLatencyMs = 200;

ushort boardBaudAddress(int boardModel)
{
    return (boardModel == 218 || boardModel == 220) ? kBoardBaudAddressOld : kBoardBaudAddress;
}

} // namespace

QvxPort::QvxPort(bool listenToPort, QObject *parent)
    : QvxProtocolComm(parent)
    , listen(listenToPort)
{
    connectionType = 0;
    serial_port = new QSerialPort(this);
    // What arrives while nothing reads the port waits there, at most this much of it.
    serial_port->setReadBufferSize(ExchangeLine::kMaxHeld);
    if (listen)
        connect(serial_port, &QSerialPort::readyRead, this, &QvxPort::handleReadyRead);
    connect(serial_port, &QSerialPort::errorOccurred, this, &QvxPort::handleError);
    // Whoever closes the port (a firmware procedure too), a later loss is news,
    // and nothing of this link can answer a request on the next.
    connect(serial_port, &QIODevice::aboutToClose, this, [this] {
        portLost = false;
        qvx_protocol1->forgetUnanswered();
        qvx_protocol2->forgetUnanswered();
    });
    protocol_text = kProtocolVersion2;
    QvxProtocolComm::setProtocolVersion(kProtocolVersion2);
    qvx_protocol1->device = serial_port;
    qvx_protocol2->device = serial_port;

    play_timer = new QTimer(this);
    play_timer->setTimerType(Qt::PreciseTimer);
    connect(play_timer, &QTimer::timeout, this, &QvxPort::onPlayTimer);
    modbus_timer = new QTimer(this);
    modbus_timer->setTimerType(Qt::PreciseTimer);
    connect(modbus_timer, &QTimer::timeout, this, &QvxPort::onModbusTimeoutTimer);
}

QvxPort::~QvxPort()
{
    // The port closes when it goes with the children; nothing of that may
    // reach this half-destroyed transport.
    serial_port->disconnect(this);
}

bool QvxPort::isOpen() const
{
    return serial_port->isOpen();
}

QString QvxPort::version() const
{
    return protocol_text;
}

void QvxPort::setProtocolVersion(QString version)
{
    protocol_text = version;
    QvxProtocolComm::setProtocolVersion(version);
}

// --- open, baud rate, close ----------------------------------------------------

bool QvxPort::open(QString port_name, int baudrate)
{
    resetPeriodStatistics();
    close();
    portName = port_name;
    baudRate = baudrate;
    if (!openLink(baudrate)) {
        emit openFailed(port_name, baudrate);
        return false;
    }
    QThread::msleep(kSettleMs);
    emit openSucceed(port_name, baudrate);
    return true;
}

bool QvxPort::setBaudRate(int baudrate)
{
    close();
    if (!openLink(baudrate))
        return false;
    if (boardModel != 0)
        QThread::msleep(kSettleMs);
    return true;
}

bool QvxPort::openLink(int baudrate)
{
    const bool viaBoard = boardModel != 0;
    // Both engines, so that a later protocol switch finds the new engine timing
    // its replies for this rate.
    const int latency = viaBoard ? qMax(extraLatency, kBoardLatencyMs) : extraLatency;
    for (QvxProtocol *engine : {static_cast<QvxProtocol *>(qvx_protocol1), static_cast<QvxProtocol *>(qvx_protocol2)}) {
        engine->baudRate = baudrate;
        engine->extraLatency = latency;
    }
    if (!openPortLine(*serial_port, portName, viaBoard ? boardBaud : baudrate))
        return false;
    if (viaBoard && !tellBoard(baudrate)) {
        close(); // a port the board did not take is not left open as if usable
        return false;
    }
    return true;
}

bool QvxPort::tellBoard(int baudrate)
{
    const QString saved = version();
    setProtocolVersion(kProtocolVersion2);
    const uchar value = kRegisterByBaudRate2.value(baudrate, 0);
    uchar error = 0;
    const int result = writeTxRx(kBoardId, boardBaudAddress(boardModel), 1, &value, &error);
    setProtocolVersion(saved);
    return result == COMM_OK && error == 0;
}

void QvxPort::close()
{
    stopGraph();
    stopUpdate();
    stopPlay();
    if (serial_port->isOpen()) {
        closePortLine(*serial_port);
        emit closed();
    }
    resetReceivers();
    pollGaps.clear();
    agingGaps.clear();
    portLost = false;
    setState(Disconnected);
}

void QvxPort::resetReceivers()
{
    modbus_timer->stop();
    modbus_buffer.clear();
    port_held = false;
    qvx_protocol1->resetState();
    qvx_protocol2->resetState();
}

bool QvxPort::doConnectQvx(uchar id)
{
    return connectStep(open(portName, baudRate), id, kSettleMs);
}

void QvxPort::doDisconnectQvx()
{
    close();
}

// --- arrivals and a lost port ------------------------------------------------------

void QvxPort::handleReadyRead()
{
    if (port_held)
        return; // a firmware procedure reads the port itself
    if (version() == kModbusProtocolName) {
        sniffModbus();
        return;
    }
    // While a transaction runs its receive loop reads these bytes itself.
    if (!qvx_protocol->inTransaction)
        qvx_protocol->onReadyRead();
}

void QvxPort::handleError(QSerialPort::SerialPortError error)
{
    // A pulled adapter, or a link whose other end hung up (its reads end as
    // at the end of the data): the port is lost.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)
        return; // the operation that met it sees its own failure
    // A hung-up line reports itself on every turn of the event loop until the
    // port is closed: the loss is handled once.
    if (portLost)
        return;
    portLost = true;
    // A read error here is a read that found the end of the data: the
    // system's error text is then left over from some earlier call.
    const QString reason =
        error == QSerialPort::ReadError ? QStringLiteral("the line hung up") : serial_port->errorString();
    emit logMessage(QStringLiteral("Port lost: %1 (%2)").arg(portName, reason));
    stopAging();
    stopGraph();
    stopUpdate();
    stopPlay();
    pollGaps.clear();
    agingGaps.clear();
    resetReceivers();
    setState(Disconnected);
    // The dead port is closed, so that it stops waking the event loop and a
    // later open or poll starts afresh; not here, where the receive loop or
    // the port's own read that met the loss may still be running.
    QMetaObject::invokeMethod(this, &QvxPort::closeLostPort, Qt::QueuedConnection);
}

void QvxPort::closeLostPort()
{
    if (portLost)
        close();
}

// --- the polling reads ---------------------------------------------------------------

bool QvxPort::isPort(const QString &name) const
{
    const QString held = serial_port->portName();
    return held == name || QStringLiteral("/dev/") + held == name;
}

int QvxPort::checkPollLink()
{
    return keepReadersRunning([this] {
        closeLostPort(); // a lost port is opened afresh, not read from
        // While the device is missing (a pulled adapter) the polls do not try
        // to open it: each try writes and syncs a lock file, and the
        // multi-graph ticks up to a hundred times a second.
        if (!serial_port->isOpen() && !portDeviceFault(portName).isEmpty())
            return COMM_NOT_AVAILABLE;
        if (!serial_port->isOpen() && !open(portName, baudRate))
            return COMM_NOT_AVAILABLE;
        if (!isPort(portName) && !open(portName, baudRate))
            return COMM_NOT_AVAILABLE;
        if (boardModel == 0 && serial_port->baudRate() != baudRate && !setBaudRate(baudRate))
            return COMM_NOT_AVAILABLE;
        return COMM_OK;
    });
}

bool QvxPort::fastMultiGraphPoll() const
{
    return multiGraphFast;
}

// --- reads of the device operations and the self-diagnosis ----------------------------

int QvxPort::readVerbose(uchar id, ushort length, uchar *data, uchar *error, bool verbose)
{
    const Trace trace(*this, verbose);
    return readTxRx(id, 0, length, data, error);
}

int QvxPort::readAndNotify(uchar id, ushort address, ushort length, uchar *data, uchar *error)
{
    // What a failed or refused read announces is never what the buffer held before.
    if (data)
        std::memset(data, 0, length);
    const int result = readTxRx(id, address, length, data, error);
    const QByteArray bytes = data ? QByteArray(reinterpret_cast<const char *>(data), length) : QByteArray();
    emit readCompleted(result, id, address, length, bytes, error ? *error : uchar(0));
    return result;
}

// --- serial format ----------------------------------------------------------------------

bool QvxPort::setDataBits(int bits)
{
    return serial_port && serial_port->setDataBits(static_cast<QSerialPort::DataBits>(bits));
}

bool QvxPort::setParity(int value)
{
    return serial_port && serial_port->setParity(static_cast<QSerialPort::Parity>(value));
}

bool QvxPort::setStopBits(int value)
{
    return serial_port && serial_port->setStopBits(static_cast<QSerialPort::StopBits>(value));
}

bool QvxPort::setFlowControl(int value)
{
    return serial_port && serial_port->setFlowControl(static_cast<QSerialPort::FlowControl>(value));
}

bool QvxPort::applySetting(int key, const QVariant &value)
{
    setConnectionSetting(key, value);
    switch (key) {
    case KeyBaudRate: return setBaudRate(baudRate);
    case KeyDataBits: return setDataBits(dataBits);
    case KeyParity: return setParity(parity);
    case KeyStopBits: return setStopBits(stopBits);
    case KeyFlowControl: return setFlowControl(flowControl);
    default: return false;
    }
}
