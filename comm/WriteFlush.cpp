#include "comm/WriteFlush.h"

#include "platform/LinkIo.h"

#include <QDeadlineTimer>
#include <QIODevice>
#include <QSerialPort>
#include <QThread>
#include <QtGlobal>

namespace {

// Bytes the driver still holds for the line; -1 when it cannot say (a port
// that is gone).
int driverQueue(int fd)
{
    return static_cast<int>(platform::linkOutputQueue(fd));
}

// Ms that `bytes` take on the line at `baud`, ten bits each, rounded up.
qint64 wireMs(qint64 bytes, qint32 baud)
{
    return baud > 0 ? (bytes * 10 * 1000 + baud - 1) / baud : 0;
}

} // namespace

bool flushWrites(QIODevice &device, int waitMs)
{
    const QDeadlineTimer deadline(qMax(waitMs, 0));
    while (device.bytesToWrite() > 0) {
        // A wait of 0 still writes what the device takes at once; false means
        // the time is up or the device failed.
        const qint64 left = qMax<qint64>(deadline.remainingTime(), 0);
        if (!device.waitForBytesWritten(static_cast<int>(left)) || left == 0)
            break;
    }
    return device.bytesToWrite() == 0;
}

bool drainWrites(QSerialPort &port, int graceMs)
{
    if (!port.isOpen())
        return true;
    const int fd = port.handle();
    const int queued = driverQueue(fd);
    if (queued < 0)
        return false;
    const QDeadlineTimer deadline(wireMs(port.bytesToWrite() + queued, port.baudRate()) + qMax(graceMs, 0));
    // Our own buffer first: the driver takes what it can at once.
    if (!flushWrites(port, static_cast<int>(qMax<qint64>(deadline.remainingTime(), 0))))
        return false;
    // The driver's queue is asked rather than waited on blindly, so that an
    // adapter that no longer passes bytes on cannot hold the caller.
    for (;;) {
        const int left = driverQueue(fd);
        if (left < 0)
            return false;
        if (left == 0)
            break;
        if (deadline.hasExpired())
            return false;
        QThread::usleep(500);
    }
    // The last bytes in the transmitter: out within the time of its FIFO.
    return platform::drainLinkOutput(fd);
}
