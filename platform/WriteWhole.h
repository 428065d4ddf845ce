#pragma once
// Writes all of `bytes` to an open, unbuffered device. A write that takes only
// part (a full disk) is asked for the rest, which then fails with the system's
// reason: false with that reason in `*reason`.

#include <QByteArray>
#include <QIODevice>
#include <QString>

namespace platform {

inline bool writeWhole(QIODevice &device, const QByteArray &bytes, QString *reason)
{
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 written = device.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0) {
            *reason = device.errorString();
            return false;
        }
        done += written;
    }
    return true;
}

} // namespace platform
