#include "comm/PortLine.h"

#include "comm/PortName.h"
#include "comm/WriteFlush.h"

#include <QSerialPort>
#include <QString>

namespace {

bool lineGone(const QSerialPort &port)
{
    return port.error() == QSerialPort::ResourceError || port.error() == QSerialPort::ReadError;
}

} // namespace

bool openPortLine(QSerialPort &port, const QString &name, int baudRate, QString *why)
{
    closePortLine(port);
    const QString fault = portDeviceFault(name);
    if (!fault.isEmpty()) {
        if (why)
            *why = fault;
        return false;
    }
    port.setPortName(name);
    port.setBaudRate(baudRate);
    if (!port.open(QIODevice::ReadWrite)) {
        if (why)
            *why = port.errorString();
        return false;
    }
    port.clear(QSerialPort::AllDirections);
    return true;
}

void closePortLine(QSerialPort &port)
{
    if (!port.isOpen())
        return;
    // A line that is gone (an adapter pulled, the other end hung up) takes
    // nothing more, and every wait on it, or a flush of its buffers, would
    // report the loss once again to whoever is closing it because of it.
    if (!lineGone(port))
        drainWrites(port);
    if (!port.isOpen())
        return; // closed meanwhile by whoever heard the line go
    if (!lineGone(port))
        port.clear(QSerialPort::AllDirections);
    if (port.isOpen())
        port.close();
}
