#include "comm/ModbusRtu.h"

#include "comm/CommResult.h"
#include "comm/ModbusFrames.h"
#include "comm/PortLine.h"

#include <QElapsedTimer>
#include <QThread>

#include <cmath>

namespace {

// Above this rate the gap between frames is fixed (kFixedGapNs).
constexpr int kFixedGapAboveBaud = 19200;
// An exception answer: address, function | 0x80, code, CRC.
constexpr int kExceptionSize = 5;
constexpr quint8 kExceptionBit = 0x80;
// Slices of an answer wait when nothing arrives, ms: a cancellation ends it within one.
constexpr int kWaitSliceMs = 5;

quint8 byteAt(const QByteArray &bytes, qsizetype i)
{
    return static_cast<quint8>(bytes.at(i));
}

int word16At(const QByteArray &bytes, qsizetype i)
{
    return byteAt(bytes, i) << 8 | byteAt(bytes, i + 1);
}

void appendWord16(QByteArray &bytes, int value)
{
    bytes.append(static_cast<char>((value >> 8) & 0xFF));
    bytes.append(static_cast<char>(value & 0xFF));
}

bool crcHolds(const QByteArray &bytes, qsizetype from, qsizetype size)
{
    const quint16 crc = modbusCrc16(bytes.constData() + from, size - 2);
    return byteAt(bytes, from + size - 2) == (crc & 0xFF) && byteAt(bytes, from + size - 1) == (crc >> 8);
}

qint64 steadyNowNs()
{
    return CancellationToken::steadyNowNs();
}

} // namespace

ModbusRtu::ModbusRtu(QObject *owner)
    : port(new QSerialPort(owner))
{
    device = port;
    refusalAnswersAnyRequest = true; // an exception answer fits a request of any size
    // What arrives between requests waits in the port, at most this much of it.
    port->setReadBufferSize(kMaxHeld);
}

ModbusRtu::~ModbusRtu() = default;

QByteArray ModbusRtu::frame(const QByteArray &body)
{
    QByteArray out = body;
    const quint16 crc = modbusCrc16(body.constData(), body.size());
    out.append(static_cast<char>(crc & 0xFF));
    out.append(static_cast<char>(crc >> 8));
    return out;
}

bool ModbusRtu::open(const QString &name, int baudRate, QSerialPort::Parity parity, QSerialPort::DataBits dataBits,
                     QSerialPort::StopBits stopBits)
{
    close();
    port->setParity(parity);
    port->setDataBits(dataBits);
    port->setStopBits(stopBits);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (baudRate > kFixedGapAboveBaud || baudRate <= 0) {
        silenceNs_ = kFixedGapNs;
    } else {
        const int bits = 1 + int(dataBits) + (parity == QSerialPort::NoParity ? 0 : 1)
                         + (stopBits == QSerialPort::TwoStop ? 2 : 1);
        silenceNs_ = static_cast<qint64>(std::ceil(3.5 * bits * 1e9 / baudRate));
    }
    if (!openPortLine(*port, name, baudRate))
        return false;
    lastByteNs_ = 0;
    return true;
}

void ModbusRtu::close()
{
    closePortLine(*port);
    rxBuffer.clear();
    linkLost = false;
    forgetUnanswered(); // nothing of the old link can answer on the next one
}

bool ModbusRtu::isOpen() const
{
    return port->isOpen();
}

void ModbusRtu::handOverStray()
{
    if (log)
        log(QStringLiteral("COMM_RX_CORRUPT: late bytes dropped (%1 bytes)").arg(rxBuffer.size()));
    rxBuffer.clear();
}

void ModbusRtu::noteArrival(bool begins)
{
    if (!begins)
        lastByteNs_ = steadyNowNs();
}

void ModbusRtu::keepInterFrameSilence()
{
    const qint64 left = lastByteNs_ + silenceNs_ - steadyNowNs();
    if (left > 0 && left <= silenceNs_)
        QThread::usleep(static_cast<unsigned long>((left + 999) / 1000));
}

ModbusRtu::Answer ModbusRtu::readRegisters(int server, int start, int count, int timeoutMs)
{
    QByteArray body;
    body.append(static_cast<char>(server));
    body.append(static_cast<char>(ReadHoldingRegisters));
    appendWord16(body, start);
    appendWord16(body, count);
    // Address, function, byte count, two bytes a register, CRC.
    return exchange(body, 5 + 2 * count, [count](const QByteArray &answer) { return byteAt(answer, 2) == 2 * count; },
                    timeoutMs);
}

ModbusRtu::Answer ModbusRtu::writeRegisters(int server, int start, const QList<quint16> &values, int timeoutMs)
{
    QByteArray body;
    body.append(static_cast<char>(server));
    if (values.size() == 1) {
        body.append(static_cast<char>(WriteSingleRegister));
        appendWord16(body, start);
        appendWord16(body, values.first());
    } else {
        body.append(static_cast<char>(WriteMultipleRegisters));
        appendWord16(body, start);
        appendWord16(body, static_cast<int>(values.size()));
        body.append(static_cast<char>(2 * values.size()));
        for (const quint16 v : values)
            appendWord16(body, v);
    }
    // Both answers are 8 bytes: the single write echoes register and value,
    // the multiple write echoes start and count.
    const QByteArray echo = body.mid(2, 4);
    return exchange(body, 8, [echo](const QByteArray &answer) { return answer.mid(2, 4) == echo; }, timeoutMs);
}

ModbusRtu::Answer ModbusRtu::exchange(const QByteArray &body, int expected,
                                      const std::function<bool(const QByteArray &)> &fits, int timeoutMs)
{
    Answer a;
    const quint8 server = byteAt(body, 0);
    const quint8 function = byteAt(body, 1);
    const QByteArray request = frame(body);

    keepInterFrameSilence();
    int result = takeTurn(request, server, expected);
    if (result == COMM_OK) {
        result = writeRequest(request, qMax(timeoutMs, 1));
        // The request is on the line until its last character has left.
        const int baud = qMax(port->baudRate(), 1);
        lastByteNs_ = steadyNowNs() + request.size() * 10LL * 1000000000LL / baud;
    }
    if (result != COMM_OK) {
        a.result = result;
        a.kind = result == COMM_CANCELLED ? QModbusDevice::ReplyAbortedError : QModbusDevice::ConnectionError;
        a.errorString = result == COMM_CANCELLED ? QStringLiteral("Request cancelled.")
                        : port->isOpen()         ? port->errorString()
                                                 : QStringLiteral("Device not connected.");
        return a;
    }

    replyWindow = timeoutMs;
    QElapsedTimer waited;
    waited.start();
    bool damaged = false;
    for (;;) {
        // The answer: a frame of this server and function (or its exception)
        // whose size and fields fit the request and whose CRC holds.
        for (qsizetype i = 0; i + 2 < rxBuffer.size(); ++i) {
            if (byteAt(rxBuffer, i) != server)
                continue;
            const quint8 f = byteAt(rxBuffer, i + 1);
            const bool exception = f == (function | kExceptionBit);
            if (f != function && !exception)
                continue;
            const qsizetype size = exception ? kExceptionSize : expected;
            if (rxBuffer.size() - i < size)
                continue; // may complete with more bytes
            if (!exception && !fits(rxBuffer.mid(i, qMin<qsizetype>(size, 6))))
                continue; // the answer to some other request
            if (!crcHolds(rxBuffer, i, size)) {
                damaged = true;
                continue;
            }
            const QByteArray answer = rxBuffer.mid(i, size);
            if (i > 0 && log)
                log(QStringLiteral("COMM_RX_CORRUPT: %1 bytes before the answer dropped").arg(i));
            rxBuffer.remove(0, i + size); // later bytes stay: they answer nothing
            if (exception) {
                a.kind = QModbusDevice::ProtocolError;
                a.exceptionCode = byteAt(answer, 2);
                a.errorString = QStringLiteral("Modbus exception response.");
            } else if (function == ReadHoldingRegisters) {
                for (qsizetype k = 3; k + 1 < size - 2; k += 2)
                    a.values.append(static_cast<quint16>(word16At(answer, k)));
            }
            return a;
        }
        if (isCancelled()) {
            a.result = COMM_CANCELLED;
            a.kind = QModbusDevice::ReplyAbortedError;
            a.errorString = QStringLiteral("Request cancelled.");
            break;
        }
        const qint64 left = timeoutMs - waited.elapsed();
        if (left <= 0) {
            a.result = damaged ? COMM_RX_FAIL : COMM_RX_TIMEOUT;
            a.kind = damaged ? QModbusDevice::ReadError : QModbusDevice::TimeoutError;
            a.errorString = damaged ? QStringLiteral("Response with a wrong CRC.") : QStringLiteral("Response timeout.");
            break;
        }
        pullArrivals(remainingWait(static_cast<int>(qMin<qint64>(left, kWaitSliceMs))));
        if (linkLost) {
            a.result = COMM_RX_FAIL;
            a.kind = QModbusDevice::ConnectionError;
            a.errorString = port->errorString();
            break;
        }
    }
    if (!rxBuffer.isEmpty() && log)
        log(QStringLiteral("COMM_RX_CORRUPT: %1 bytes without an answer dropped").arg(rxBuffer.size()));
    rxBuffer.clear();
    markUnanswered(timeoutMs); // its answer may still come
    return a;
}
