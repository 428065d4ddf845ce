#include "platform/KeyInput.h"
#include "platform/Signals_unix.h"

#include <algorithm>
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

    qint64 timeout = std::max(timeoutMs, 0);
    if (decoder_.hasPartial())
        timeout = std::clamp(lastByteMs_ + kPartialSequenceMs - monotonicMs(), qint64(0), timeout);

    pollfd fds[2] = {{fd_, POLLIN, 0}, {detail::wakeReadFd(), POLLIN, 0}};
    if (::poll(fds, 2, int(timeout)) > 0) {
        if (fds[1].revents & POLLIN)
            detail::drainWake();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
            readOnce();
    }
    if (decoder_.hasPartial() && monotonicMs() - lastByteMs_ >= kPartialSequenceMs)
        decoder_.dropPartial();
    return !pending_.isEmpty();
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
