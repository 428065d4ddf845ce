#include "comm/QvxProtocol.h"

#include "comm/CommMetaTypes.h"
#include "comm/CommResult.h"
#include "platform/OutputSink.h"

#include <QElapsedTimer>
#include <QIODevice>
#include <QMetaMethod>
#include <QSerialPort>
#include <QTimer>

#include <limits>
#include <utility>

namespace {
// Pieces in which onTimeout flushes unparsed bytes.
constexpr qsizetype kFlushPiece = 20;
// The most bytes one log line shows in hex.
constexpr qsizetype kLoggedBytes = 256;
} // namespace

QvxProtocol::QvxProtocol(QObject *parent)
    : QObject(parent)
    , interByteTimer(new QTimer(this))
{
    registerCommMetaTypes();
    interByteTimer->setSingleShot(true);
    connect(interByteTimer, &QTimer::timeout, this, [this] { onInterByteTimeout(); });
}

QvxProtocol::~QvxProtocol() = default;

namespace {
const QMetaMethod &outputPacketSignal()
{
    static const QMetaMethod method = QMetaMethod::fromSignal(&QvxProtocol::outputPacket);
    return method;
}
} // namespace

void QvxProtocol::connectNotify(const QMetaMethod &signal)
{
    if (signal == outputPacketSignal())
        ++packetReceivers_;
}

void QvxProtocol::disconnectNotify(const QMetaMethod &signal)
{
    if (signal == outputPacketSignal())
        --packetReceivers_;
    else if (!signal.isValid()) // every connection went at once: count only what is left
        packetReceivers_ = isSignalConnected(outputPacketSignal()) ? qMax(packetReceivers_, packetRelays + 1) : 0;
}

bool QvxProtocol::packetsHeard() const
{
    return packetsHeardBehindRelays || packetReceivers_ > packetRelays;
}

void QvxProtocol::resetState()
{
    interByteTimer->stop();
    rxBuffer.clear();
    pendingBuffer.clear();
    inTransaction = false;
    packetTimeout = 0;
    clearHeaderPositions();
    // A reply that failed on the old link cannot come on the next one: the
    // port's buffers are cleared when it opens.
    forgetUnanswered();
}

int QvxProtocol::packetTimeoutFor(int bytes) const
{
    // Evaluated in this order, in double precision, then truncated. A huge
    // extra latency makes the longest wait an int holds, never a negative one.
    const double timeout = (1000.0 / baudRate) * 10.0 * bytes + 32.0 + 2.0 + extraLatency;
    if (timeout >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    return static_cast<int>(timeout);
}

void QvxProtocol::setPacketTimeout(int bytes)
{
    packetTimeout = packetTimeoutFor(bytes);
    replyWindow = static_cast<qint64>(packetTimeout);
    packetStartTime = wallClock();
}

void QvxProtocol::setPacketTimeoutMs(int ms)
{
    packetTimeout = ms;
    replyWindow = ms;
    packetStartTime = wallClock();
}

bool QvxProtocol::isPacketTimeout()
{
    const qint64 now = wallClock();
    const double elapsed = static_cast<double>(now - packetStartTime);
    if (elapsed < 0)
        packetStartTime = now; // the wall clock went back: the full time-out runs again
    if (elapsed > packetTimeout) {
        packetTimeout = 0;
        return true;
    }
    return false;
}

qint64 QvxProtocol::elapsedSincePacketStart()
{
    const qint64 now = wallClock();
    const qint64 elapsed = now - packetStartTime;
    if (elapsed < 0)
        packetStartTime = now;
    return elapsed;
}

void QvxProtocol::trace(bool received, const QByteArray &bytes) const
{
    if (!verbose)
        return;
    QByteArray line = received ? QByteArrayLiteral("[RX] ") : QByteArrayLiteral("[TX] ");
    line += bytes.toHex(' ').toUpper();
    line += '\n';
    platform::OutputSink::write(line);
}

void QvxProtocol::onTimeout()
{
    pendingBuffer += rxBuffer;
    rxBuffer.clear();
    while (!pendingBuffer.isEmpty()) {
        if (packetsHeard())
            emit outputPacket(makeItem(1, pendingBuffer.left(kFlushPiece), QStringLiteral("RX Corrupt")));
        pendingBuffer.remove(0, qMin(kFlushPiece, pendingBuffer.size()));
    }
}

int QvxProtocol::sendPacket(const QByteArray &packet, int address, qsizetype answerSize)
{
    int result = takeTurn(packet, address, answerSize);
    if (result != COMM_OK)
        return result;
    emit updateTxStatus(true);
    result = writeRequest(packet, packetTimeoutFor(static_cast<int>(packet.size())));
    if (result != COMM_OK)
        return result;
    if (packetsHeard())
        emit outputPacket(makeItem(0, packet));
    trace(false, packet);
    return COMM_OK;
}

int QvxProtocol::receivePacket(const Framing &f, QByteArray *packet)
{
    inTransaction = true;
    qsizetype wanted = f.replyMinimum; // only grows during one call
    int result = COMM_OK;
    for (;;) {
        if (f.testsToken && isCancelled()) {
            result = COMM_CANCELLED; // the receive buffer keeps its bytes
            break;
        }
        if (rxBuffer.size() < wanted)
            pullArrivals(1);
        if (linkLost) {
            result = COMM_RX_FAIL;
            break;
        }
        if (isPacketTimeout()) {
            if (!rxBuffer.isEmpty()) {
                emit logMessage(QStringLiteral("COMM_RX_CORRUPT: rx time out"));
                if (f.logSizeOnTimeout)
                    emit logMessage(QStringLiteral("read data size = %1").arg(rxBuffer.size()));
                logBytes(QStringLiteral("read data = "), rxBuffer);
                rxBuffer.clear();
            }
            result = COMM_RX_TIMEOUT;
            break;
        }
        if (rxBuffer.size() < wanted)
            continue;

        const qsizetype p = rxBuffer.indexOf(f.header);
        if (p < 0) {
            // Dropping bytes from the front cannot make a header appear, so drop
            // at once what one-byte steps would drop before more bytes are read.
            dropFront(rxBuffer.size() - wanted + 1);
            continue;
        }
        if (p > 0) {
            emit logMessage(QStringLiteral("COMM_RX_CORRUPT: remove unnecessary packets"));
            logBytes(QStringLiteral("remove data = "), rxBuffer.left(p));
            dropFront(p);
            continue;
        }
        const qsizetype size = f.replyPacketSize(rxBuffer);
        if (size == kReject || (largestReply > 0 && size > largestReply)) {
            dropFront(1); // a length no awaited reply has: noise that looks like a header
            continue;
        }
        if (size > rxBuffer.size()) {
            wanted = size;
            continue;
        }
        if (!f.checksumMatches(rxBuffer, 0, size)) {
            emit logMessage(f.checksumLog);
            logBytes(QStringLiteral("read data = "), rxBuffer);
            rxBuffer.clear();
            result = COMM_RX_CORRUPT;
            break;
        }
        *packet = rxBuffer.left(size);
        dropFront(size); // later bytes stay for the next receive
        if (packetsHeard())
            emit outputPacket(makeItem(1, *packet));
        if (f.traceReplies)
            trace(true, *packet);
        break;
    }
    if (result != COMM_OK)
        markUnanswered(replyWindow); // the reply may still come
    inTransaction = false;
    return result;
}

bool QvxProtocol::uncertainSuccess()
{
    if (!lastAnswerUncertain())
        return false;
    emit logMessage(QStringLiteral("COMM_RX_CORRUPT: the status may be the late answer of an earlier request"));
    return true;
}

void QvxProtocol::handOverStray()
{
    const bool wasInTransaction = inTransaction;
    inTransaction = true; // nothing of the device is read here: only what is held
    parseHeld();
    inTransaction = wasInTransaction;
    interByteTimer->stop();
    if (!rxBuffer.isEmpty()) {
        emit logMessage(QStringLiteral("COMM_RX_CORRUPT: late bytes dropped (%1 bytes)").arg(rxBuffer.size()));
        rxBuffer.clear();
    }
    clearHeaderPositions();
}

void QvxProtocol::noteArrival(bool begins)
{
    emit updateRxStatus(begins);
}

void QvxProtocol::dropFront(qsizetype count)
{
    rxBuffer.remove(0, qMin(count, rxBuffer.size()));
}

void QvxProtocol::logBytes(const QString &label, const QByteArray &bytes)
{
    // A flood can put megabytes in one dump: the line shows the first bytes and the count.
    if (bytes.size() <= kLoggedBytes) {
        emit logMessage(label + hexText(bytes));
        return;
    }
    emit logMessage(label + hexText(bytes.left(kLoggedBytes))
                    + QStringLiteral(" ... (%1 bytes)").arg(bytes.size()));
}

QString QvxProtocol::hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QvxProtocol::PacketItem QvxProtocol::makeItem(int direction, const QByteArray &data, const QString &text) const
{
    PacketItem item;
    item.tick = QDateTime::currentMSecsSinceEpoch();
    item.direction = direction;
    item.protocol = version();
    item.data = data;
    item.text = text;
    return item;
}

void QvxProtocol::parseArrivals()
{
    interByteTimer->stop();
    if (rxBuffer.isEmpty())
        clearHeaderPositions();
    emit updateRxStatus(true);
    if (device)
        rxBuffer += readHeld();
    if (boundHeld())
        clearHeaderPositions(); // their offsets were counted before the cut
    emit updateRxStatus(false);
    parseHeld();
}

void QvxProtocol::parseHeld()
{
    const Framing &f = framing();
    for (;;) {
        if (rxBuffer.isEmpty())
            return;
        if (rxBuffer.size() < f.streamMinimum) {
            startInterByteTimer();
            return;
        }
        const qsizetype p = rxBuffer.indexOf(f.header);
        if (p < 0) {
            // One-byte drops until too few bytes remain, done at once.
            dropFront(rxBuffer.size() - f.streamMinimum + 1);
            clearHeaderPositions();
            continue;
        }
        if (p > 0) {
            emit logMessage(QStringLiteral("COMM_RX_CORRUPT: remove unnecessary packets"));
            logBytes(QStringLiteral("remove data = "), rxBuffer.left(p));
            dropFront(p);
            clearHeaderPositions();
            continue;
        }
        const qsizetype size = f.streamPacketSize(rxBuffer, 0);
        if (size == kReject || size == kPending) {
            // kPending cannot occur at the head with streamMinimum bytes held.
            dropFront(1);
            clearHeaderPositions();
            continue;
        }
        if (rxBuffer.size() < size) {
            const int q = scanHeaders();
            if (q <= 0) {
                startInterByteTimer(); // wait for the rest
                return;
            }
            discardCorrupt(q, QStringLiteral("Invalid packet length"));
            continue;
        }
        if (!f.checksumMatches(rxBuffer, 0, size)) {
            const int q = scanHeaders();
            if (q > 0) {
                discardCorrupt(q, f.checksumReason);
                continue;
            }
            emit logMessage(f.checksumLog);
            logBytes(QStringLiteral("read data = "), rxBuffer);
            rxBuffer.clear();
            clearHeaderPositions();
            continue;
        }
        const QByteArray packet = rxBuffer.left(size);
        dropFront(size);
        clearHeaderPositions();
        if (packetsHeard())
            emit outputPacket(makeItem(1, packet));
        if (f.traceStreamPackets)
            trace(true, packet);
    }
}

int QvxProtocol::scanHeaders()
{
    const Framing &f = framing();
    qsizetype from = qMax(rescanFrom, 1);
    for (qsizetype q; (q = rxBuffer.indexOf(f.header, from)) >= 0; from = q + 1)
        headerPositions.append(static_cast<int>(q));
    // The next call also finds a header whose first bytes are already held.
    rescanFrom = static_cast<int>(qMax<qsizetype>(rxBuffer.size() - (f.header.size() - 1), 1));

    QList<int> stillPossible;
    for (const int p : std::as_const(headerPositions)) {
        if (p <= 0 || p + f.header.size() > rxBuffer.size())
            continue;
        const qsizetype size = f.streamPacketSize(rxBuffer, p);
        if (size == kPending) {
            stillPossible.append(p);
            continue;
        }
        if (size == kReject)
            continue;
        if (rxBuffer.size() - p < size) {
            stillPossible.append(p);
            continue;
        }
        if (f.checksumMatches(rxBuffer, p, size))
            return p; // the caller's discard clears the list
    }
    headerPositions = stillPossible;
    return -1;
}

void QvxProtocol::discardCorrupt(qsizetype count, const QString &reason)
{
    emit logMessage(QStringLiteral("COMM_RX_CORRUPT: ") + reason);
    logBytes(QStringLiteral("corrupt data = "), rxBuffer.left(count));
    dropFront(count);
    clearHeaderPositions();
}

void QvxProtocol::onInterByteTimeout()
{
    if (!rxBuffer.isEmpty()) {
        emit logMessage(QStringLiteral("COMM_RX_CORRUPT: inter-byte timeout (%1 bytes)").arg(rxBuffer.size()));
        rxBuffer.clear();
    }
    clearHeaderPositions();
}

void QvxProtocol::startInterByteTimer()
{
    const qint64 ms = qint64(extraLatency) + 500; // no int overflow for a huge latency
    interByteTimer->start(int(qBound(qint64(1), ms, qint64(std::numeric_limits<int>::max()))));
}

void QvxProtocol::clearHeaderPositions()
{
    headerPositions.clear();
    rescanFrom = 1;
}
