#include "platform/KeyInput.h"
#include "platform/Signals_unix.h"

#include <QAbstractEventDispatcher>
#include <QSocketNotifier>

#include <algorithm>
#include <optional>
#include <cerrno>
#include <poll.h>
#include <time.h>
#include <unistd.h>

namespace platform {

namespace {

// A terminal sends an escape sequence in one write; when the rest of a cut
// sequence has not come after this long, it was a lone ESC (or garbage).
constexpr qint64 kPartialSequenceMs = 50;

// Bytes read per poll; what a paste holds beyond this comes with the next polls.
constexpr size_t kReadChunk = 512;

qint64 monotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

KeyInput::KeyInput(int fd)
    : fd_(fd)
{
    detail::wakeReadFd();
}

KeyInput &KeyInput::standardInput()
{
    static KeyInput input(STDIN_FILENO);
    return input;
}

bool KeyInput::isStandardInput() const
{
    return fd_ == STDIN_FILENO;
}

bool KeyInput::wait(int timeoutMs)
{
    if (!pending_.isEmpty())
        return true;
    if (ended_)
        return false;

    qint64 timeout = timeoutMs < 0 ? -1 : timeoutMs;
    const qint64 partial = partialWaitMs();
    if (partial >= 0)
        timeout = timeout < 0 ? partial : std::min(partial, timeout);

    pollfd fds[2] = {{fd_, POLLIN, 0}, {detail::wakeReadFd(), POLLIN, 0}};
    if (::poll(fds, 2, int(timeout)) > 0) {
        if (fds[1].revents & POLLIN) {
            detail::drainWake();
            woken_ = true;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
            readOnce();
    }
    if (decoder_.hasPartial() && monotonicMs() - lastByteMs_ >= kPartialSequenceMs)
        decoder_.dropPartial();
    return !pending_.isEmpty();
}

bool KeyInput::waitHandlingEvents()
{
    // This look also empties the wake-up pipe: a wake-up that came before it
    // ends the wait here, one that comes after it ends the sleep below.
    woken_ = false;
    if (readAvailable() || ended_ || woken_)
        return !pending_.isEmpty();
    if (partialWaitMs() >= 0)
        return wait(-1);
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher)
        return wait(-1); // no Qt events on this thread: the descriptor and the pipe are all there is
    {
        // Watched only while asleep here: keys typed ahead during a command
        // must not keep waking the event loops that the command runs.
        const QSocketNotifier input(qintptr(fd_), QSocketNotifier::Read);
        std::optional<QSocketNotifier> wake;
        if (detail::wakeReadFd() >= 0)
            wake.emplace(qintptr(detail::wakeReadFd()), QSocketNotifier::Read);
        dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return readAvailable();
}

qint64 KeyInput::partialWaitMs() const
{
    if (!decoder_.hasPartial())
        return -1;
    return std::max(lastByteMs_ + kPartialSequenceMs - monotonicMs(), qint64(0));
}

void KeyInput::readOnce()
{
    char buffer[kReadChunk];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) {
        lastByteMs_ = monotonicMs();
        decoder_.feed(buffer, n, pending_);
        return;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    // End of file, a hung-up terminal (EIO) or a descriptor that is no longer valid.
    ended_ = true;
    decoder_.dropPartial();
}

bool KeyInput::peek(KeyEvent &key)
{
    if (pending_.isEmpty())
        readAvailable();
    if (pending_.isEmpty())
        return false;
    key = pending_.head();
    return true;
}

bool KeyInput::take(KeyEvent &key)
{
    if (!peek(key))
        return false;
    pending_.dequeue();
    return true;
}

} // namespace platform
