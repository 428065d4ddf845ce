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

QByteArray ExchangeLine::readHeld()
{
    // As much as is there: a read of the whole bound would allocate it every time.
    return device->read(qMin<qint64>(device->bytesAvailable(), kMaxHeld));
}

void ExchangeLine::takeInHeld()
{
    const QByteArray held = readHeld();
    takeIn(held.constData(), held.size());
}

bool ExchangeLine::pullArrivals(int waitMs)
{
    if (!device)
        return false;
    // Bytes the device took in on its own (in its event loop, or while a
    // write left) came first: they are taken before the link is asked.
    if (device->bytesAvailable() > 0) {
        takeInHeld();
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
        takeInHeld();
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
    return qBound(kMinLateMs, kLateWindows * qMax(windowMs, qint64(0)), kMaxLateMs);
}

qint64 ExchangeLine::forgottenAt(const Owed &o)
{
    return o.uncertainTake ? o.until : o.until + lateSpan(o.windowMs);
}

bool ExchangeLine::couldAnswer(const Owed &o, int address, qsizetype answerSize, bool ofItsSize) const
{
    const bool sameDevice = address == kAnyDevice || o.address == kAnyDevice || o.address == address;
    // A device refuses one request of its own with the form every request
    // of it takes; a broadcast's answers are no refusals.
    const bool refusalMayAnswer = !ofItsSize && refusalAnswersAnyRequest && o.address == address;
    const bool sameSize = o.answerSize == 0 || answerSize == 0 || o.answerSize == answerSize || refusalMayAnswer;
    return sameDevice && sameSize;
}

qint64 ExchangeLine::lateUntil(const QByteArray &request, int address, qsizetype answerSize, qint64 now)
{
    qint64 until = 0;
    for (auto it = owed_.begin(); it != owed_.end();) {
        if (forgottenAt(*it) <= now) {
            it = owed_.erase(it);
            continue;
        }
        if (it->until > now && couldAnswer(*it, address, answerSize)) {
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

bool ExchangeLine::owedAMomentAgo(const QByteArray &request, int address, qsizetype answerSize, qint64 now,
                                  bool ofItsSize) const
{
    for (const Owed &o : owed_) {
        if (o.uncertainTake || (o.request == request && o.address == address))
            continue;
        if (now < o.until + lateSpan(o.windowMs) && couldAnswer(o, address, answerSize, ofItsSize))
            return true;
    }
    return false;
}

void ExchangeLine::addOwed(int address, qsizetype answerSize, const QByteArray &request, qint64 until,
                           qint64 windowMs, bool uncertainTake)
{
    Owed *entry = nullptr;
    for (Owed &o : owed_) {
        // An earlier request of this device and size was waited out before
        // this one went: its entry is taken over.
        if (o.address == address && o.answerSize == answerSize) {
            entry = &o;
            break;
        }
    }
    if (!entry) {
        if (owed_.size() >= kMaxOwed)
            owed_.removeFirst();
        owed_.append(Owed{});
        entry = &owed_.last();
    }
    entry->until = (entry->until > 0 && entry->request == request) ? qMax(entry->until, until) : until;
    entry->address = address;
    entry->answerSize = answerSize;
    entry->request = request;
    entry->windowMs = qMax(windowMs, qint64(0));
    entry->uncertainTake = uncertainTake;
}

void ExchangeLine::settleLastRequest()
{
    if (!lastUncertain_ || lastUnanswered_ || lastAddress_ == kNoAnswer)
        return;
    // Its own answer is owed as though the request had missed it: up to the
    // late span after its window.
    const qint64 window = qMax(replyWindow, qint64(0));
    addOwed(lastAddress_, lastAnswerSize_, lastRequest_, lastSentAt_ + window + lateSpan(window), window, true);
    lastUncertain_ = false;
    lastUncertainOfSize_ = false;
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
    settleLastRequest();
    // A closed or hung-up link takes nothing: refused here, without asking it.
    linkLost = isLinkDown();
    if (linkLost)
        return COMM_TX_FAIL;
    lastAddress_ = address;
    lastRequest_ = request;
    lastAnswerSize_ = answerSize;
    lastUncertain_ = false;
    lastUncertainOfSize_ = false;
    lastUnanswered_ = false;
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
    lastSentAt_ = wallClock();
    lastUncertain_ = address != kNoAnswer && owedAMomentAgo(lastRequest_, address, answerSize, lastSentAt_, false);
    lastUncertainOfSize_ = lastUncertain_ && owedAMomentAgo(lastRequest_, address, answerSize, lastSentAt_, true);
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
    lastUnanswered_ = true;
    addOwed(lastAddress_, lastAnswerSize_, lastRequest_, wallClock() + lateSpan(windowMs), windowMs, false);
}

bool ExchangeLine::lastAnswerUncertain() const
{
    return lastUncertainOfSize_ && !lastUnanswered_;
}

int ExchangeLine::awaitCertainTurn(int address)
{
    settleLastRequest();
    const qint64 now = wallClock();
    qint64 until = 0;
    for (const Owed &o : owed_) {
        if (o.address != address && o.address != kAnyDevice && address != kAnyDevice)
            continue;
        // A clock set back would otherwise hold the wait for as long.
        until = qMax(until, qMin(forgottenAt(o), now + o.windowMs + 2 * kMaxLateMs));
    }
    if (until > now)
        awaitTurn(until);
    if (linkLost)
        return COMM_TX_FAIL;
    return isCancelled() ? COMM_CANCELLED : COMM_OK;
}

void ExchangeLine::awaitOwedAnswers()
{
    settleLastRequest();
    const qint64 now = wallClock();
    qint64 until = 0;
    for (const Owed &o : owed_)
        until = qMax(until, qMin(o.until, now + o.windowMs + kMaxLateMs));
    if (until > now && !isLinkDown()) {
        awaitTurn(until);
        if (!linkLost)
            pullArrivals(0);
        if (!rxBuffer.isEmpty())
            handOverStray();
    }
    forgetUnanswered();
}

void ExchangeLine::forgetUnanswered()
{
    owed_.clear();
    lastAddress_ = kNoAnswer;
    lastUncertain_ = false;
    lastUncertainOfSize_ = false;
    lastUnanswered_ = false;
}
