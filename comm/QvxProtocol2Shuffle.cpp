// Protocol 2.0: the ID-shuffle instruction, a broadcast query and a reassignment
// request, both answered by any number of devices with a scrambled identity.
#include "comm/QvxProtocol2.h"

#include "comm/CommResult.h"
#include "comm/PacketBytes.h"
#include "comm/ShuffleCode.h"

using packet::byteAt;
using packet::word16At;

namespace {

constexpr qsizetype kShuffleAnswer = 16; // status with the seed and four scrambled bytes
constexpr qsizetype kSeedAt = 9;
constexpr int kIdentityBytes = 4;

QByteArray shuffleParams(uchar subCommand, uchar flag, const QByteArray &data = QByteArray())
{
    QByteArray params;
    params.reserve(4 + data.size());
    packet::appendByte(params, shuffle::kCodeLow);
    packet::appendByte(params, shuffle::kCodeHigh);
    packet::appendByte(params, subCommand);
    packet::appendByte(params, flag);
    params += data;
    return params;
}

} // namespace

void QvxProtocol2::descramble(uchar seed, const uchar *input, uchar *output, int length)
{
    quint16 state = shuffle::kStateBase | seed;
    for (int i = 0; i < length; ++i) {
        output[i] = static_cast<uchar>(input[i] ^ (state >> 8));
        state = static_cast<quint16>((static_cast<quint32>(state) + input[i]) * shuffle::kMultiplier +
                                     shuffle::kIncrement);
    }
}

bool QvxProtocol2::readShuffleAnswer(QByteArray packet, ShuffleAnswer *out)
{
    removeStuffing(packet);
    if (packet.size() != kShuffleAnswer)
        return false; // dropped without a word
    uchar plain[kIdentityBytes];
    descramble(byteAt(packet, kSeedAt), reinterpret_cast<const uchar *>(packet.constData()) + kSeedAt + 1, plain,
               kIdentityBytes);
    out->deviceId = byteAt(packet, 4);
    out->error = byteAt(packet, 8) & 0x7F;
    out->idValue = plain[0];
    out->modelNumber = static_cast<ushort>(plain[1] | (plain[2] << 8));
    out->firmware = plain[3];
    return true;
}

int QvxProtocol2::shufflePing(int wait_ms)
{
    QByteArray packet = instructionPacket(kBroadcastId, Shuffle, shuffleParams(shuffle::kQuery, 1));
    const int sent = txPacket(packet);
    if (sent != COMM_OK)
        return sent;
    // Every device answers; the wait always runs to its end.
    return listenForAnswers(wait_ms, [this](QByteArray &answer) {
        ShuffleAnswer a;
        if (readShuffleAnswer(answer, &a) && a.error == 0)
            emit shufflePingStatus(a.deviceId, a.idValue, a.modelNumber, a.firmware);
        return false;
    });
}

int QvxProtocol2::shuffleId(uchar id, QByteArray data, int wait_ms, int count)
{
    QByteArray packet = instructionPacket(id, Shuffle, shuffleParams(shuffle::kReassign, 0, data));
    const int sent = txPacket(packet);
    if (sent != COMM_OK)
        return sent;
    int answered = 0;
    return listenForAnswers(wait_ms, [&](QByteArray &answer) {
        ShuffleAnswer a;
        if (!readShuffleAnswer(answer, &a))
            return false;
        if (a.error != 0) {
            emit logMessage(QStringLiteral("Shuffle ID Error : ID = %1 error = %2").arg(id).arg(a.error));
            return false;
        }
        // The reverse order of the shuffle ping's: the ID value first.
        emit shuffleIdStatus(a.idValue, a.deviceId, a.modelNumber, a.firmware);
        return ++answered == count;
    });
}
