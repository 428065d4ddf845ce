// Protocol 2.0: the packet bootloader's packets (header FF FF FD 0A) and the
// standard-header instruction 0xF9 of the same family.
#include "comm/QvxProtocol2.h"

#include "comm/CommResult.h"
#include "comm/PacketBytes.h"

using packet::byteAt;
using packet::word16At;

namespace {

const QByteArray kBootHeader = QByteArrayLiteral("\xFF\xFF\xFD\x0A");
constexpr qsizetype kValues = 9;          // reply values start here
constexpr int kLongestBootLen = 61440;    // a larger LEN cannot start a reply
constexpr int kSmallestBootLen = 4;       // 0x55, error byte and CRC
constexpr int kSmallestBootReply = 11;    // the size the packet clock is started for

quint32 word32At(const QByteArray &bytes, qsizetype i)
{
    return static_cast<quint32>(word16At(bytes, i)) | (static_cast<quint32>(word16At(bytes, i + 2)) << 16);
}

void appendWord32(QByteArray &bytes, quint32 value)
{
    packet::appendWord16(bytes, static_cast<int>(value & 0xFFFF));
    packet::appendWord16(bytes, static_cast<int>(value >> 16));
}

// The 16-bit value at offset 9 and the 32-bit value at offset 11, each only
// when the reply holds it.
void readIndexAndTotal(const QByteArray &reply, quint16 *index, quint32 *total)
{
    if (index && reply.size() >= kValues + 2 + 2)
        *index = static_cast<quint16>(word16At(reply, kValues));
    if (total && reply.size() >= kValues + 6 + 2)
        *total = word32At(reply, kValues + 2);
}

} // namespace

QByteArray QvxProtocol2::bootPacket(uchar id, uchar instruction, const QByteArray &params)
{
    QByteArray packet = instructionPacket(id, instruction, params);
    packet[3] = static_cast<char>(kBootHeaderMark);
    return packet;
}

const QvxProtocol::Framing &QvxProtocol2::bootFraming()
{
    static const Framing f{
        kBootHeader,
        10, // never parsed as a stream: the bootloader answers only while asked
        10,
        &QvxProtocol2::streamPacketSize,
        &QvxProtocol2::bootReplySize,
        &QvxProtocol2::crcMatches,
        QStringLiteral("COMM_RX_CORRUPT: crc error"),
        QStringLiteral("CRC Error"),
        false,
        false,
        false, // the reply is emitted as an item but not hex-traced
        false, // the packet clock alone ends a bootloader wait
    };
    return f;
}

qsizetype QvxProtocol2::bootReplySize(const QByteArray &buffer)
{
    const int len = word16At(buffer, 5);
    // A status shorter than its fixed part holds no error byte to read: it is
    // dropped like a bad header rather than read beyond its end.
    if (len > kLongestBootLen || len < kSmallestBootLen || byteAt(buffer, 7) != Status)
        return kReject;
    return len + 7;
}

int QvxProtocol2::rxBootPacket(QByteArray *reply)
{
    const int result = receivePacket(bootFraming(), reply);
    if (result == COMM_OK)
        removeStuffing(*reply);
    return result;
}

int QvxProtocol2::txRxBootPacket(QByteArray &packet, QByteArray *reply, uchar *error)
{
    const int sent = txPacket(packet);
    if (sent != COMM_OK)
        return sent;
    setPacketTimeout(kSmallestBootReply);
    QByteArray received;
    const int result = rxBootPacket(&received);
    if (result != COMM_OK)
        return result;
    if (error)
        *error = byteAt(received, 8);
    if (reply)
        *reply = received;
    return COMM_OK;
}

int QvxProtocol2::bootTransaction(uchar id, uchar instruction, const QByteArray &params, QByteArray *reply,
                                  uchar *error)
{
    QByteArray packet = bootPacket(id, instruction, params);
    return txRxBootPacket(packet, reply, error);
}

int QvxProtocol2::indexedBootTransaction(uchar id, uchar instruction, const QByteArray &params, quint16 *index,
                                         quint32 *total, uchar *error)
{
    QByteArray reply;
    const int result = bootTransaction(id, instruction, params, &reply, error);
    if (result == COMM_OK)
        readIndexAndTotal(reply, index, total);
    return result;
}

int QvxProtocol2::bootCommand06(uchar id, uchar *error)
{
    return bootTransaction(id, BootReset, {}, nullptr, error);
}

int QvxProtocol2::bootCommandF8(uchar id, uchar *error)
{
    return bootTransaction(id, BootRestart, {}, nullptr, error);
}

int QvxProtocol2::bootCommandF8(uchar id, quint32 value, uchar *error)
{
    QByteArray params;
    appendWord32(params, value);
    return bootTransaction(id, BootRestart, params, nullptr, error);
}

int QvxProtocol2::bootCommandF1(uchar id, uchar *value, uchar *error)
{
    QByteArray reply;
    const int result = bootTransaction(id, BootF1, {}, &reply, error);
    if (result == COMM_OK && value && reply.size() >= kValues + 1 + 2)
        *value = byteAt(reply, kValues);
    return result;
}

int QvxProtocol2::bootCommandFA(uchar id, quint32 a, quint16 b, quint16 *value, uchar *error)
{
    QByteArray params;
    appendWord32(params, a);
    packet::appendWord16(params, b);
    return indexedBootTransaction(id, BootFA, params, value, nullptr, error);
}

int QvxProtocol2::bootCommandFA(uchar id, quint32 a, quint32 b, quint16 c, quint16 *value, uchar *error)
{
    QByteArray params;
    appendWord32(params, a);
    appendWord32(params, b);
    packet::appendWord16(params, c);
    return indexedBootTransaction(id, BootFA, params, value, nullptr, error);
}

int QvxProtocol2::bootReadF7(uchar id, uchar mode, quint32 size, quint16 *index, quint32 *total, uchar *error)
{
    QByteArray params;
    packet::appendByte(params, mode);
    appendWord32(params, size);
    return indexedBootTransaction(id, BootTransfer, params, index, total, error);
}

int QvxProtocol2::bootReadF7(uchar id, uchar mode, quint32 a, quint32 b, quint16 *index, quint32 *total,
                             uchar *error)
{
    QByteArray params;
    packet::appendByte(params, mode);
    appendWord32(params, a);
    appendWord32(params, b);
    return indexedBootTransaction(id, BootTransfer, params, index, total, error);
}

int QvxProtocol2::bootWriteF7(uchar id, uchar mode, quint16 index, quint16 length, const uchar *data,
                              quint16 *replyIndex, quint32 *total, uchar *error)
{
    QByteArray params;
    params.reserve(3 + length);
    packet::appendByte(params, mode);
    packet::appendWord16(params, index);
    if (length > 0 && data)
        params.append(reinterpret_cast<const char *>(data), length);
    return indexedBootTransaction(id, BootTransfer, params, replyIndex, total, error);
}

int QvxProtocol2::commandF9(uchar id, uchar *error)
{
    QByteArray packet = instructionPacket(id, InstructionF9);
    QByteArray reply;
    return txRxPacket(packet, &reply, error, false);
}
