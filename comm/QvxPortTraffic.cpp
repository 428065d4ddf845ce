// The serial transport's traffic tools, which work on raw bytes instead of
// through a packet engine: the Modbus RTU frame sniffer (while the protocol
// text is "MODBUS"), raw sending and the replay of recorded packets.
#include "comm/QvxPort.h"

#include "comm/CommResult.h"
#include "comm/ModbusFrames.h"
#include "comm/WriteFlush.h"
#include "device/ProtocolConstants.h"

#include <QDateTime>
#include <QTimer>

namespace {

constexpr int kModbusGapMs = 50; // silence that ends what the sniffer could not frame
constexpr int kPlayTickMs = 1;
constexpr int kRawMsPerByte = 5; // raw send without an engine to time it
// Where the instruction byte of a recorded packet lies, by its protocol.
constexpr int kInstructionAt1 = 4;
constexpr int kInstructionAt2 = 7;
// The status packet of protocol 2.0: never sent again.
constexpr quint8 kStatusInstruction = 0x55;
constexpr int kSent = 0; // PacketItem::direction of what this program sent

} // namespace

QvxProtocol::PacketItem QvxPort::trafficItem(int direction, const QByteArray &data) const
{
    QvxProtocol::PacketItem item;
    item.tick = QDateTime::currentMSecsSinceEpoch();
    item.direction = direction;
    item.protocol = version();
    item.data = data;
    return item;
}

// --- the Modbus frame sniffer ----------------------------------------------------------

void QvxPort::sniffModbus()
{
    modbus_timer->stop();
    emit updateRxStatus(true);
    // In pieces no bigger than what the buffer keeps, so that a flood of
    // bytes that never frame holds the buffer near its bound all along.
    ModbusCut cut;
    while (serial_port->bytesAvailable() > 0) {
        const QByteArray piece = serial_port->read(kModbusUnframedKeep);
        if (piece.isEmpty())
            break;
        modbus_buffer.append(piece);
        cut = cutModbusFrames(&modbus_buffer);
        for (const QByteArray &frame : std::as_const(cut.frames))
            emit outputPacket(trafficItem(1, frame));
    }
    emit updateRxStatus(false);
    if (cut.unframed)
        modbus_timer->start(kModbusGapMs);
}

void QvxPort::onModbusTimeoutTimer()
{
    modbus_buffer.clear();
}

int QvxPort::modbusCrc(int last) const
{
    const qsizetype count = qBound(qsizetype(0), qsizetype(last) + 1, modbus_buffer.size());
    return modbusCrc16(modbus_buffer.constData(), count);
}

// --- raw sending -----------------------------------------------------------------------

int QvxPort::writeRaw(QByteArray write_data)
{
    const int size = static_cast<int>(write_data.size());
    const int timeout = qvx_protocol ? qvx_protocol->packetTimeoutFor(size) : kRawMsPerByte * size;
    if (!serial_port->isOpen() || serial_port->write(write_data) != write_data.size())
        return COMM_TX_FAIL;
    if (!flushWrites(*serial_port, timeout))
        return COMM_TX_FAIL;
    emit outputPacket(trafficItem(0, write_data));
    return COMM_OK;
}

// --- replay ----------------------------------------------------------------------------

void QvxPort::startPlay()
{
    playing = true;
    play_index = 0;
    // An empty list has no first item to start the clock from; its first
    // tick ends the replay.
    play_clock = packet_list.isEmpty() ? 0 : packet_list.first().tick;
    play_timer->start(kPlayTickMs);
}

void QvxPort::stopPlay()
{
    play_timer->stop();
    playing = false;
    emit playStopped();
}

void QvxPort::onPlayTimer()
{
    if (play_index >= packet_list.size()) {
        stopPlay();
        return;
    }
    const QvxProtocol::PacketItem item = packet_list.at(play_index);
    if (play_clock < item.tick) {
        ++play_clock;
        return;
    }
    int at = -1;
    if (item.protocol == kProtocolVersion1)
        at = kInstructionAt1;
    else if (item.protocol == kProtocolVersion2)
        at = kInstructionAt2;
    // Only instruction packets of the servo protocols that this program sent
    // go out again. A received packet never does: a protocol 1.0 reply
    // carries its error byte where a request has its instruction, so an
    // alarm would go out as an instruction to the servo. An item too short
    // to hold its instruction byte is passed over.
    if (item.direction == kSent && at >= 0 && item.data.size() > at) {
        const auto instruction = static_cast<quint8>(item.data.at(at));
        if (instruction != 0 && instruction != kStatusInstruction) {
            emit playIndexChanged(play_index);
            writeRaw(item.data);
        }
    }
    ++play_index;
    ++play_clock;
}
