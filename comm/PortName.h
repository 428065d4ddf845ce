#pragma once
// The check every port name passes before it reaches the system, for the
// front ends that take a name from the user and the transports that open it.

#include <QString>

// A name the system can be given: one holding a NUL byte would be cut there
// and open some other port.
inline bool isPortName(const QString &name)
{
    return !name.contains(QChar(u'\0'));
}
