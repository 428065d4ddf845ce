#include "comm/ExchangeLine.h"

#include "comm/CommResult.h"
#include "platform/LinkIo.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QHash>
#include <QIODevice>
#include <QSerialPort>

namespace {
constexpr qint64 kNsPerMs = 1000000;
// The largest wait, in ns, whose whole milliseconds still fit an int.
constexpr qint64 kLargestIntWaitNs = 2147483647999999LL;
// Slices of the waits, ms: short enough that a cancellation ends them at once.
constexpr qint64 kTurnSliceMs = 10;
} // namespace

ExchangeLine::ExchangeLine() = default;

ExchangeLine::~ExchangeLine() = default;

bool ExchangeLine::isCancelled() const
{
    return token && token->cancelled();
}

int ExchangeLine::remainingWait(int ms) const
{
    if (!token)
        return ms;
    if (token->hasDeadline) {
        const qint64 left = token->deadline - CancellationToken::steadyNowNs();
        if (left < kNsPerMs)
            return 0;
        if (left <= kLargestIntWaitNs) {
            const qint64 leftMs = left / kNsPerMs;
            if (ms >= leftMs)
                return static_cast<int>(leftMs);
        }
    }
    return ms > 0 ? ms : 0;
}

bool ExchangeLine::isLinkDown() const
{
    if (!device || !device->isOpen() || !device->isReadable())
        return true;
    // A pulled adapter reports a resource error; a terminal whose other end
    // hung up reads as the end of its data, a read error. Both stay until the
    // port is opened again.
    if (const auto *serial = qobject_cast<const QSerialPort *>(device))
        return serial->error() == QSerialPort::ResourceError || serial->error() == QSerialPort::ReadError;
    // A connection the peer ended carries nothing more once its last bytes are read.
    if (const auto *socket = qobject_cast<const QAbstractSocket *>(device))
        return socket->state() != QAbstractSocket::ConnectedState && socket->bytesAvailable() <= 0;
    return false;
}

qintptr ExchangeLine::linkHandle() const
{
    if (const auto *serial = qobject_cast<const QSerialPort *>(device))
        return serial->isOpen() ? serial->handle() : -1;
    if (const auto *socket = qobject_cast<const QAbstractSocket *>(device))
        return socket->socketDescriptor();
    return -1;
}

bool ExchangeLine::boundHeld()
{
    if (rxBuffer.size() <= kMaxHeld)
        return false;
    rxBuffer.remove(0, rxBuffer.size() - kMaxHeld);
    return true;
}

void ExchangeLine::takeIn(const char *data, qint64 size)
{
    noteArrival(true);
    rxBuffer.append(data, size);
    boundHeld();
    noteArrival(false);
    lastArrivalTime = wallClock();
}

bool ExchangeLine::pullArrivals(int waitMs)
{
    if (!device)
        return false;
    // Bytes the device took in on its own (in its event loop, or while a
    // write left) came first: they are taken before the link is asked.
    if (device->bytesAvailable() > 0) {
        const QByteArray held = device->read(kMaxHeld);
        takeIn(held.constData(), held.size());
        return true;
    }
    if (isLinkDown()) {
        linkLost = true;
        return false;
    }
    const qintptr handle = linkHandle();
    if (handle < 0) {
        device->waitForReadyRead(waitMs);
        if (device->bytesAvailable() <= 0) {
            linkLost = isLinkDown();
            return false;
        }
        const QByteArray held = device->read(kMaxHeld);
        takeIn(held.constData(), held.size());
        return true;
    }
    // The link's own wait and read: no wake-up of the device's notifiers and
    // no time-out report for every slice a reply wait takes.
    if (platform::waitForLinkInput(handle, waitMs) == platform::LinkInput::None)
        return false;
    char chunk[4096];
    const qint64 got = platform::readLinkNow(handle, chunk, sizeof chunk);
    if (got > 0) {
        takeIn(chunk, got);
        return true;
    }
    if (got < 0 || linkGone(handle)) {
        // The device looks for itself, so that it reports the loss as it
        // would in its event loop; every wait then ends at once.
        device->waitForReadyRead(0);
        linkLost = true;
    }
    return false;
}

bool ExchangeLine::linkGone(qintptr handle)
{
    return platform::waitForLinkInput(handle, 0) == platform::LinkInput::HungUp;
}

qint64 ExchangeLine::lateSpan(qint64 windowMs)
{
    return qBound(qint64(0), kLateWindows * qMax(windowMs, qint64(0)), kMaxLateMs);
}

qint64 ExchangeLine::lateUntil(const QByteArray &request, int address, qsizetype answerSize, qint64 now)
{
    qint64 until = 0;
    for (auto it = late_.begin(); it != late_.end();) {
        if (it->until <= now) {
            it = late_.erase(it); // whatever was late has come, or never will
            continue;
        }
        const bool sameDevice = address == kAnyDevice || it->address == kAnyDevice || it->address == address;
        // A device refuses one request of its own with the form every request
        // of it takes; a broadcast's answers are no refusals.
        const bool refusalMayAnswer = refusalAnswersAnyRequest && it->address == address;
        const bool sameSize =
            it->answerSize == 0 || answerSize == 0 || it->answerSize == answerSize || refusalMayAnswer;
        if (sameDevice && sameSize) {
            if (it->request == request && it->address == address) {
                // The same question again: its late answer is as good as the
                // new one's, which may in turn come late.
                it->until = qMax(it->until, now + it->windowMs + lateSpan(it->windowMs));
            } else {
                // A clock set back would otherwise hold the request for as long.
                until = qMax(until, qMin(it->until, now + it->windowMs + kMaxLateMs));
            }
        }
        ++it;
    }
    return until;
}

void ExchangeLine::awaitTurn(qint64 until)
{
    for (;;) {
        if (isCancelled() || linkLost)
            return;
        const qint64 now = wallClock();
        if (now < lastArrivalTime)
            lastArrivalTime = now; // the wall clock went back: the quiet time runs again
        const qint64 quietFor = now - lastArrivalTime;
        if (now >= until && quietFor >= kQuietMs)
            return;
        // A line that never goes quiet (another master, a flood) holds the
        // request no longer than the late time allows.
        if (now >= until + kMaxLateMs)
            return;
        const qint64 left = now < until ? until - now : kQuietMs - quietFor;
        pullArrivals(remainingWait(static_cast<int>(qBound(qint64(1), left, kTurnSliceMs))));
    }
}

int ExchangeLine::takeTurn(const QByteArray &request, int address, qsizetype answerSize)
{
    // A closed or hung-up link takes nothing: refused here, without asking it.
    linkLost = isLinkDown();
    if (linkLost)
        return COMM_TX_FAIL;
    lastAddress_ = address;
    lastRequest_ = request;
    lastAnswerSize_ = answerSize;
    const qint64 until = lateUntil(lastRequest_, address, answerSize, wallClock());
    if (until > 0)
        awaitTurn(until);
    if (linkLost)
        return COMM_TX_FAIL;
    if (isCancelled())
        return COMM_CANCELLED;
    // What the link already holds came before the request: it answers nothing.
    pullArrivals(0);
    if (linkLost)
        return COMM_TX_FAIL;
    if (!rxBuffer.isEmpty())
        handOverStray();
    return COMM_OK;
}

int ExchangeLine::writeRequest(const QByteArray &bytes, int limitMs)
{
    if (isCancelled())
        return COMM_CANCELLED;
    QByteArray rest = bytes;
    // A small packet goes straight to the link, without a wait for it to be
    // writable first; what it does not take now follows through the device.
    const qintptr handle = device->bytesToWrite() == 0 ? linkHandle() : -1;
    if (handle >= 0) {
        const qint64 taken = platform::writeLinkNow(handle, bytes.constData(), bytes.size());
        if (taken < 0) {
            device->waitForReadyRead(0); // the device finds out why, and reports a loss itself
            return COMM_TX_FAIL;
        }
        if (taken == bytes.size())
            return COMM_OK;
        rest = bytes.mid(taken);
    }
    const qint64 written = device->write(rest);
    if (isCancelled())
        return COMM_CANCELLED;
    if (written != rest.size())
        return COMM_TX_FAIL; // closed or failing link: nothing (or not all) was taken

    // Wait for the bytes to leave in steps of at most 1 ms, so that an interrupt
    // ends the wait at once; the whole wait never runs past the deadline.
    const int limit = remainingWait(limitMs);
    QElapsedTimer waited;
    waited.start();
    while (device->bytesToWrite() > 0) {
        const qint64 left = limit - waited.elapsed();
        const bool progressed = device->waitForBytesWritten(static_cast<int>(qBound(qint64(0), left, qint64(1))));
        if (isCancelled())
            return COMM_CANCELLED;
        if (!progressed && (left <= 0 || isLinkDown()))
            return COMM_TX_FAIL;
    }
    return COMM_OK;
}

void ExchangeLine::markUnanswered(qint64 windowMs)
{
    if (lastAddress_ == kNoAnswer)
        return;
    const qint64 until = wallClock() + lateSpan(windowMs);
    Late *late = nullptr;
    for (Late &l : late_) {
        // An earlier request of this device and size was waited out before
        // this one went: its entry is taken over.
        if (l.address == lastAddress_ && l.answerSize == lastAnswerSize_) {
            late = &l;
            break;
        }
    }
    if (!late) {
        if (late_.size() >= kMaxLate)
            late_.removeFirst();
        late_.append(Late{});
        late = &late_.last();
    }
    late->until = (late->until > 0 && late->request == lastRequest_) ? qMax(late->until, until) : until;
    late->address = lastAddress_;
    late->answerSize = lastAnswerSize_;
    late->request = lastRequest_;
    late->windowMs = qMax(windowMs, qint64(0));
}

void ExchangeLine::forgetUnanswered()
{
    late_.clear();
    lastAddress_ = kNoAnswer;
}
