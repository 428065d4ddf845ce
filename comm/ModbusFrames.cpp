#include "comm/ModbusFrames.h"

namespace {

quint16 crcStep(quint16 crc, char byte)
{
    crc ^= static_cast<quint8>(byte);
    for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 1) ? static_cast<quint16>((crc >> 1) ^ 0xA001) : static_cast<quint16>(crc >> 1);
    return crc;
}

// The end k of the frame that begins at byte 0 (its CRC in bytes k + 1 and
// k + 2), or -1. The CRC of bytes 0 to k grows with k, so one pass finds it.
qsizetype frameEnd(const QByteArray &buffer)
{
    const auto byte = [&](qsizetype i) { return static_cast<quint8>(buffer.at(i)); };
    quint16 crc = 0xFFFF;
    for (qsizetype k = 0; k + 2 < buffer.size(); ++k) {
        crc = crcStep(crc, buffer.at(k));
        if (k >= 2 && crc == (byte(k + 2) << 8 | byte(k + 1)))
            return k;
    }
    return -1;
}

} // namespace

quint16 modbusCrc16(const char *data, qsizetype size)
{
    quint16 crc = 0xFFFF;
    for (qsizetype i = 0; i < size; ++i)
        crc = crcStep(crc, data[i]);
    return crc;
}

ModbusCut cutModbusFrames(QByteArray *buffer)
{
    ModbusCut cut;
    while (buffer->size() > 6) {
        const qsizetype end = frameEnd(*buffer);
        if (end < 0) {
            if (buffer->size() > kModbusUnframedKeep)
                buffer->remove(0, buffer->size() - kModbusUnframedKeep);
            cut.unframed = true;
            break;
        }
        cut.frames.append(buffer->left(end + 3));
        buffer->remove(0, end + 3);
    }
    return cut;
}
