#include "comm/QvxModbus.h"

#include "comm/ModbusRtu.h"
#include "device/BaseConstants.h"

#include <QDataStream>
#include <QEventLoop>
#include <QModbusReply>
#include <QModbusRtuSerialClient>
#include <QModbusTcpClient>
#include <QPointer>
#include <QSerialPort>

namespace {

constexpr int kRtu = 2;
constexpr int kTcp = 3;
// Command values written to the command registers.
constexpr int kResetValue = 2;
constexpr int kRebootValue = 1;
constexpr int kClearValue = 0x0200;
constexpr int kMultiturnClearBase = 0x0110;
constexpr int kBackupValue = 1;
constexpr int kRestoreValue = 2;
constexpr int kBootloaderValue = 0x0401;
// Pause between the two pings of the connect step.
constexpr int kRepingMs = 100;

// The exception code of an exception answer: its first data byte when the
// function code has bit 7 set, else 0xFF. Taken from the answer's bytes as the
// library writes them out (its function code may hold a value outside the
// enumeration, which its inline accessors cannot read soundly).
int exceptionCodeOf(const QModbusResponse &response)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << static_cast<const QModbusPdu &>(response);
    return bytes.size() >= 2 && (static_cast<quint8>(bytes.at(0)) & 0x80) ? static_cast<quint8>(bytes.at(1)) : 0xFF;
}

} // namespace

QvxModbus::QvxModbus(QObject *parent)
    : QvxComm(parent)
{
    createDevice(kRtu);
}

QvxModbus::~QvxModbus()
{
    // The links go with the children; nothing they say on the way may reach
    // this half-destroyed transport.
    if (client)
        client->disconnect(this);
    if (rtu)
        rtu->port->disconnect(this);
    delete rtu;
}

// --- connection ------------------------------------------------------------------

void QvxModbus::createDevice(int type)
{
    if (client) {
        client->disconnectDevice();
        client->disconnect(this);
        delete client;
        client = nullptr;
    }
    if (rtu) {
        rtu->close();
        rtu->port->disconnect(this);
        delete rtu->port;
        delete rtu;
        rtu = nullptr;
    }
    connectionType = type;
    if (type == kRtu) {
        rtu = new ModbusRtu(this);
        rtu->log = [this](const QString &line) { emit logMessage(line); };
        connect(rtu->port, &QSerialPort::errorOccurred, this, &QvxModbus::onPortError);
        return;
    }
    if (type != kTcp)
        return;
    client = new QModbusTcpClient(this);
    connect(client, &QModbusDevice::errorOccurred, this, &QvxModbus::handleError);
    client->setTimeout(kItemTimeoutMs);
    client->setNumberOfRetries(0);
}

bool QvxModbus::hasLink() const
{
    return rtu || client;
}

bool QvxModbus::open(QString port_name, int baudrate)
{
    if (!hasLink())
        return false;
    resetPeriodStatistics();
    close();
    portName = port_name;
    baudRate = baudrate;
    bool opened = false;
    if (connectionType == kRtu) {
        createDevice(kRtu);
        opened = rtu->open(port_name, baudrate, static_cast<QSerialPort::Parity>(parity),
                           static_cast<QSerialPort::DataBits>(dataBits), static_cast<QSerialPort::StopBits>(stopBits));
    } else if (connectionType == kTcp) {
        createDevice(kTcp);
        client->setConnectionParameter(QModbusDevice::NetworkPortParameter, networkPort);
        client->setConnectionParameter(QModbusDevice::NetworkAddressParameter, networkAddress);
        opened = client->connectDevice();
    } else {
        return false;
    }
    if (!opened) {
        emit openFailed(port_name, baudrate);
        return false;
    }
    emit openSucceed(port_name, baudrate);
    return true;
}

void QvxModbus::close()
{
    dropLink(true);
}

void QvxModbus::awaitOwedAnswers()
{
    if (!rtu || !rtu->port->isOpen())
        return;
    rtu->token = token;
    rtu->awaitOwedAnswers();
}

void QvxModbus::dropLink(bool closing)
{
    stopAging();
    stopGraph();
    stopUpdate();
    if (closing && hasLink()) {
        if (client)
            client->disconnectDevice();
        if (rtu)
            rtu->close();
        emit closed();
    }
    rxBuffer.clear();
    pollGaps.clear();
    agingGaps.clear();
    setState(Disconnected);
}

void QvxModbus::handleError(QModbusDevice::Error error)
{
    QString text;
    if (client)
        text = client->errorString();
    else if (rtu)
        text = rtu->port->errorString();
    emit logMessage(QStringLiteral("handleError : ") + text);
    if (error == QModbusDevice::ConnectionError)
        dropLink(false); // the link object stays; closed() is for close alone
}

void QvxModbus::onPortError(QSerialPort::SerialPortError error)
{
    // A pulled adapter, or a terminal whose other end hung up. The port keeps
    // reporting it on every wake-up until it is closed: reported once, closed,
    // and a later open starts afresh.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)
        return; // a wait's time-out, or a failure the operation sees itself
    if (!rtu || !rtu->port->isOpen())
        return;
    handleError(QModbusDevice::ConnectionError);
    rtu->close();
}

bool QvxModbus::doConnectQvx(uchar id)
{
    targetId = id;
    if (!open(portName, baudRate)) {
        close();
        return false;
    }
    return confirmByPing(id, kRepingMs, true); // an exception answer is no answer
}

void QvxModbus::doDisconnectQvx()
{
    close();
}

bool QvxModbus::isOpen() const
{
    return hasLink() && state == Connected;
}

bool QvxModbus::setBaudRate(int baudrate)
{
    close();
    baudRate = baudrate;
    return connectQvx(targetId);
}

QString QvxModbus::version() const
{
    return kModbusProtocolName;
}

void QvxModbus::setProtocolVersion(QString) {}

void QvxModbus::setTimeout(int) {}

// --- one exchange ------------------------------------------------------------------

QvxModbus::Reply QvxModbus::exchangeRtu(uchar id, const QModbusDataUnit &unit, bool write, int timeoutMs)
{
    rtu->token = token; // whatever token the caller lent this transport now
    const ModbusRtu::Answer a = write ? rtu->writeRegisters(id, unit.startAddress(), unit.values(), timeoutMs)
                                      : rtu->readRegisters(id, unit.startAddress(), int(unit.valueCount()), timeoutMs);
    Reply r;
    // Refused before it left (the link is down or not open) or cancelled; else
    // a reply came, or its wait ended with the kind of failure.
    r.result = (a.result == COMM_TX_FAIL || a.result == COMM_CANCELLED) ? a.result : COMM_OK;
    r.kind = a.kind;
    r.errorString = a.errorString;
    r.exceptionCode = a.exceptionCode;
    r.values = QModbusDataUnit(QModbusDataUnit::HoldingRegisters, unit.startAddress(), a.values);
    return r;
}

QvxModbus::Reply QvxModbus::exchangeClient(uchar id, const QModbusDataUnit &unit, bool write, int timeoutMs)
{
    Reply r;
    client->setTimeout(timeoutMs);
    QModbusReply *sent = write ? client->sendWriteRequest(unit, id) : client->sendReadRequest(unit, id);
    if (!sent) {
        r.result = COMM_TX_FAIL;
        r.kind = QModbusDevice::ConnectionError;
        r.errorString = client->errorString();
        return r;
    }
    if (sent->isFinished()) {
        delete sent;
        r.result = COMM_RX_FAIL;
        return r;
    }
    // Other events of this thread run meanwhile, and one of them may replace
    // the client (an open) and with it its replies: the wait ends then as
    // well, as a failed reply.
    QPointer<QModbusReply> reply(sent);
    QEventLoop loop;
    connect(sent, &QModbusReply::finished, &loop, &QEventLoop::quit);
    connect(sent, &QObject::destroyed, &loop, &QEventLoop::quit);
    loop.exec();
    if (!reply) {
        r.result = COMM_RX_FAIL;
        return r;
    }
    r.kind = reply->error();
    r.errorString = reply->errorString();
    if (r.kind == QModbusDevice::NoError)
        r.values = reply->result();
    else if (r.kind == QModbusDevice::ProtocolError)
        r.exceptionCode = exceptionCodeOf(reply->rawResult());
    delete reply.data();
    return r;
}

QvxModbus::Outcome QvxModbus::exchange(uchar id, const QModbusDataUnit &unit, bool write, int timeoutMs, uchar *error,
                                       Judge judge)
{
    Outcome out;
    if (!hasLink()) {
        out.result = COMM_NOT_AVAILABLE;
        return out;
    }
    responseTimeoutMs = timeoutMs;
    const Reply reply = rtu ? exchangeRtu(id, unit, write, timeoutMs) : exchangeClient(id, unit, write, timeoutMs);
    if (reply.result == COMM_TX_FAIL) {
        emit logMessage((write ? tr("Write error: ") : tr("Read error: ")) + reply.errorString);
        out.result = COMM_TX_FAIL;
        return out;
    }
    if (reply.result != COMM_OK) {
        out.result = reply.result;
        return out;
    }
    out.waited = true;

    const QModbusDevice::Error kind = reply.kind;
    const auto codeLog = [&] {
        const QString text = write ? tr("Write response error: %1 (code: 0x%2)")
                                   : tr("Read response error: %1 (code: 0x%2)");
        emit logMessage(text.arg(reply.errorString, QString::number(static_cast<int>(kind), 16)));
    };
    if (kind == QModbusDevice::NoError) {
        out.succeeded = true;
        out.values = reply.values;
    } else if (judge == Judge::Plain) {
        codeLog();
        out.result = COMM_RX_FAIL;
    } else if (kind == QModbusDevice::ProtocolError) {
        const int code = reply.exceptionCode;
        const QString text = write ? tr("Write response error: %1 (Mobus exception: 0x%2)")
                                   : tr("Read response error: %1 (Mobus exception: 0x%2)");
        emit logMessage(text.arg(reply.errorString, QString::number(code, 16)));
        if (error)
            *error = static_cast<uchar>(code + kExceptionErrorBase);
    } else if (kind == QModbusDevice::TimeoutError) {
        if (judge != Judge::QuietTimeout)
            codeLog();
        out.result = COMM_RX_TIMEOUT;
    } else {
        codeLog();
        out.result = COMM_RX_FAIL;
    }
    return out;
}

// --- identification and device commands ----------------------------------------------

int QvxModbus::ping(uchar id, ushort *model_number, uchar *firmware_version, uchar *error)
{
    if (!hasLink())
        return COMM_NOT_AVAILABLE;
    if (error)
        *error = 0;
    // Table bytes 0 to 7: the model number in register 0, the firmware version
    // in the low byte of register 3.
    const Outcome out = exchange(id, QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 0, 4), false, kItemTimeoutMs,
                                 error, Judge::QuietTimeout);
    if (out.succeeded) {
        const qsizetype n = out.values.valueCount();
        if (model_number)
            *model_number = n > 0 ? out.values.value(0) : 0;
        if (firmware_version)
            *firmware_version = n >= 4 ? static_cast<uchar>(out.values.value(3) & 0xFF) : 0;
    }
    return out.result;
}

int QvxModbus::writeRegister(uchar id, ushort address, int value, uchar *error, int timeoutMs)
{
    return writeValues(id, address, {static_cast<quint16>(value & 0xFFFF)}, error, timeoutMs);
}

int QvxModbus::writeValues(uchar id, ushort address, const QList<quint16> &values, uchar *error, int timeoutMs)
{
    const Outcome out =
        exchange(id, QModbusDataUnit(QModbusDataUnit::HoldingRegisters, address >> 1, values), true, timeoutMs, error);
    if (out.succeeded)
        writeSeen = true;
    return out.result;
}

int QvxModbus::command(uchar id, ushort address, int value, int timeoutMs, bool viaWrite2Byte,
                       void (QvxComm::*completed)(int, uchar, uchar))
{
    if (address == 0)
        return COMM_UNSUPPORTED; // the model has no such command register
    uchar error = 0;
    const int result =
        viaWrite2Byte ? write2Byte(id, address, value, &error) : writeRegister(id, address, value, &error, timeoutMs);
    if (completed)
        emit(this->*completed)(result, id, error);
    return result;
}

int QvxModbus::reset(uchar id, ushort address)
{
    return command(id, address, kResetValue, kItemTimeoutMs, true, &QvxComm::resetCompleted);
}

int QvxModbus::reboot(uchar id, ushort address)
{
    return command(id, address, kRebootValue, kItemTimeoutMs, true, &QvxComm::rebootCompleted);
}

int QvxModbus::clear(uchar id, uchar, ushort address)
{
    return command(id, address, kClearValue, kClearTimeoutMs, false, &QvxComm::clearCompleted);
}

int QvxModbus::multiturnClear(uchar id, uchar param, ushort address)
{
    return command(id, address, kMultiturnClearBase + param, kClearTimeoutMs, false,
                   &QvxComm::multiturnClearCompleted);
}

int QvxModbus::auxBackup(uchar id, ushort address)
{
    return command(id, address, kBackupValue, kAuxTimeoutMs, false, &QvxComm::auxBackupCompleted);
}

int QvxModbus::auxRestore(uchar id, ushort address)
{
    return command(id, address, kRestoreValue, kAuxTimeoutMs, false, &QvxComm::auxRestoreCompleted);
}

int QvxModbus::rebootToBootloader(uchar id, ushort address)
{
    return command(id, address, kBootloaderValue, kItemTimeoutMs, true, nullptr);
}

// --- what only the servo protocols have ----------------------------------------------

int QvxModbus::broadcastPing(int)
{
    return COMM_UNSUPPORTED;
}

int QvxModbus::shufflePing(int)
{
    return COMM_UNSUPPORTED;
}

int QvxModbus::shuffleId(uchar, QByteArray, int, int)
{
    return COMM_UNSUPPORTED;
}

int QvxModbus::sysWrite1ByteTxRx(uchar, ushort, uchar, QString)
{
    return COMM_UNSUPPORTED;
}

int QvxModbus::sysWrite2ByteTxRx(uchar, ushort, ushort, QString)
{
    return COMM_UNSUPPORTED;
}

int QvxModbus::sysWrite4ByteTxRx(uchar, ushort, uint, QString)
{
    return COMM_UNSUPPORTED;
}

int QvxModbus::syncWrite(ushort, ushort, QByteArray, QString)
{
    return COMM_UNSUPPORTED;
}

void QvxModbus::startMultiGraph(qvx::MultiGraphReadParams, int, bool) {}

int QvxModbus::readMultiGraph(qvx::MultiGraphReadParams)
{
    return COMM_UNSUPPORTED;
}

int QvxModbus::bulkWrite(QByteArray)
{
    return COMM_UNSUPPORTED;
}

int QvxModbus::syncWriteDirect(ushort, ushort, QByteArray)
{
    return COMM_UNSUPPORTED;
}

bool QvxModbus::isMotionInProgress(qvx::MotionAgingOption &)
{
    return false;
}

int QvxModbus::dumpReadData(uchar, ushort, ushort)
{
    return COMM_UNSUPPORTED;
}

int QvxModbus::readHandPresetData(uchar, ushort, int)
{
    return COMM_UNSUPPORTED;
}

int QvxModbus::writeHandPresetData(uchar, ushort, qvx::HandPresetData, int)
{
    return COMM_UNSUPPORTED;
}
