#pragma once
// Little-endian field access on packet buffers, shared by both packet engines.
// Callers check the buffer size first.

#include <QByteArray>

namespace packet {

inline uchar byteAt(const QByteArray &bytes, qsizetype i)
{
    return static_cast<uchar>(bytes.at(i));
}

inline int word16At(const QByteArray &bytes, qsizetype i)
{
    return byteAt(bytes, i) | (byteAt(bytes, i + 1) << 8);
}

inline void appendByte(QByteArray &bytes, int value)
{
    bytes.append(static_cast<char>(value & 0xFF));
}

inline void appendWord16(QByteArray &bytes, int value)
{
    appendByte(bytes, value);
    appendByte(bytes, value >> 8);
}

} // namespace packet
