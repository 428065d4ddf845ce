#include "platform/FileContents.h"

#include <QIODevice>

#include <algorithm>

namespace platform {

namespace {
constexpr qint64 kPieceBytes = 64 * 1024;
} // namespace

QByteArray readAtMost(QIODevice &device, qint64 most)
{
    QByteArray bytes;
    while (bytes.size() < most) {
        const QByteArray piece = device.read(std::min(kPieceBytes, most - bytes.size()));
        if (piece.isEmpty())
            break;
        bytes += piece;
    }
    return bytes;
}

} // namespace platform
