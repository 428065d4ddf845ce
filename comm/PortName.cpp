#include "comm/PortName.h"

#include "platform/LinkIo.h"

QString portNameFault(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("Port name must not be empty");
    if (name.contains(QChar(u'\0')))
        return QStringLiteral("Port name must not contain a NUL byte");
    return {};
}

QString portDeviceFault(const QString &name)
{
    const QString fault = portNameFault(name);
    if (!fault.isEmpty())
        return fault;
    switch (platform::portDevice(name)) {
    case platform::PortDevice::Missing:
        return QStringLiteral("no such device");
    case platform::PortDevice::NotADevice:
        return QStringLiteral("not a device");
    case platform::PortDevice::Device:
        break;
    }
    return {};
}
