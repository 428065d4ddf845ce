#include "tests/sim/SimPackets.h"

#include "comm/ShuffleCode.h"

namespace sim {

quint16 crc16(const QByteArray &bytes)
{
    quint16 crc = 0;
    for (const char c : bytes) {
        crc ^= static_cast<quint16>(static_cast<quint8>(c) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<quint16>((crc << 1) ^ 0x8005) : static_cast<quint16>(crc << 1);
    }
    return crc;
}

namespace {
// Copies a body, adding (stuff) or dropping (unstuff) the FD that follows each
// FF FF FD.
QByteArray restuff(const QByteArray &body, bool stuff)
{
    QByteArray out;
    int run = 0; // how much of FF FF FD the copy currently ends with
    for (qsizetype i = 0; i < body.size(); ++i) {
        const auto b = static_cast<quint8>(body.at(i));
        out += body.at(i);
        if (run == 2 && b == 0xFD) {
            if (stuff)
                out += '\xFD';
            else if (i + 1 < body.size() && static_cast<quint8>(body.at(i + 1)) == 0xFD)
                ++i; // the inserted byte
            run = 0;
        } else if (b == 0xFF) {
            run = run == 0 ? 1 : 2;
        } else {
            run = 0;
        }
    }
    return out;
}
} // namespace

QByteArray stuffBody(const QByteArray &body)
{
    return restuff(body, true);
}

QByteArray unstuffBody(const QByteArray &body)
{
    return restuff(body, false);
}

QByteArray scrambledIdentity(quint8 seed, quint8 idValue, quint16 modelNumber, quint8 firmware)
{
    const quint8 plain[] = {idValue, static_cast<quint8>(modelNumber & 0xFF), static_cast<quint8>(modelNumber >> 8),
                            firmware};
    QByteArray out(1, static_cast<char>(seed));
    quint32 state = shuffle::kStateBase | seed;
    for (const quint8 p : plain) {
        const auto s = static_cast<quint8>(p ^ ((state >> 8) & 0xFF));
        out += static_cast<char>(s);
        state = ((state + s) * shuffle::kMultiplier + shuffle::kIncrement) & 0xFFFF;
    }
    return out;
}

namespace {
QByteArray packetWithMark(char mark, quint8 id, quint8 instruction, const QByteArray &params)
{
    const QByteArray body = stuffBody(QByteArray(1, static_cast<char>(instruction)) + params);
    const int len = static_cast<int>(body.size()) + 2;
    QByteArray p = QByteArrayLiteral("\xFF\xFF\xFD");
    p += mark;
    p += static_cast<char>(id);
    p += static_cast<char>(len & 0xFF);
    p += static_cast<char>((len >> 8) & 0xFF);
    p += body;
    const quint16 crc = crc16(p);
    p += static_cast<char>(crc & 0xFF);
    p += static_cast<char>(crc >> 8);
    return p;
}
} // namespace

QByteArray packet2(quint8 id, quint8 instruction, const QByteArray &params)
{
    return packetWithMark('\0', id, instruction, params);
}

QByteArray bootPacket2(quint8 id, quint8 instruction, const QByteArray &params)
{
    return packetWithMark('\x0A', id, instruction, params);
}

QByteArray bootStatus2(quint8 id, quint8 error, const QByteArray &params)
{
    return bootPacket2(id, 0x55, QByteArray(1, static_cast<char>(error)) + params);
}

QByteArray status2(quint8 id, quint8 error, const QByteArray &params)
{
    return packet2(id, 0x55, QByteArray(1, static_cast<char>(error)) + params);
}

quint8 checksum1(const QByteArray &bytes, qsizetype from, qsizetype to)
{
    unsigned sum = 0;
    for (qsizetype i = from; i < to; ++i)
        sum += static_cast<quint8>(bytes.at(i));
    return static_cast<quint8>(~sum);
}

QByteArray packet1(quint8 id, quint8 instructionOrError, const QByteArray &params)
{
    QByteArray p = QByteArrayLiteral("\xFF\xFF");
    p += static_cast<char>(id);
    p += static_cast<char>(params.size() + 2);
    p += static_cast<char>(instructionOrError);
    p += params;
    p += static_cast<char>(checksum1(p, 2, p.size()));
    return p;
}

QByteArray fromHex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

} // namespace sim
