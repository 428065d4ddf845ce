#pragma once
// Packet building and checking on the device side of the simulated bus. Written
// apart from the engines (a bitwise CRC, its own stuffing) so that a fault in
// the engines' packet code shows up against it instead of cancelling out.
// Tests also use these to put hand-made packets on the line.

#include <QByteArray>

namespace sim {

// CRC-16 of protocol 2.0 (polynomial 0x8005, initial 0, MSB first).
quint16 crc16(const QByteArray &bytes);

// The stuffed form of a packet body (instruction and parameters): an FD after
// every FF FF FD. unstuffBody undoes it.
QByteArray stuffBody(const QByteArray &body);
QByteArray unstuffBody(const QByteArray &body);

// A complete protocol 2.0 packet: header, ID, LEN, the stuffed body, CRC.
QByteArray packet2(quint8 id, quint8 instruction, const QByteArray &params = QByteArray());
// A protocol 2.0 status packet.
QByteArray status2(quint8 id, quint8 error, const QByteArray &params = QByteArray());
// The bootloader's packets: protocol 2.0 with FF FF FD 0A as the header.
QByteArray bootPacket2(quint8 id, quint8 instruction, const QByteArray &params = QByteArray());
QByteArray bootStatus2(quint8 id, quint8 error, const QByteArray &params = QByteArray());

// A complete protocol 1.0 packet: FF FF, ID, LEN, instruction or error,
// parameters, checksum.
QByteArray packet1(quint8 id, quint8 instructionOrError, const QByteArray &params = QByteArray());
// Inverted low byte of the sum of bytes [from, to).
quint8 checksum1(const QByteArray &bytes, qsizetype from, qsizetype to);

// The four identification bytes of a shuffle answer (ID value, model number
// low and high, firmware version) scrambled with the keystream `seed` starts;
// the seed byte comes first in the result.
QByteArray scrambledIdentity(quint8 seed, quint8 idValue, quint16 modelNumber, quint8 firmware);

// Parses hex text such as "FF FF 01" or "ff0a" (blanks ignored).
QByteArray fromHex(const char *text);

} // namespace sim
