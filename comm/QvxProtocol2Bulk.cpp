// Protocol 2.0: the operations that address many devices at once.
#include "comm/QvxProtocol2.h"

#include "comm/CommResult.h"
#include "comm/PacketBytes.h"

using packet::byteAt;
using packet::word16At;

namespace {
constexpr qsizetype kBlockStart = 8;   // fast bulk read: first block of the combined reply
constexpr int kHighestDeviceId = 252;
} // namespace

int QvxProtocol2::broadcastPing(int wait_ms)
{
    QByteArray packet = instructionPacket(kBroadcastId, Ping);
    const int sent = txPacket(packet);
    if (sent != COMM_OK)
        return sent;
    largestReply = kPingReply + kPingReply / 3 + 1; // with room for stuffing
    const int result = listenForAnswers(wait_ms, [this](QByteArray &answer) {
        trace(true, answer);
        removeStuffing(answer);
        if (answer.size() == kPingReply)
            emit qvxFound(byteAt(answer, 4), static_cast<ushort>(word16At(answer, 9)), byteAt(answer, 11));
        return false;
    });
    largestReply = 0;
    return result;
}

int QvxProtocol2::listenForAnswers(int wait_ms, const std::function<bool(QByteArray &)> &take)
{
    const QByteArray &header = framing().header;
    inTransaction = true;
    const qint64 start = wallClock();
    // Bytes wanted before the head is judged: grows while the head packet is
    // incomplete and falls back once that packet is taken or dropped, so that an
    // answer queued behind a longer packet is not left waiting for bytes that
    // never come.
    qsizetype wanted = 10;
    int result = COMM_RX_TIMEOUT;
    for (;;) {
        if (isCancelled()) {
            rxBuffer.clear();
            result = COMM_CANCELLED;
            break;
        }
        pullArrivals(remainingWait(1));
        if (linkLost) {
            rxBuffer.clear();
            result = COMM_RX_FAIL;
            break;
        }
        if (wallClock() - start > wait_ms) {
            if (!rxBuffer.isEmpty()) {
                emit logMessage(QStringLiteral("COMM_RX_CORRUPT: rx time out"));
                logBytes(QStringLiteral("read data = "), rxBuffer);
                rxBuffer.clear();
            }
            break; // the normal end: COMM_RX_TIMEOUT
        }
        if (rxBuffer.size() < wanted)
            continue;
        const qsizetype p = rxBuffer.indexOf(header);
        if (p < 0)
            continue; // keep the bytes: a header may still complete
        if (p > 0) {
            emit logMessage(QStringLiteral("COMM_RX_CORRUPT: remove unnecessary packets"));
            logBytes(QStringLiteral("remove data = "), rxBuffer.left(p));
            dropFront(p);
            continue;
        }
        const qsizetype total = word16At(rxBuffer, 5) + 7;
        // A length no awaited answer has is noise shaped like a header: waiting
        // for its bytes would blind the rest of the wait.
        const qsizetype largest = largestReply > 0 ? largestReply : kMaxReceiveSize;
        if (byteAt(rxBuffer, 4) > kHighestDeviceId || total > largest || byteAt(rxBuffer, 7) != Status) {
            dropFront(1);
            continue;
        }
        if (total > rxBuffer.size()) {
            wanted = total;
            continue;
        }
        wanted = 10;
        if (!crcMatches(rxBuffer, 0, total)) {
            // Drop this answer only (up to a header inside it, should its LEN be
            // what was damaged); the answers queued behind it are still read.
            const qsizetype inside = rxBuffer.indexOf(header, 1);
            const qsizetype drop = (inside > 0 && inside < total) ? inside : total;
            emit logMessage(QStringLiteral("COMM_RX_CORRUPT: crc error"));
            logBytes(QStringLiteral("read data = "), rxBuffer.left(drop));
            dropFront(drop);
            continue;
        }
        QByteArray answer = rxBuffer.left(total);
        dropFront(total);
        if (take(answer)) {
            result = COMM_OK;
            break;
        }
    }
    if (result != COMM_OK)
        markUnanswered(packetTimeoutFor(kPingReply)); // answers may still come
    inTransaction = false;
    return result;
}

int QvxProtocol2::syncRead()
{
    return COMM_UNSUPPORTED;
}

int QvxProtocol2::fastSyncRead()
{
    return COMM_UNSUPPORTED;
}

int QvxProtocol2::syncWrite(ushort address, ushort data_length, const QByteArray &param)
{
    QByteArray params;
    packet::appendWord16(params, address);
    packet::appendWord16(params, data_length);
    params += param;
    QByteArray packet = instructionPacket(kBroadcastId, SyncWrite, params);
    return txPacket(packet);
}

int QvxProtocol2::bulkWrite(const QByteArray &param)
{
    QByteArray packet = instructionPacket(kBroadcastId, BulkWrite, param);
    return txPacket(packet);
}

QByteArray QvxProtocol2::bulkParameterBlock(const QList<BulkReadParam> &params)
{
    QByteArray block;
    block.reserve(params.size() * 5);
    for (const BulkReadParam &range : params) {
        packet::appendByte(block, range.id);
        packet::appendWord16(block, range.address);
        packet::appendWord16(block, range.length);
    }
    return block;
}

int QvxProtocol2::bulkRead(const QList<BulkReadParam> &params, QList<BulkReadResult> *results)
{
    QByteArray packet = instructionPacket(kBroadcastId, BulkRead, bulkParameterBlock(params));
    const int sent = txPacket(packet);
    if (sent != COMM_OK)
        return sent;
    for (const BulkReadParam &range : params) {
        const uchar id = static_cast<uchar>(range.id);
        const int length = range.length & 0xFFFF;
        setPacketTimeout(2 * length + 11);
        QByteArray reply;
        for (;;) {
            const int result = rxPacket(&reply, false);
            if (result != COMM_OK)
                return result; // the results taken so far stay
            // Packets of other IDs are dropped, and so is a status of this ID
            // that neither carries the range nor refuses it: it answers some
            // other request.
            const bool refusal = isRefusal(reply);
            if (byteAt(reply, 4) == id && (reply.size() == length + kSmallestStatus || refusal))
                break;
        }
        BulkReadResult taken;
        taken.id = range.id;
        taken.address = range.address;
        taken.length = range.length;
        // A short reply gives fewer bytes, never its CRC.
        taken.data = reply.mid(9, qBound(qsizetype(0), reply.size() - 11, qsizetype(length)));
        taken.error = byteAt(reply, 8);
        if (results)
            results->append(taken);
    }
    return COMM_OK;
}

int QvxProtocol2::fastBulkRead(const QList<BulkReadParam> &params, QList<BulkReadResult> *results)
{
    QByteArray packet = instructionPacket(kBroadcastId, FastBulkRead, bulkParameterBlock(params));
    const int sent = txPacket(packet);
    if (sent != COMM_OK)
        return sent;
    // Stuffing is removed before the reply is split: a stuffed byte inside one
    // device's data would otherwise shift every block behind it.
    QByteArray reply;
    uchar unused = 0;
    const int result = receiveReply(packet, &reply, &unused, false);
    if (result != COMM_OK)
        return result;

    // One block per range: error byte, ID, data, two more bytes (the last
    // block's two are the packet CRC). A reply that ends early yields the blocks
    // it holds; the split never reads into the packet CRC or beyond.
    const qsizetype payloadEnd = reply.size() - 2;
    qsizetype pos = kBlockStart;
    for (const BulkReadParam &range : params) {
        if (pos + 2 > payloadEnd)
            break;
        const int length = range.length & 0xFFFF;
        BulkReadResult taken;
        taken.error = byteAt(reply, pos);
        taken.id = byteAt(reply, pos + 1);
        taken.address = range.address;
        taken.length = range.length;
        taken.data = reply.mid(pos + 2, qMin(qsizetype(length), payloadEnd - (pos + 2)));
        if (results)
            results->append(taken);
        pos += length + 4;
    }
    return COMM_OK;
}
