#pragma once
// Recovery and calibration on the simulated bus: a servo (ID 1, protocol 2.0)
// with a bootloader, a board at ID 200 when asked for, the slots reached by
// name and everything the transport reports recorded.

#include "fw/FirmwareRecovery.h"
#include "fw/QvxFirmware.h"
#include "UpdateBench.h"
#include "tests/sim/SimBus.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <thread>

inline constexpr quint8 kServo = 1;
inline constexpr quint8 kBoard = 200;

struct RecoveryBench : UpdateBench
{
    int entries = 0;
    int nextSucceeded = 0;
    int nextFailed = 0;

    explicit RecoveryBench(const sim::BootloaderSetup &setup = {})
    {
        sim::Device servo = sim::Device::protocol2(kServo, 1020, 53);
        servo.bootloader = setup;
        bus.addDevice(servo);
        QObject::connect(&fw, &QvxFirmware::firmware_bootloaderEntry, [this] { ++entries; });
        QObject::connect(&fw, &QvxFirmware::calibration_nextSucceed, [this] { ++nextSucceeded; });
        QObject::connect(&fw, &QvxFirmware::calibration_nextFailed, [this] { ++nextFailed; });
    }

    // No board answers the probe: its pings wait out their bare window only
    // (a recovery raises the latency for everything after the probe).
    void quietProbe() { fw.setTimeout(0); }

    // A board at ID 200 in front of the servo.
    void addBoard(quint16 model) { bus.addDevice(sim::Device::protocol2(kBoard, model, 14)); }

    // Everything the bootloader read, in one piece.
    QByteArray arrived() const
    {
        QByteArray all;
        for (const sim::Arrival &a : bus.bootArrivals())
            all += a.bytes;
        return all;
    }

    // The slots by name, as a caller without the header reaches them.
    bool recoverByName(const QString &model, const std::optional<QString> &path = std::nullopt)
    {
        bool done = false;
        const bool invoked =
            path ? QMetaObject::invokeMethod(&fw, "firmware_recovery", Q_RETURN_ARG(bool, done),
                                             Q_ARG(QString, bus.portName()), Q_ARG(QString, model),
                                             Q_ARG(QString, *path))
                 : QMetaObject::invokeMethod(&fw, "firmware_recovery", Q_RETURN_ARG(bool, done),
                                             Q_ARG(QString, bus.portName()), Q_ARG(QString, model));
        EXPECT_TRUE(invoked);
        return done;
    }
    bool calibrateByName(const QString &model)
    {
        bool done = false;
        EXPECT_TRUE(QMetaObject::invokeMethod(&fw, "calibration", Q_RETURN_ARG(bool, done),
                                              Q_ARG(QString, bus.portName()), Q_ARG(QString, model)));
        return done;
    }
    bool nextByName()
    {
        bool done = false;
        EXPECT_TRUE(QMetaObject::invokeMethod(&fw, "calibration_next", Q_RETURN_ARG(bool, done)));
        return done;
    }
    void cancelByName() { EXPECT_TRUE(QMetaObject::invokeMethod(&fw, "calibration_cancel")); }
    // The servo is switched on in its bootloader and the calibration of `model` runs.
    bool startProgram(const QString &model)
    {
        bus.startBootloader(kServo);
        return calibrateByName(model);
    }
};

// A person switches the servo on once `ready` holds: it starts in its
// bootloader while the entry knocks.
struct SwitchOn
{
    std::atomic<bool> done{false};
    std::thread thread;
    SwitchOn(sim::SimBus &bus, std::function<bool()> ready)
        : thread([this, &bus, ready = std::move(ready)] {
            QElapsedTimer waited;
            waited.start();
            while (!done && !ready() && waited.elapsed() < 30000)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (!done)
                bus.startBootloader(kServo);
        })
    {
    }
    ~SwitchOn()
    {
        done = true;
        thread.join();
    }
};

// The probe has pinged ID 200 at both rates, twice each: no board.
inline std::function<bool()> probeDone(sim::SimBus &bus)
{
    return [&bus] { return bus.receivedCount(0x01) >= 4; };
}

inline QByteArray resource(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
