#pragma once
// The firmware transport on the simulated bus, with a servo (ID 1, protocol
// 2.0) that has a bootloader, and everything the transport reports recorded.

#include "comm/CommResult.h"
#include "fw/QvxFirmware.h"
#include "tests/sim/SimBus.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

struct BootloaderBench
{
    sim::SimBus bus;
    QvxFirmware fw;
    QTemporaryDir dir;
    QStringList logs;
    QList<int> progress;
    QStringList failures;
    QStringList debug;

    explicit BootloaderBench(int dialect, bool packets = false, const sim::BootFaults &faults = {})
    {
        bus.addDevice(sim::Device::protocol2(1, 1020, 53));
        bus.setBootloader(1, sim::BootloaderSetup{dialect, packets, faults});
        fw.deviceType = dialect;
        fw.setTimeout(1000); // slack for a loaded machine in the packet replies
        QObject::connect(&fw, &QvxComm::logMessage, [this](const QString &m) { logs << m; });
        QObject::connect(&fw, &QvxFirmware::firmware_progress, [this](int p) { progress << p; });
        QObject::connect(&fw, qOverload<QString>(&QvxFirmware::firmware_failed),
                         [this](const QString &t) { failures << t; });
        QObject::connect(&fw, &QvxFirmware::outputDebug, [this](const QString &t) { debug << t; });
    }

    // Opens the port as a procedure does and holds it.
    bool open()
    {
        if (!bus.isOpen() || !fw.open(bus.portName(), 57600))
            return false;
        fw.port_held = true;
        return true;
    }

    // The device is in its bootloader (as after a restart) and the entry runs.
    bool enter(bool *packets = nullptr)
    {
        bus.startBootloader(1);
        bool packet = false;
        const bool entered = fw.enterBootloader(&packet);
        if (packets)
            *packets = packet;
        return entered;
    }

    // An image of these bytes, as read from a file of this name.
    QvxFirmware::Image image(const QByteArray &bytes, const QString &name = QStringLiteral("image.bin")) const
    {
        return {dir.filePath(name), bytes};
    }

    // Everything the bootloader read, in one piece.
    QByteArray arrived() const
    {
        QByteArray all;
        for (const sim::Arrival &a : bus.bootArrivals())
            all += a.bytes;
        return all;
    }

    // The steps as recovery runs them: entry, then the transfer; a failure
    // ends with the failure exit (console) or a plain close (packets).
    void runSteps(const QvxFirmware::Image &image, bool reset = false)
    {
        bool packets = false;
        if (!enter(&packets)) {
            fw.failWithGo(QStringLiteral("Bootloader Entry Failed"));
            return;
        }
        const QString failure = fw.transferAfterEntry(image, packets, reset);
        if (failure.isEmpty())
            return;
        if (!packets) {
            fw.failWithGo(failure);
            return;
        }
        fw.serial_port->close();
        emit fw.firmware_failed(failure);
        fw.port_held = false;
    }
};

// A built-in image (a resource), as read.
inline QvxFirmware::Image builtInImage(const QString &path)
{
    QFile file(path);
    return {path, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray()};
}

// A made-up image of `size` bytes whose bytes vary.
inline QByteArray patternImage(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 73 + 19) & 0xFF);
    return bytes;
}
