#pragma once
// The check every port name passes before it reaches the system: the front
// ends refuse a name that cannot name a port, and the one open of a serial
// line (comm/PortLine.h) also refuses a name under which no device is.

#include <QString>

// Why `name` cannot name a port at all, for the user: it is empty, or it
// holds a NUL byte (the system would read the name cut there and open some
// other port). Empty when it can.
QString portNameFault(const QString &name);

inline bool isPortName(const QString &name)
{
    return portNameFault(name).isEmpty();
}

// Why no serial line can be opened under `name`: the name's fault, or there
// is no such device, or what is there is not a device (a file, a FIFO, a
// folder). Empty when a device is there.
QString portDeviceFault(const QString &name);
