#include "server/SerialLine.h"

#include "platform/LinkIo.h"

#include <cerrno>

namespace {

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
    if (platform::linkHungUp(port.handle()))
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
