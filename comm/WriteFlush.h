#pragma once
// Waiting for written bytes to leave a device within a time limit.

class QIODevice;

// Waits until `device` has nothing left to write, for at most `waitMs` (0 or more).
// The device is given at least one chance to pass its bytes on, however late
// the call comes: a thread that was not scheduled until its limit had passed
// still gets its bytes out. True when nothing is left to write.
bool flushWrites(QIODevice &device, int waitMs);
