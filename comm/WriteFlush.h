#pragma once
// Waiting for written bytes to leave a device within a time limit, and letting
// them leave the line before a port is closed or set to another rate.

class QIODevice;
class QSerialPort;

// Waits until `device` has nothing left to write, for at most `waitMs` (0 or more).
// The device is given at least one chance to pass its bytes on, however late
// the call comes: a thread that was not scheduled until its limit had passed
// still gets its bytes out. True when nothing is left to write.
bool flushWrites(QIODevice &device, int waitMs);

// What a drain waits beyond the wire time of the queued bytes: the driver's
// and the adapter's own latency.
inline constexpr int kDrainGraceMs = 200;

// The rule before every close or reopen that follows a write: the bytes
// written are passed to the driver and then drained off the line, so that
// none is sent at the rate the close restores (or the reopen sets), nor
// thrown away with the port's buffers. Bounded: the wire time of what is
// still queued at the port's rate, plus `graceMs`; a port that has stopped
// passing its bytes on (an adapter pulled, a stuck handshake) cannot hold the
// caller longer. True when everything left the line; a closed port holds nothing.
bool drainWrites(QSerialPort &port, int graceMs = kDrainGraceMs);
