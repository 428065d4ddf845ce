#include "comm/QvxProtocol1.h"

#include "comm/CommResult.h"
#include "comm/PacketBytes.h"
#include "device/ProtocolConstants.h"

#include <cstring>

using packet::byteAt;

namespace {

const QByteArray kHeader = QByteArrayLiteral("\xFF\xFF");
constexpr int kHighestReplyId = 253;
constexpr int kLargestLen = 250;
constexpr int kSmallestLen = 2; // error (or instruction) and checksum
constexpr qsizetype kReplyData = 5;
// Addresses and data lengths travel as single bytes.
constexpr int kLargestField = 0xFF;

uchar checksumOf(const QByteArray &bytes, qsizetype from, qsizetype to)
{
    uint sum = 0;
    for (qsizetype i = from; i < to; ++i)
        sum += byteAt(bytes, i);
    return static_cast<uchar>(~sum & 0xFF);
}

} // namespace

QvxProtocol1::QvxProtocol1(QObject *parent)
    : QvxProtocol(parent)
{
}

QString QvxProtocol1::version() const
{
    return kProtocolVersion1;
}

QByteArray QvxProtocol1::instructionPacket(uchar id, uchar instruction, const QByteArray &params)
{
    QByteArray packet = kHeader;
    packet::appendByte(packet, id);
    packet::appendByte(packet, static_cast<int>(params.size()) + 2);
    packet::appendByte(packet, instruction);
    packet += params;
    return packet;
}

int QvxProtocol1::txPacket(QByteArray &packet)
{
    if (packet.size() > kMaxSendSize)
        return COMM_TX_ERROR; // nothing written
    packet::appendByte(packet, checksumOf(packet, 2, packet.size()));
    // Whose answer it awaits and of which size: a READ's carries its data,
    // every other a status without data.
    const uchar id = byteAt(packet, 2);
    const uchar instruction = byteAt(packet, 4);
    int address = id;
    qsizetype size = instruction == Read && packet.size() > 6 ? byteAt(packet, 6) + 6 : 6;
    if (instruction == Action) {
        address = ExchangeLine::kNoAnswer;
    } else if (id == kBroadcastId) {
        address = instruction == BulkRead ? ExchangeLine::kAnyDevice : ExchangeLine::kNoAnswer;
        size = 0;
    }
    return sendPacket(packet, address, size);
}

int QvxProtocol1::rxPacket(QByteArray *out)
{
    return receivePacket(framing(), out);
}

int QvxProtocol1::txRxPacket(QByteArray &tx, QByteArray *rx, uchar *error)
{
    const int sent = txPacket(tx);
    if (sent != COMM_OK)
        return sent;
    const uchar id = byteAt(tx, 2);
    const uchar instruction = byteAt(tx, 4);
    if (id == kBroadcastId)
        return instruction == BulkRead ? COMM_NOT_AVAILABLE : COMM_OK;
    if (instruction == Action)
        return COMM_OK;

    // A READ's reply carries its data; every other reply is a status without
    // data. A reply of another size answers some other request. (A READ the
    // device refuses gets a status without data: the wait goes on to its end.)
    const int expected = instruction == Read ? byteAt(tx, 6) + 6 : 6;
    setPacketTimeout(expected); // bounds the whole wait, from the end of sending
    for (;;) {
        const int result = rxPacket(rx);
        if (result != COMM_OK)
            return result;
        if (byteAt(*rx, 2) == id && rx->size() == expected)
            break; // other IDs, and replies of another size, are skipped
    }
    if (instruction != Ping && expected == 6 && byteAt(*rx, 4) == 0 && uncertainSuccess())
        return COMM_RX_CORRUPT;
    if (error)
        *error = byteAt(*rx, 4);
    return COMM_OK;
}

int QvxProtocol1::ping(uchar id, ushort *model_number, uchar *firmware_version, uchar *error)
{
    QByteArray packet = instructionPacket(id, Ping);
    QByteArray reply;
    uchar pingError = 0;
    int result = txRxPacket(packet, &reply, &pingError);
    if (result != COMM_OK || reply.isEmpty()) // a broadcast awaits no reply
        return result;
    uchar head[7] = {};
    result = readTxRx(id, 0, sizeof head, head, error);
    if (result != COMM_OK)
        return result;
    if (model_number)
        *model_number = static_cast<ushort>(head[0] | (head[1] << 8));
    if (firmware_version)
        *firmware_version = head[2] != 0 ? head[2] : head[6];
    return COMM_OK;
}

int QvxProtocol1::readTxRx(uchar id, ushort address, ushort length, uchar *data, uchar *error)
{
    // Cutting a wider address or length to 8 bits would read the wrong register.
    if (address > kLargestField || length > kLargestField)
        return COMM_TX_ERROR;
    QByteArray params;
    packet::appendByte(params, address);
    packet::appendByte(params, length);
    QByteArray packet = instructionPacket(id, Read, params);
    QByteArray reply;
    uchar status = 0;
    const int result = txRxPacket(packet, &reply, &status);
    if (result != COMM_OK || reply.isEmpty()) // a broadcast awaits no reply
        return result;
    if (data)
        std::memcpy(data, reply.constData() + kReplyData, length);
    if (error)
        *error = status;
    return COMM_OK;
}

int QvxProtocol1::writeInstruction(uchar instruction, uchar id, ushort address, ushort length, const uchar *data,
                                   uchar *error)
{
    // Cutting a wider address to 8 bits would write the wrong register.
    if (address > kLargestField || (!data && length > 0))
        return COMM_TX_ERROR;
    QByteArray params;
    packet::appendByte(params, address);
    if (length > 0)
        params.append(reinterpret_cast<const char *>(data), length);
    QByteArray packet = instructionPacket(id, instruction, params);
    QByteArray reply;
    return txRxPacket(packet, &reply, error);
}

int QvxProtocol1::writeTxRx(uchar id, ushort address, ushort length, const uchar *data, uchar *error)
{
    return writeInstruction(Write, id, address, length, data, error);
}

int QvxProtocol1::regWriteTxRx(uchar id, ushort address, ushort length, const uchar *data)
{
    uchar dropped = 0;
    return writeInstruction(RegWrite, id, address, length, data, &dropped);
}

int QvxProtocol1::sysWriteTxRx(uchar id, ushort address, ushort length, const uchar *data, uchar *error)
{
    return writeInstruction(SystemWrite, id, address, length, data, error);
}

int QvxProtocol1::action(uchar id)
{
    QByteArray packet = instructionPacket(id, Action);
    QByteArray reply;
    uchar unused = 0;
    return txRxPacket(packet, &reply, &unused);
}

int QvxProtocol1::signalledCommand(uchar instruction, uchar id, Completion completed)
{
    QByteArray packet = instructionPacket(id, instruction);
    QByteArray reply;
    uchar error = 0; // written only when a reply was matched
    const int result = txRxPacket(packet, &reply, &error);
    emit(this->*completed)(result, id, result == COMM_OK ? error : 0);
    return result;
}

int QvxProtocol1::factoryReset(uchar id)
{
    return signalledCommand(FactoryReset, id, &QvxProtocol::resetCompleted);
}

int QvxProtocol1::reboot(uchar id)
{
    return signalledCommand(Reboot, id, &QvxProtocol::rebootCompleted);
}

int QvxProtocol1::digitalReset(uchar id)
{
    return signalledCommand(DigitalReset, id, &QvxProtocol::resetCompleted);
}

// Operations protocol 1.0 does not have: no traffic, no signal.
int QvxProtocol1::clear(uchar, uchar) { return COMM_UNSUPPORTED; }
int QvxProtocol1::multiturnClear(uchar, uchar) { return COMM_UNSUPPORTED; }
int QvxProtocol1::broadcastPing(int) { return COMM_UNSUPPORTED; }
int QvxProtocol1::bulkRead(const QList<BulkReadParam> &, QList<BulkReadResult> *) { return COMM_UNSUPPORTED; }
int QvxProtocol1::bulkWrite(const QByteArray &) { return COMM_UNSUPPORTED; }
int QvxProtocol1::syncRead() { return COMM_UNSUPPORTED; }
int QvxProtocol1::syncWrite(ushort, ushort, const QByteArray &) { return COMM_UNSUPPORTED; }
int QvxProtocol1::shufflePing(int) { return COMM_UNSUPPORTED; }
int QvxProtocol1::shuffleId(uchar, QByteArray, int, int) { return COMM_UNSUPPORTED; }
int QvxProtocol1::fastSyncRead() { return COMM_UNSUPPORTED; }
int QvxProtocol1::fastBulkRead(const QList<BulkReadParam> &, QList<BulkReadResult> *) { return COMM_UNSUPPORTED; }
int QvxProtocol1::auxBackup(uchar) { return COMM_UNSUPPORTED; }
int QvxProtocol1::auxRestore(uchar) { return COMM_UNSUPPORTED; }
int QvxProtocol1::dumpReadData(uchar, ushort, ushort, uchar, QByteArray *) { return COMM_UNSUPPORTED; }

void QvxProtocol1::onReadyRead()
{
    parseArrivals();
}

const QvxProtocol::Framing &QvxProtocol1::framing() const
{
    static const Framing f{
        kHeader,
        5, // header, ID, LEN and one more byte
        5,
        &QvxProtocol1::streamPacketSize,
        &QvxProtocol1::replyPacketSize,
        &QvxProtocol1::checksumMatches,
        QStringLiteral("COMM_RX_CORRUPT: checksum error"),
        QStringLiteral("Checksum Error"),
        false,
        false, // stream packets are emitted, not traced
    };
    return f;
}

qsizetype QvxProtocol1::streamPacketSize(const QByteArray &buffer, qsizetype p)
{
    if (p + 3 >= buffer.size())
        return kPending; // ID and LEN have not both arrived
    const int len = byteAt(buffer, p + 3);
    if (len < kSmallestLen || len > kLargestLen || byteAt(buffer, p + 2) == 0xFF)
        return kReject;
    return len + 4;
}

qsizetype QvxProtocol1::replyPacketSize(const QByteArray &buffer)
{
    // A status needs its error byte and checksum (LEN 2 or more); a shorter one
    // would hand back a checksum as the error byte, or nothing at all.
    const int len = byteAt(buffer, 3);
    if (byteAt(buffer, 2) > kHighestReplyId || len > kLargestLen || len < kSmallestLen)
        return kReject;
    return len + 4;
}

bool QvxProtocol1::checksumMatches(const QByteArray &buffer, qsizetype p, qsizetype size)
{
    return checksumOf(buffer, p + 2, p + size - 1) == byteAt(buffer, p + size - 1);
}
