#include "platform/LinkIo.h"

#include "platform/ConsoleControl.h"

#include <QFile>

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

PortDevice portDevice(const QString &portName)
{
    const bool path = portName.startsWith(QLatin1Char('/')) || portName.startsWith(QLatin1String("./"))
                      || portName.startsWith(QLatin1String("../"));
    const QByteArray location = QFile::encodeName(path ? portName : QStringLiteral("/dev/") + portName);
    if (location.contains('\0'))
        return PortDevice::Missing; // the system would look under the name cut there
    struct stat status{};
    if (::stat(location.constData(), &status) != 0)
        return PortDevice::Missing;
    return S_ISCHR(status.st_mode) ? PortDevice::Device : PortDevice::NotADevice;
}

LinkInput waitForLinkInput(qintptr handle, int ms)
{
    pollfd p{static_cast<int>(handle), POLLIN, 0};
    int n;
    do {
        n = ::poll(&p, 1, ms);
    } while (n < 0 && errno == EINTR);
    if (n < 0 || (p.revents & POLLNVAL))
        return LinkInput::HungUp;
    if (n == 0)
        return LinkInput::None;
    // A hung-up terminal may still hold bytes: they are read first.
    if (p.revents & POLLIN)
        return LinkInput::Ready;
    return (p.revents & (POLLHUP | POLLERR)) ? LinkInput::HungUp : LinkInput::None;
}

bool linkHungUp(qintptr handle)
{
    if (handle < 0)
        return false;
    // A hung-up or removed tty polls as POLLHUP or POLLERR from then on.
    pollfd p{static_cast<int>(handle), 0, 0};
    if (::poll(&p, 1, 0) < 0)
        return false;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void waitForLinkHangUp(qintptr handle, int ms)
{
    // A poll that asks for nothing sleeps, and wakes only when the link goes.
    pollfd p{static_cast<int>(handle), 0, 0};
    ::poll(&p, 1, ms);
}

qint64 readLinkNow(qintptr handle, char *data, qint64 size)
{
    ssize_t n;
    do {
        n = ::read(static_cast<int>(handle), data, static_cast<size_t>(size));
    } while (n < 0 && errno == EINTR);
    if (n > 0)
        return n;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    return -1; // the end of its data (a socket the peer closed, a hung-up terminal) or an error
}

qint64 writeLinkNow(qintptr handle, const char *data, qint64 size)
{
    // A socket whose peer has gone must fail the write with EPIPE rather than
    // end the program with the broken-pipe signal.
    ignoreBrokenPipe();
    ssize_t n;
    do {
        n = ::write(static_cast<int>(handle), data, static_cast<size_t>(size));
    } while (n < 0 && errno == EINTR);
    if (n >= 0)
        return n;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
}

qint64 linkOutputQueue(qintptr handle)
{
    int queued = 0;
    return ::ioctl(static_cast<int>(handle), TIOCOUTQ, &queued) == 0 ? queued : -1;
}

bool drainLinkOutput(qintptr handle)
{
    return ::tcdrain(static_cast<int>(handle)) == 0;
}

} // namespace platform
