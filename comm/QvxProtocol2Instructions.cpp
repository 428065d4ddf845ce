// Protocol 2.0: the single-device instructions.
#include "comm/QvxProtocol2.h"

#include "comm/CommResult.h"
#include "comm/PacketBytes.h"

#include <cstring>

using packet::byteAt;
using packet::word16At;

namespace {

constexpr qsizetype kStatusData = 9;   // reply parameters start here

QByteArray addressAndLength(ushort address, ushort length)
{
    QByteArray params;
    packet::appendWord16(params, address);
    packet::appendWord16(params, length);
    return params;
}

// CLEAR sub-command 1 and the multi-turn clear carry this magic.
const QByteArray kClearMagic = QByteArrayLiteral("QVX\"");
const QByteArray kErrorClearMagic = QByteArrayLiteral("ERCL");
const QByteArray kAuxMagic = QByteArrayLiteral("CTRL");

} // namespace

int QvxProtocol2::ping(uchar id, ushort *model_number, uchar *firmware_version, uchar *error)
{
    QByteArray packet = instructionPacket(id, Ping);
    QByteArray reply;
    uchar status = 0;
    const int result = txRxPacket(packet, &reply, &status, false);
    if (result != COMM_OK || reply.isEmpty()) // a broadcast awaits no reply
        return result;
    // A shorter reply carries neither value; nothing is read beyond it.
    if (reply.size() >= kPingReply) {
        if (model_number)
            *model_number = static_cast<ushort>(word16At(reply, kStatusData));
        if (firmware_version)
            *firmware_version = byteAt(reply, kStatusData + 2);
    }
    if (error)
        *error = status;
    return COMM_OK;
}

int QvxProtocol2::readTxRx(uchar id, ushort address, ushort length, uchar *data, uchar *error)
{
    QByteArray packet = instructionPacket(id, Read, addressAndLength(address, length));
    QByteArray reply;
    uchar status = 0;
    const int result = txRxPacket(packet, &reply, &status, false);
    if (result != COMM_OK || reply.isEmpty()) // a broadcast awaits no reply
        return result;
    // A refusal (shorter reply with an error number) leaves the data untouched.
    if (data && reply.size() == length + 11)
        std::memcpy(data, reply.constData() + kStatusData, length);
    if (error)
        *error = status;
    return COMM_OK;
}

int QvxProtocol2::writeInstruction(uchar instruction, uchar id, ushort address, ushort length, const uchar *data,
                                   uchar *error)
{
    if (!data && length > 0)
        return COMM_TX_ERROR; // no bytes to write: nothing is sent
    QByteArray params;
    params.reserve(2 + length);
    packet::appendWord16(params, address);
    if (length > 0)
        params.append(reinterpret_cast<const char *>(data), length);
    QByteArray packet = instructionPacket(id, instruction, params);
    QByteArray reply;
    return txRxPacket(packet, &reply, error, false);
}

int QvxProtocol2::writeTxRx(uchar id, ushort address, ushort length, const uchar *data, uchar *error)
{
    return writeInstruction(Write, id, address, length, data, error);
}

int QvxProtocol2::regWriteTxRx(uchar id, ushort address, ushort length, const uchar *data)
{
    uchar dropped = 0;
    return writeInstruction(RegWrite, id, address, length, data, &dropped);
}

int QvxProtocol2::sysWriteTxRx(uchar id, ushort address, ushort length, const uchar *data, uchar *error)
{
    return writeInstruction(SystemWrite, id, address, length, data, error);
}

int QvxProtocol2::action(uchar id)
{
    QByteArray packet = instructionPacket(id, Action);
    return txPacket(packet);
}

int QvxProtocol2::signalledCommand(QByteArray packet, uchar id, Completion completed)
{
    QByteArray reply;
    uchar error = 0; // written only when a reply was matched
    const int result = txRxPacket(packet, &reply, &error, false);
    emit(this->*completed)(result, id, result == COMM_OK ? error : 0);
    return result;
}

int QvxProtocol2::factoryReset(uchar id)
{
    return signalledCommand(instructionPacket(id, FactoryReset, QByteArray(1, '\x02')), id,
                            &QvxProtocol::resetCompleted);
}

int QvxProtocol2::reboot(uchar id)
{
    return signalledCommand(instructionPacket(id, Reboot), id, &QvxProtocol::rebootCompleted);
}

int QvxProtocol2::digitalReset(uchar)
{
    return COMM_UNSUPPORTED;
}

int QvxProtocol2::clear(uchar id, uchar param)
{
    QByteArray params(1, static_cast<char>(param));
    if (param == 1)
        params += kClearMagic;
    else if (param == 2)
        params += kErrorClearMagic;
    else
        params += QByteArray(4, '\0');
    return signalledCommand(instructionPacket(id, Clear, params), id, &QvxProtocol::clearCompleted);
}

int QvxProtocol2::multiturnClear(uchar id, uchar param)
{
    QByteArray params = QByteArray(1, '\x01') + kClearMagic;
    params += static_cast<char>(param);
    return signalledCommand(instructionPacket(id, Clear, params), id, &QvxProtocol::multiturnClearCompleted);
}

int QvxProtocol2::auxBackup(uchar id)
{
    return signalledCommand(instructionPacket(id, Aux, QByteArray(1, '\x01') + kAuxMagic), id,
                            &QvxProtocol::auxBackupCompleted);
}

int QvxProtocol2::auxRestore(uchar id)
{
    return signalledCommand(instructionPacket(id, Aux, QByteArray(1, '\x02') + kAuxMagic), id,
                            &QvxProtocol::auxRestoreCompleted);
}

int QvxProtocol2::dumpReadData(uchar id, ushort address, ushort length, uchar type, QByteArray *out)
{
    QByteArray local;
    QByteArray *reply = out ? out : &local;
    reply->clear();
    QByteArray params = addressAndLength(address | 0x8000, length); // bit 15 selects the dump
    params += static_cast<char>(type);
    QByteArray packet = instructionPacket(id, Read, params);
    const int result = txPacket(packet);
    if (result != COMM_OK)
        return result;
    // The dump has no way to pass an error byte on, so a refusal is not taken as
    // data: the wait goes on for a reply of the full size.
    uchar dropped = 0;
    return receiveMatchingReply(packet, reply, &dropped, false, false);
}
