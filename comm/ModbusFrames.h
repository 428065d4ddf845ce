#pragma once
// Modbus RTU frames as a listener on the line sees them: a server address, a
// function code, at least one more byte, and the CRC-16/MODBUS of all bytes
// before it, low byte first. The frame cutter of the serial transport's
// Modbus sniffer lives here, apart from any port, so it can be tested and
// fuzzed on its own.

#include <QByteArray>
#include <QList>

// CRC-16/MODBUS (initial value 0xFFFF, reflected polynomial 0xA001, no final XOR).
quint16 modbusCrc16(const char *data, qsizetype size);

struct ModbusCut
{
    QList<QByteArray> frames; // the frames cut from the front, in order
    bool unframed = false;    // bytes that begin no frame stay: the gap timer should run
};

// Unframed bytes kept between arrivals: more than a whole RTU frame (256 bytes).
constexpr qsizetype kModbusUnframedKeep = 260;

// Cuts the frames that begin at the front of *buffer, one after another, while
// it holds more than 6 bytes. A frame ends at the first byte pair that carries
// the CRC of everything before it. When the front begins no frame, only the
// last 260 bytes stay and the cut is `unframed`; 6 bytes or fewer wait for
// more. Every search is one pass over the buffer.
ModbusCut cutModbusFrames(QByteArray *buffer);
