#include "server/SerialLine.h"

#include <cerrno>
#include <poll.h>

namespace {

// A hung-up or removed tty polls as POLLHUP or POLLERR from then on.
bool hungUp(const QSerialPort &port)
{
    const qintptr handle = port.handle();
    if (handle < 0)
        return false;
    pollfd p{static_cast<int>(handle), POLLIN | POLLOUT, 0};
    if (::poll(&p, 1, 0) < 0)
        return false;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool saysWouldBlock(const QSerialPort &port)
{
    return port.errorString() == qt_error_string(EAGAIN);
}

} // namespace

SerialFault judgeSerialError(const QSerialPort &port, QSerialPort::SerialPortError error)
{
    // A port that failed to open, or was closed, has no line to ask.
    if (!port.isOpen())
        return SerialFault::Failure;
    if (hungUp(port))
        return SerialFault::LineGone;
    if (error != QSerialPort::ResourceError)
        return SerialFault::Failure;
    // Qt's ResourceError stands for a vanished device, except where it
    // carries a write that would block.
    return saysWouldBlock(port) ? SerialFault::WouldBlock : SerialFault::LineGone;
}

QString serialLossText(const QSerialPort &port)
{
    if (saysWouldBlock(port) || port.errorString().isEmpty())
        return QStringLiteral("the line hung up");
    return port.errorString();
}
