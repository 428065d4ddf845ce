#pragma once
// Bytes in and out of a link's native handle (a serial port's file, a TCP
// socket) without Qt's buffering in between, for the exchanges of the bus,
// whose small packets would otherwise cost a wait for the link to be writable
// before every write and a wait with a time-out error object for every slice
// of a reply wait.

#include <QString>
#include <QtGlobal>

namespace platform {

// What the system holds under a serial port's name.
enum class PortDevice
{
    Missing,    // nothing
    NotADevice, // a file, a FIFO, a folder: no serial line opens on it
    Device,     // a character device, as a serial port is
};

// What is where QSerialPort looks for the device of `portName` (on Unix a
// name without a folder lies in /dev); links are followed. Looking opens
// nothing, and a name holding a NUL byte names nothing.
PortDevice portDevice(const QString &portName);

// What a wait for input saw.
enum class LinkInput
{
    None,     // nothing came in time
    Ready,    // bytes are there
    HungUp,   // the link is gone (hung up, removed, in error)
};

// Waits up to `ms` (0: not at all) for input on `handle`.
LinkInput waitForLinkInput(qintptr handle, int ms);
// Whether the link on `handle` has hung up, was removed or is in error, bytes
// it still holds or not; false for no handle.
bool linkHungUp(qintptr handle);
// Sleeps `ms`, or less when the link hangs up meanwhile.
void waitForLinkHangUp(qintptr handle, int ms);
// Reads what is there without waiting, at most `size` bytes: the count, 0 when
// nothing is there, -1 when the link is gone.
qint64 readLinkNow(qintptr handle, char *data, qint64 size);
// Writes without waiting: the count the link took (0 when it takes nothing
// now), -1 when it failed.
qint64 writeLinkNow(qintptr handle, const char *data, qint64 size);

// Bytes a serial line's driver still holds to send; -1 when it cannot say (a
// port that is gone).
qint64 linkOutputQueue(qintptr handle);
// Waits until the line's transmitter has sent everything it was given.
// True when it has; call it once linkOutputQueue is 0, so that it never waits
// on a line that does not send.
bool drainLinkOutput(qintptr handle);

} // namespace platform
