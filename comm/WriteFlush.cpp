#include "comm/WriteFlush.h"

#include <QDeadlineTimer>
#include <QIODevice>
#include <QtGlobal>

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
