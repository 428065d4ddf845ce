#pragma once
// A firmware update against the simulated bus: the transport with a reply
// slack for a loaded machine, and everything it reports recorded (log lines,
// failure texts, successes) beside the bus's own record of instructions.

#include "fw/QvxFirmware.h"
#include "tests/sim/SimBus.h"
#include "tests/support/QtPrinters.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSerialPort>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

// A protocol 1.0 servo as its update meets it: at `rate` (`rateValue` in its
// baud register), back at its factory rate (`factoryValue`) after every
// restart, its digital reset taking it into a bootloader of dialect 1 (the
// packet kind when `packets`), its closing reset running the application again.
struct RestartingServo1
{
    quint8 id = 1;
    quint16 model = 300;
    quint8 firmware = 20;
    int baudAddress = 4;
    quint8 factoryValue = 16; // 115200 bit/s
    quint8 rateValue = 1;     // 1000000 bit/s
    int rate = 1000000;
    int torqueAddress = -1; // torque on there, when not -1
    bool packets = false;

    void addTo(sim::SimBus &bus) const
    {
        sim::Device servo = sim::Device::protocol1(id, model, firmware);
        servo.setInitial(baudAddress, QByteArray(1, static_cast<char>(factoryValue)));
        servo.write(baudAddress, QByteArray(1, static_cast<char>(rateValue)));
        if (torqueAddress != -1)
            servo.write(torqueAddress, QByteArray(1, '\x01'));
        servo.baudRate = rate;
        servo.baudRegisterAddress = baudAddress;
        servo.factoryRateAfterRestart = true;
        servo.bootWindowMs = 1200;
        bus.addDevice(servo);
        bus.setBootloader(id, sim::BootloaderSetup{1, packets, {}}, sim::Protocol::V1);
    }
};

struct UpdateBench
{
    sim::SimBus bus;
    QvxFirmware fw;
    QTemporaryDir dir;
    QStringList logs;
    QStringList failures;
    int successes = 0;
    std::thread puller;
    std::atomic<bool> finished{false};

    UpdateBench()
    {
        fw.setTimeout(sim::kReplySlackMs);
        QObject::connect(&fw, &QvxComm::logMessage, [this](const QString &m) { logs << m; });
        QObject::connect(&fw, qOverload<QString>(&QvxFirmware::firmware_failed),
                         [this](const QString &t) { failures << t; });
        QObject::connect(&fw, &QvxFirmware::firmware_succeed, [this] { ++successes; });
    }

    // An image file of these bytes; empty when it could not be written.
    QString image(const QByteArray &bytes, const QString &name)
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        return path;
    }

    // An image whose first line names its version, as our images do.
    QString versionImage(const QString &model, int version)
    {
        return image(QStringLiteral("%1 version=%2\n").arg(model).arg(version).toLatin1() + QByteArray(500, '\x6B'),
                     QStringLiteral("%1_%2.bin").arg(model).arg(version));
    }

    // The log lines of the bus's instructions, in arrival order.
    QStringList record() const
    {
        QStringList lines;
        for (const sim::Instruction &in : bus.received())
            lines << in.logLine();
        return lines;
    }

    // The same without the board probe's pings at ID 200 and the bootloader packets.
    QStringList deviceRecord() const
    {
        QStringList lines;
        for (const QString &line : record()) {
            if (line != QLatin1String("2.0 200 PING") && !line.contains(QLatin1String(" BOOT_")))
                lines << line;
        }
        return lines;
    }

    // Whether the bus received an instruction with this log line.
    bool heard(const QString &line) const { return record().contains(line); }

    // The instruction with this log line gets no answer from its `from`-th
    // arrival on, and no device carries it out.
    void noAnswerTo(const QString &line, int from = 1)
    {
        bus.setResponder([line, from, seen = 0](const sim::Instruction &in) mutable -> std::optional<QByteArray> {
            if (in.logLine() != line || ++seen < from)
                return std::nullopt;
            return QByteArray();
        });
    }

    // The instruction with this log line gets no answer at its `nth` arrival
    // only, and is not carried out then; before and after it is.
    void noAnswerOnlyTo(const QString &line, int nth = 1)
    {
        bus.setResponder([line, nth, seen = 0](const sim::Instruction &in) mutable -> std::optional<QByteArray> {
            if (in.logLine() != line || ++seen != nth)
                return std::nullopt;
            return QByteArray();
        });
    }

    // Runs `action` on the update's own thread, once: the first time the
    // update closes its serial port while `when` holds.
    void atClose(std::function<bool()> when, std::function<void()> action)
    {
        QObject::connect(fw.serial_port, &QIODevice::aboutToClose,
                         [when = std::move(when), action = std::move(action), done = false]() mutable {
                             if (!done && when()) {
                                 done = true;
                                 action();
                             }
                         });
    }

    // The adapter is pulled as the update closes its port while `when` holds,
    // so the open that follows fails.
    void pullAtClose(std::function<bool()> when)
    {
        atClose(std::move(when), [this] { bus.hangUp(); });
    }

    // The bootloader of device `id` never answers, and the adapter is pulled
    // while the update runs, as soon as that bootloader has heard something:
    // the entry knocks on a line that is gone. Given up after 60 s.
    void pullDuringTheEntry(quint8 id, int dialect)
    {
        sim::BootFaults faults;
        faults.neverEnters = true;
        bus.setBootloader(id, sim::BootloaderSetup{dialect, false, faults});
        puller = std::thread([this] {
            QElapsedTimer waited;
            waited.start();
            while (bus.bootArrivals().isEmpty() && waited.elapsed() < 60000 && !finished)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!finished)
                bus.hangUp();
        });
    }
    ~UpdateBench()
    {
        finished = true;
        if (puller.joinable())
            puller.join();
    }

    // The procedures' own log lines ("Update[...]"), without the bootloader steps'.
    QStringList updateLogs() const
    {
        QStringList lines;
        for (const QString &line : logs) {
            if (line.startsWith(QLatin1String("Update[")))
                lines << line;
        }
        return lines;
    }

    // The update failed with `text` alone, the port closed and released.
    void expectFailed(const QString &text, const QString &what) const
    {
        EXPECT_EQ(failures, QStringList{text}) << qPrintable(what) << '\n' << qPrintable(logs.join('\n'));
        EXPECT_EQ(successes, 0) << qPrintable(what);
        EXPECT_FALSE(fw.isOpen()) << qPrintable(what);
        EXPECT_FALSE(fw.port_held) << qPrintable(what);
    }

    // The bootloader of device `id` never answers the entry, which gives up
    // `deadlineMs` after the update closes its port having sent `line`, well
    // before its usual deadline.
    void bootloaderNeverAnswers(quint8 id, int dialect, sim::Protocol protocol, const QString &line, int deadlineMs)
    {
        sim::BootFaults faults;
        faults.neverEnters = true;
        bus.setBootloader(id, sim::BootloaderSetup{dialect, false, faults}, protocol);
        atClose([this, line] { return heard(line); }, [this, deadlineMs] { fw.armEntryDeadline(deadlineMs); });
    }

    // The update failed with `text` alone after these "Update[...]" lines, the
    // port closed and released; an entry that failed says it was given up.
    void expectFailedAfter(const QStringList &logLines, const QString &text, const QString &what) const
    {
        expectFailed(text, what);
        EXPECT_EQ(updateLogs(), logLines) << qPrintable(what) << '\n' << qPrintable(record().join('\n'));
        if (text == QLatin1String("Bootloader Entry Failed")) {
            EXPECT_TRUE(logs.contains(QStringLiteral("[E] Bootloader entry Canceled"))
                        || logs.contains(QStringLiteral("[E] Bootloader entry: port lost")))
                << qPrintable(logs.join('\n'));
        }
    }

    // The update ended in its bootloader entry, at once, because the port
    // went: not given up at the entry's deadline.
    void expectEntryEndedByThePortGone() const
    {
        expectFailedAfter({}, QStringLiteral("Bootloader Entry Failed"), QStringLiteral("pulled during the entry"));
        EXPECT_TRUE(logs.contains(QStringLiteral("[E] Bootloader entry: port lost"))) << qPrintable(logs.join('\n'));
        EXPECT_FALSE(logs.contains(QStringLiteral("[E] Bootloader entry Canceled"))) << qPrintable(logs.join('\n'));
    }

    // A port name that no adapter has.
    QString missingPort() const { return dir.filePath(QStringLiteral("no-such-port")); }

    // The update succeeded, the port closed and released, the long latency kept.
    void expectSucceeded() const
    {
        EXPECT_EQ(successes, 1);
        EXPECT_TRUE(failures.isEmpty()) << qPrintable(failures.join('|'));
        EXPECT_FALSE(fw.isOpen());
        EXPECT_FALSE(fw.port_held);
        EXPECT_EQ(fw.extraLatency, 5000);
    }
};
