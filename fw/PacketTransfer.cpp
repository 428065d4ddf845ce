// The packet bootloader's side of the update: the image in 128-byte blocks of
// bootloader packets, the restart into the new firmware, and the steps after
// the entry that every procedure runs.
#include "fw/QvxFirmware.h"

#include "comm/CommResult.h"
#include "device/ProtocolConstants.h"

#include <QFileInfo>

namespace {
constexpr uchar kBootloaderId = 254;
constexpr int kBlockSize = 128;
} // namespace

bool QvxFirmware::sendFileViaPackets(const Image &file)
{
    if (!sendable(file))
        return false;
    const QByteArray &image = file.bytes;
    // Refused before the bootloader is told anything: a larger image than the
    // block index can count would wrap it and overwrite its own start.
    if (image.size() > kLargestPacketImage) {
        emit logMessage(QStringLiteral("[E] sendFile: image too large"));
        return false;
    }
    const auto size = static_cast<quint32>(image.size());
    setProtocolVersion(kProtocolVersion2);
    const bool ecp = QFileInfo(file.path).suffix().toUpper() == QStringLiteral("ECP");
    const uchar startMode = ecp ? 1 : 17;
    const uchar dataMode = ecp ? 2 : 18;
    const uchar lastMode = ecp ? 3 : 19;

    // Values a reply did not carry are not taken for zeros.
    quint16 replyIndex = 0xFFFF;
    quint32 replyTotal = 0xFFFFFFFF;
    uchar error = 0xFF;
    const int started = qvx_protocol2->bootReadF7(kBootloaderId, startMode, size, &replyIndex, &replyTotal, &error);
    if (started != COMM_OK || error != 0 || replyIndex != 0 || replyTotal != 0) {
        emit logMessage(QStringLiteral("[E] sendFile: write fail"));
        return false;
    }
    const QString canceled = QStringLiteral("[E] sendFile Canceled");
    if (cancelRequested.load()) {
        emit logMessage(canceled);
        return false;
    }
    const auto blockFailed = [&] {
        emit logMessage(QStringLiteral("[E] sendFile: write fail"));
        emit logMessage(QStringLiteral("index = %1, size = %2").arg(replyIndex).arg(replyTotal));
        return false;
    };
    const auto bytesAt = [&](qint64 offset) { return reinterpret_cast<const uchar *>(image.constData() + offset); };

    quint16 k = 0;
    qint64 offset = 0;
    qint64 remaining = size;
    qint64 numerator = 12800;
    while (remaining >= kBlockSize) {
        error = 0xFF;
        if (qvx_protocol2->bootWriteF7(kBootloaderId, dataMode, k, kBlockSize, bytesAt(offset), &replyIndex,
                                       &replyTotal, &error) != COMM_OK
            || error != 0)
            return blockFailed();
        ++k;
        remaining -= kBlockSize;
        const int progress = static_cast<int>(numerator / size);
        emit firmware_progress(progress);
        emit logMessage(QStringLiteral("data index = %1, progress = %2, index = %3, size = %4")
                            .arg(k)
                            .arg(progress)
                            .arg(replyIndex)
                            .arg(replyTotal));
        if (cancelRequested.load()) {
            emit logMessage(canceled);
            return false;
        }
        numerator += 12800;
        offset += kBlockSize;
    }
    error = 0xFF;
    if (qvx_protocol2->bootWriteF7(kBootloaderId, lastMode, k, static_cast<quint16>(remaining), bytesAt(offset),
                                   &replyIndex, &replyTotal, &error) != COMM_OK
        || error != 0)
        return blockFailed();
    emit firmware_progress(100);
    return true;
}

bool QvxFirmware::restartViaProtocol(bool reset)
{
    setProtocolVersion(kProtocolVersion2);
    uchar error = 0;
    if (reset && (qvx_protocol2->bootCommand06(kBootloaderId, &error) != COMM_OK || error != 0))
        return false;
    return qvx_protocol2->bootCommandF8(kBootloaderId, &error) == COMM_OK && error == 0;
}

QString QvxFirmware::flashImage(const Image &image, bool consoleOnly)
{
    bool packetBootloader = false;
    if (!enterBootloader(&packetBootloader))
        return tr("Bootloader Entry Failed");
    return transferAfterEntry(image, packetBootloader && !consoleOnly, false);
}

QString QvxFirmware::transferAfterEntry(const Image &image, bool packetBootloader, bool reset)
{
    if (packetBootloader) {
        if (!sendFileViaPackets(image))
            return tr("Firmware Transfer Failed");
        if (!restartViaProtocol(reset))
            return tr("Bootloader Restart Failed");
        return {};
    }
    if (!loadFirmware())
        return tr("Bootloader Error");
    if (!sendFile(image))
        return tr("Firmware Transfer Failed");
    if (!finale(reset))
        return tr("Bootloader Restart Failed");
    return {};
}
