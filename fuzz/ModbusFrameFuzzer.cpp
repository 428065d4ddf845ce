// The Modbus sniffer's frame cutter, fed the input in pieces as arrivals.
// Every frame it cuts carries its CRC and is cut from the front of what the
// line delivered; between arrivals the buffer holds at most 260 bytes, or the
// few bytes of a frame too short to tell; nothing is invented or reordered.
#include "FuzzLink.h"

#include "comm/ModbusFrames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int piece = data[0] % 64 + 1;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), static_cast<qsizetype>(size - 1));
    QByteArray buffer;
    QByteArray seen;   // every byte that arrived, in order
    QByteArray kept;   // the frames cut and the bytes dropped, in order, then what is left
    for (qsizetype at = 0; at < input.size(); at += piece) {
        const QByteArray arrival = input.mid(at, piece);
        seen += arrival;
        const QByteArray before = buffer + arrival;
        buffer = before;
        const ModbusCut cut = cutModbusFrames(&buffer);
        QByteArray out;
        for (const QByteArray &frame : cut.frames) {
            FUZZ_CHECK(frame.size() >= 5);
            const quint16 crc = static_cast<quint8>(frame.at(frame.size() - 2))
                                | static_cast<quint8>(frame.at(frame.size() - 1)) << 8;
            FUZZ_CHECK(modbusCrc16(frame.constData(), frame.size() - 2) == crc);
            out += frame;
        }
        FUZZ_CHECK(buffer.size() <= kModbusUnframedKeep);
        FUZZ_CHECK(cut.unframed || buffer.size() <= 6);
        // The frames come from the front, the buffer is the tail: whatever
        // lies between was dropped by the bound.
        FUZZ_CHECK(before.startsWith(out));
        FUZZ_CHECK(before.endsWith(buffer));
        FUZZ_CHECK(out.size() + buffer.size() <= before.size());
        kept += out;
    }
    FUZZ_CHECK(kept.size() + buffer.size() <= seen.size());
    return 0;
}
