// Protocol 2.0: packet format, CRC, byte stuffing and the transaction steps.
#include "comm/QvxProtocol2.h"

#include "comm/CommResult.h"
#include "comm/PacketBytes.h"
#include "device/ProtocolConstants.h"

#include <array>

using packet::byteAt;
using packet::word16At;

namespace {

constexpr std::array<quint16, 256> makeCrcTable()
{
    std::array<quint16, 256> table{};
    for (int i = 0; i < 256; ++i) {
        quint16 crc = static_cast<quint16>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<quint16>((crc & 0x8000) ? (crc << 1) ^ 0x8005 : crc << 1);
        table[static_cast<size_t>(i)] = crc;
    }
    return table;
}
constexpr std::array<quint16, 256> kCrcTable = makeCrcTable();

quint16 crcOf(const char *data, qsizetype size, quint16 crc = 0)
{
    for (qsizetype i = 0; i < size; ++i) {
        const auto index = ((crc >> 8) ^ static_cast<uchar>(data[i])) & 0xFF;
        crc = static_cast<quint16>((crc << 8) ^ kCrcTable[static_cast<size_t>(index)]);
    }
    return crc;
}

const QByteArray kHeader = QByteArrayLiteral("\xFF\xFF\xFD\x00");
const QByteArray kStuffMark = QByteArrayLiteral("\xFF\xFF\xFD");
const QByteArray kStuffed = QByteArrayLiteral("\xFF\xFF\xFD\xFD"); // the mark with its extra FD
constexpr qsizetype kStuffFrom = 7; // stuffing applies from the instruction byte on
constexpr qsizetype kLenOffset = 5;
constexpr qsizetype kInstructionHead = 8; // header, ID, length and instruction: a packet without parameters or CRC

bool stuffMarkAt(const QByteArray &bytes, qsizetype i)
{
    return i + 2 < bytes.size() && bytes.at(i) == '\xFF' && bytes.at(i + 1) == '\xFF' && bytes.at(i + 2) == '\xFD';
}

void adjustLen(QByteArray &packet, int delta)
{
    const int len = (word16At(packet, kLenOffset) + delta) & 0xFFFF;
    packet[kLenOffset] = static_cast<char>(len & 0xFF);
    packet[kLenOffset + 1] = static_cast<char>(len >> 8);
}

} // namespace

QvxProtocol2::QvxProtocol2(QObject *parent)
    : QvxProtocol(parent)
{
    refusalAnswersAnyRequest = true; // the status without data, taken by every request
}

QString QvxProtocol2::version() const
{
    return kProtocolVersion2;
}

void QvxProtocol2::addStuffing(QByteArray &packet)
{
    // Nearly every packet needs no stuffing: it is left alone, not copied,
    // on every send.
    const qsizetype first = packet.size() > kStuffFrom ? packet.indexOf(kStuffMark, kStuffFrom) : -1;
    if (first < 0)
        return;
    QByteArray out = packet.left(first);
    out.reserve(packet.size() + packet.size() / 3 + 1);
    int added = 0;
    for (qsizetype i = first; i < packet.size();) {
        if (stuffMarkAt(packet, i)) {
            out += kStuffMark;
            out += '\xFD';
            ++added;
            i += 3;
        } else {
            out += packet.at(i++);
        }
    }
    adjustLen(out, added);
    packet = out;
}

void QvxProtocol2::removeStuffing(QByteArray &packet)
{
    // The CRC bytes were never stuffed: an FF FF before them and a CRC of FD FD
    // must stay as they are.
    const qsizetype end = packet.size() - 2;
    if (end <= kStuffFrom)
        return;
    // Every reply, and every request a reply wait reads, passes here; one
    // without stuffing is left alone, not copied.
    const qsizetype first = packet.indexOf(kStuffed, kStuffFrom);
    if (first < 0 || first + 3 >= end)
        return;
    QByteArray out = packet.left(first);
    out.reserve(packet.size());
    int removed = 0;
    for (qsizetype i = first; i < end;) {
        if (i + 3 < end && stuffMarkAt(packet, i) && packet.at(i + 3) == '\xFD') {
            out += kStuffMark;
            ++removed;
            i += 4;
        } else {
            out += packet.at(i++);
        }
    }
    out += packet.right(2);
    adjustLen(out, -removed);
    packet = out;
}

ushort QvxProtocol2::updateCrc(ushort crc, const QByteArray &data, ushort size)
{
    return crcOf(data.constData(), qMin<qsizetype>(size, data.size()), crc);
}

QByteArray QvxProtocol2::instructionPacket(uchar id, uchar instruction, const QByteArray &params)
{
    QByteArray packet = kHeader;
    packet.reserve(10 + params.size());
    packet::appendByte(packet, id);
    packet::appendWord16(packet, static_cast<int>(params.size()) + 3); // LEN keeps 16 bits
    packet::appendByte(packet, instruction);
    packet += params;
    return packet;
}

// `packet` is unstuffed; its CRC, when it has one, is not looked at: a packet
// is judged the same before and after the CRC is appended.
QvxProtocol2::Awaited QvxProtocol2::awaitedAnswer(const QByteArray &packet)
{
    if (packet.size() < kInstructionHead)
        return {ExchangeLine::kNoAnswer, 0};
    const uchar id = byteAt(packet, 4);
    const uchar instruction = byteAt(packet, 7);
    if (instruction == Action || instruction == SyncWrite || instruction == BulkWrite)
        return {ExchangeLine::kNoAnswer, 0};
    if (id == kBroadcastId)
        return {ExchangeLine::kAnyDevice, instruction == Ping ? kPingReply : 0};
    if (byteAt(packet, 3) == kBootHeaderMark || instruction == Shuffle)
        return {id, 0}; // answers of their own families
    switch (instruction) {
    case Read:
        return {id, packet.size() >= kInstructionHead + 4 ? word16At(packet, 10) + kSmallestStatus : 0};
    case Ping:
        return {id, kPingReply};
    default:
        return {id, kSmallestStatus}; // a status without data
    }
}

bool QvxProtocol2::isRefusal(const QByteArray &reply)
{
    return reply.size() == kSmallestStatus && (byteAt(reply, 8) & 0x7F) != 0;
}

int QvxProtocol2::txPacket(QByteArray &packet)
{
    const Awaited awaited = awaitedAnswer(packet);
    addStuffing(packet);
    if (packet.size() > kMaxSendSize)
        return COMM_TX_ERROR; // nothing written
    const quint16 crc = crcOf(packet.constData(), packet.size());
    packet::appendWord16(packet, crc);
    return sendPacket(packet, awaited.address, awaited.size);
}

int QvxProtocol2::rxPacket(QByteArray *packet, bool keepStuffing)
{
    const int result = receivePacket(framing(), packet);
    if (result == COMM_OK && !keepStuffing)
        removeStuffing(*packet);
    return result;
}

int QvxProtocol2::receiveReply(const QByteArray &sent, QByteArray *reply, uchar *error, bool keepStuffing)
{
    return receiveMatchingReply(sent, reply, error, keepStuffing, true);
}

int QvxProtocol2::receiveMatchingReply(const QByteArray &sent, QByteArray *reply, uchar *error,
                                       bool keepStuffing, bool acceptRefusal)
{
    // The request's fields are read unstuffed, so that a stuffed address or
    // length does not shift the length of the reply awaited.
    QByteArray request = sent;
    removeStuffing(request);
    if (request.size() < 10)
        return COMM_TX_ERROR; // not a packet this engine sent
    const uchar id = byteAt(request, 4);
    const uchar instruction = byteAt(request, 7);

    if (instruction == FastBulkRead) {
        // The combined reply holds, per requested range, an error byte, the ID,
        // the data and two more bytes.
        const qsizetype ranges = (request.size() - 10) / 5;
        int expected = 8;
        for (qsizetype k = 0; k < ranges; ++k)
            expected += word16At(request, 11 + 5 * k) + 4;
        setPacketTimeout(expected + 10 * static_cast<int>(ranges));
        for (;;) {
            const int result = rxPacket(reply, keepStuffing);
            if (result != COMM_OK)
                return result;
            if (byteAt(*reply, 4) == id)
                return COMM_OK; // the error byte is not written
        }
    }
    if (id == kBroadcastId)
        return (instruction == SyncRead || instruction == BulkRead) ? COMM_NOT_AVAILABLE : COMM_OK;
    if (instruction == Action)
        return COMM_OK;

    // The size of the one reply taken besides a refusal: the data a READ or a
    // PING carries, else a status without data. A status of another size is
    // the answer to some other request.
    if (instruction == Read && request.size() < 14)
        return COMM_TX_ERROR;
    const int expected = static_cast<int>(awaitedAnswer(request).size);
    switch (instruction) {
    case Ping:
        setPacketTimeout(kSmallestStatus);
        break;
    case FactoryReset:
        setPacketTimeoutMs(500);
        break;
    case Clear:
        setPacketTimeoutMs(10000);
        break;
    case Aux:
        setPacketTimeoutMs(2000);
        break;
    case Read:
        setPacketTimeout(expected);
        break;
    default:
        setPacketTimeout(kSmallestStatus);
        break;
    }

    // A header announcing more than the awaited reply (with room for its
    // stuffing) is noise; so is, after a lost reply, a late one of another size.
    largestReply = expected + expected / 3 + 1;
    for (;;) {
        const int result = rxPacket(reply, keepStuffing);
        if (result != COMM_OK) {
            largestReply = 0;
            return result;
        }
        if (byteAt(*reply, 4) != id)
            continue; // another device's packet: dropped, same clock
        if (reply->size() != expected) {
            // Besides the awaited size only the short refusal, a status without
            // data that carries an error number.
            const bool refusal = acceptRefusal && isRefusal(*reply);
            if (!refusal)
                continue;
        }
        break;
    }
    largestReply = 0;
    if (expected == kSmallestStatus && byteAt(*reply, 8) == 0 && uncertainSuccess())
        return COMM_RX_CORRUPT;
    if (error)
        *error = byteAt(*reply, 8);
    return COMM_OK;
}

int QvxProtocol2::txRxPacket(QByteArray &packet, QByteArray *reply, uchar *error, bool keepStuffing)
{
    const int result = txPacket(packet);
    if (result != COMM_OK)
        return result;
    return receiveReply(packet, reply, error, keepStuffing);
}

const QvxProtocol::Framing &QvxProtocol2::framing() const
{
    static const Framing f{
        kHeader,
        9,  // the stream parser judges a head with its instruction byte and one more
        10, // a reply wait starts out wanting this much
        &QvxProtocol2::streamPacketSize,
        &QvxProtocol2::replyPacketSize,
        &QvxProtocol2::crcMatches,
        QStringLiteral("COMM_RX_CORRUPT: crc error"),
        QStringLiteral("CRC Error"),
        true,
        true,
    };
    return f;
}

qsizetype QvxProtocol2::streamPacketSize(const QByteArray &buffer, qsizetype p)
{
    if (p + 7 >= buffer.size())
        return kPending; // the instruction byte has not arrived
    const int len = word16At(buffer, p + 5);
    const uchar instruction = byteAt(buffer, p + 7);
    const int smallest = instruction == Status ? 4 : 3; // instruction (and error) and CRC
    if (byteAt(buffer, p + 4) == 0xFF || len + 7 > kMaxReceiveSize || len < smallest)
        return kReject;
    return len + 7;
}

qsizetype QvxProtocol2::replyPacketSize(const QByteArray &buffer)
{
    const int len = word16At(buffer, 5);
    if (len + 7 > kMaxReceiveSize || len < 4 || byteAt(buffer, 7) != Status)
        return kReject;
    return len + 7;
}

bool QvxProtocol2::crcMatches(const QByteArray &buffer, qsizetype p, qsizetype size)
{
    return crcOf(buffer.constData() + p, size - 2) == word16At(buffer, p + size - 2);
}

void QvxProtocol2::onReadyRead()
{
    parseArrivals();
}
