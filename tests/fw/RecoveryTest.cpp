// Firmware recovery against the simulated bus: a device switched on by hand
// (replacement image, the caller's image, no image, the reset rule, through a
// controller board, the end of a wait nobody answers) and the instruction 0xF9.
#include "RecoveryBench.h"

#include "tests/sim/SimPackets.h"
#include "tests/support/QtPrinters.h"

#include <QDir>

#include <sys/stat.h>

TEST(FirmwareRecovery, WritesTheImageIntoADeviceSwitchedOnByHand)
{
    struct Case
    {
        const char *what;
        const char *model;
        int dialect;
        bool packets;
        bool callerImage; // the caller names an image, besides the model's replacement image
    };
    const Case cases[] = {
        {"replacement image, console", "AR-240", 2, false, false},
        {"replacement image, packets", "BN-540", 2, true, false},
        {"caller's image over the replacement, packets", "BN-540", 2, true, true},
        {"caller's image, console dialect 1", "VH-1220", 1, false, true},
        {"controller-board dialect", "Tarlin-C04", 5, false, false},
    };
    for (const Case &c : cases) {
        RecoveryBench b(sim::BootloaderSetup{c.dialect, c.packets, {}});
        ASSERT_TRUE(b.bus.isOpen()) << qPrintable(b.bus.errorString());
        b.quietProbe();
        const QByteArray replacement(700, '\x2E');
        const QByteArray named(500, '\x71');
        b.fw.externalImages = {{QString::fromLatin1(c.model), b.image(replacement, "replacement.ecp")}};
        bool done = false;
        {
            SwitchOn person(b.bus, probeDone(b.bus));
            done = c.callerImage ? b.recoverByName(c.model, b.image(named, "named.bin"))
                                 : b.recoverByName(c.model);
        }
        EXPECT_TRUE(done) << c.what << "\n" << qPrintable(b.logs.join('\n'));
        EXPECT_EQ(b.bus.bootImage(), c.callerImage ? named : replacement) << c.what;
        EXPECT_TRUE(b.bus.bootImageComplete()) << c.what;
        EXPECT_TRUE(b.bus.waitForApplication(5000)) << c.what;
        EXPECT_EQ(b.successes, 1) << c.what;
        EXPECT_EQ(b.entries, 1) << c.what;
        EXPECT_TRUE(b.failures.isEmpty()) << c.what;
        EXPECT_FALSE(b.fw.isOpen()) << c.what;
        EXPECT_FALSE(b.fw.port_held) << c.what;
        EXPECT_EQ(b.fw.deviceType, QvxFirmware::classifyDevice(c.model)) << c.what;
        EXPECT_EQ(b.fw.extraLatency, 5000) << c.what << ": it stays after the recovery";
        EXPECT_EQ(b.fw.boardModel, 0) << c.what;
        // Nothing told the device to restart: the probe's pings are all it heard as packets.
        for (const QString &line : b.record()) {
            if (!line.contains("BOOT_")) {
                EXPECT_EQ(line, QStringLiteral("2.0 200 PING")) << c.what;
            }
        }
    }
}

TEST(FirmwareRecovery, WithoutAnImageFailsWithoutTouchingThePort)
{
    RecoveryBench b;
    b.fw.externalImages = {{"AR-240", b.image("abc", "AR-240.ecp")}};
    for (const char *model : {"CV-110", "ar-240", "AR-24", ""}) {
        EXPECT_FALSE(b.recoverByName(model)) << model;
        EXPECT_FALSE(b.recoverByName(model, QString())) << model;
    }
    EXPECT_EQ(b.failures, QStringList(8, "Firmware Not Found"));
    EXPECT_TRUE(b.record().isEmpty());
    EXPECT_TRUE(b.fw.serial_port->portName().isEmpty()) << "the port was never even named";
    EXPECT_FALSE(b.fw.isOpen());
    EXPECT_FALSE(b.fw.port_held);
    EXPECT_EQ(b.fw.extraLatency, sim::kReplySlackMs);
    EXPECT_EQ(b.entries, 0);
}

TEST(FirmwareRecovery, AnUnusableImageIsRefusedWithItsReasonBeforeThePortIsTouched)
{
    RecoveryBench b;
    const QString missing = b.dir.filePath("gone.bin");
    const QString empty = b.image({}, "empty.bin");
    const QString large = b.image(QByteArray(QvxFirmware::kLargestPacketImage + 1, '\x5A'), "large.bin");
    const QString folder = b.dir.filePath("folder.bin");
    ASSERT_TRUE(QDir().mkpath(folder));
    // A FIFO that nobody writes would hold a read of it for ever.
    const QString fifo = b.dir.filePath("fifo.bin");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    struct Case
    {
        QString path;
        QString failure;
    };
    const Case cases[] = {
        {missing, "Firmware Not Found: " + missing + " (no such file)"},
        {empty, "Firmware Not Usable: " + empty + " (empty image)"},
        {large, QStringLiteral("Firmware Not Usable: %1 (%2 bytes, more than the %3 a packet transfer can count)")
                    .arg(large)
                    .arg(QvxFirmware::kLargestPacketImage + 1)
                    .arg(QvxFirmware::kLargestPacketImage)},
        {folder, "Firmware Not Usable: " + folder + " (not a regular file)"},
        {fifo, "Firmware Not Usable: " + fifo + " (not a regular file)"},
    };
    for (const Case &c : cases) {
        b.failures.clear();
        EXPECT_FALSE(b.recoverByName("AR-240", c.path)) << qPrintable(c.path);
        EXPECT_EQ(b.failures, QStringList{c.failure});
    }
    EXPECT_TRUE(b.record().isEmpty()) << "not even the board probe";
    EXPECT_TRUE(b.fw.serial_port->portName().isEmpty()) << "the port was never even named";
    EXPECT_FALSE(b.fw.port_held);
    EXPECT_EQ(b.fw.extraLatency, sim::kReplySlackMs);
}

TEST(FirmwareRecovery, OnlyTheOneNamedModelLeavesItsBootloaderWithoutReset)
{
    struct Case
    {
        const char *model;
        bool packets;
        bool reset;
    };
    const Case cases[] = {
        {"RVY-HAT", true, false},
        {"RVY-HAT2", true, true},
        {"RVY-HAT", false, false},
        {"RVY-HAT2", false, true},
        {"rvy-hat", false, true},
    };
    for (const Case &c : cases) {
        RecoveryBench b(sim::BootloaderSetup{2, c.packets, {}});
        b.quietProbe();
        const QByteArray image(300, '\x44');
        b.fw.cancelRequested = true; // left over from an earlier run: cleared at the start
        {
            SwitchOn person(b.bus, probeDone(b.bus));
            EXPECT_TRUE(b.recoverByName(c.model, b.image(image, "image.bin"))) << c.model;
        }
        EXPECT_EQ(b.bus.bootImage(), image) << c.model;
        if (c.packets) {
            int resets = 0;
            for (const sim::Instruction &in : b.bus.received())
                resets += in.boot && in.code == 0x06;
            EXPECT_EQ(resets, c.reset ? 1 : 0) << c.model;
        } else {
            EXPECT_EQ(b.arrived().contains("RESET\r"), c.reset) << c.model;
            EXPECT_TRUE(b.arrived().endsWith("GO\r")) << c.model;
        }
    }
}

TEST(FirmwareRecovery, BoardInFrontIsToldTheRateAtItsOwnRegister)
{
    struct Case
    {
        quint16 model;
        const char *write;
    };
    for (const Case c : {Case{220, "2.0 200 WRITE 09 00 01"}, Case{218, "2.0 200 WRITE 09 00 01"},
                         Case{400, "2.0 200 WRITE 0C 00 01"}, Case{450, "2.0 200 WRITE 0C 00 01"}}) {
        RecoveryBench b;
        b.addBoard(c.model);
        const QByteArray image(300, '\x55');
        {
            // Switched on once the board heard the rate twice: at the open and once more.
            SwitchOn person(b.bus, [&b] { return b.bus.receivedCount(0x03) >= 2; });
            EXPECT_TRUE(b.recoverByName("AR-240", b.image(image, "image.bin"))) << c.model;
        }
        QStringList packets;
        for (const QString &line : b.record()) {
            if (!line.contains("BOOT_"))
                packets << line;
        }
        EXPECT_EQ(packets, (QStringList{"2.0 200 PING", c.write, c.write})) << c.model;
        EXPECT_EQ(b.bus.bootImage(), image) << c.model;
        EXPECT_EQ(b.fw.boardModel, c.model);
        EXPECT_EQ(b.fw.boardBaud, 57600);
        EXPECT_FALSE(b.fw.isOpen());
        EXPECT_EQ(b.successes, 1);
    }
}

TEST(FirmwareRecovery, BoardThatRefusesTheRepeatedRateEndsBeforeTheEntry)
{
    RecoveryBench b;
    b.addBoard(400);
    // The open's write is taken; the repeated one is answered with an error.
    b.bus.setResponder([writes = 0](const sim::Instruction &in) mutable -> std::optional<QByteArray> {
        if (in.id == kBoard && in.code == 0x03 && ++writes == 2)
            return sim::status2(kBoard, 0x04);
        return std::nullopt;
    });
    EXPECT_FALSE(b.recoverByName("AR-240", b.image("abc", "image.bin")));
    EXPECT_EQ(b.failures, QStringList{"Port Open Failed"});
    EXPECT_EQ(b.logs, QStringList{"Update[2]: change baudrate fail #0"});
    EXPECT_EQ(b.entries, 0);
    EXPECT_FALSE(b.fw.isOpen());
    EXPECT_FALSE(b.fw.port_held);
    EXPECT_EQ(b.fw.boardModel, 400) << "the probe's finding stays";
}

TEST(FirmwareRecovery, PortThatDoesNotOpenFails)
{
    RecoveryBench b;
    bool done = true;
    ASSERT_TRUE(QMetaObject::invokeMethod(&b.fw, "firmware_recovery", Q_RETURN_ARG(bool, done),
                                          Q_ARG(QString, b.dir.filePath("no-such-port")), Q_ARG(QString, "AR-240"),
                                          Q_ARG(QString, b.image("abc", "image.bin"))));
    EXPECT_FALSE(done);
    EXPECT_EQ(b.failures, QStringList{"Port Open Failed"});
    EXPECT_FALSE(b.fw.port_held);
}

// Nobody switches the device on: the wait ends by the deadline or by Ctrl+C
// (the cancel flag), never blocking for ever.
TEST(FirmwareRecovery, WaitForTheDeviceEndsByDeadlineOrCtrlC)
{
    for (const bool byFlag : {false, true}) {
        RecoveryBench b;
        b.quietProbe();
        const QString image = b.image("abc", "image.bin");
        std::thread interrupt;
        if (byFlag) {
            interrupt = std::thread([&b] {
                QElapsedTimer waited;
                waited.start();
                while (!probeDone(b.bus)() && waited.elapsed() < 30000)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                b.fw.cancelRequested = true; // as the interrupt handler does
            });
        } else {
            b.fw.armEntryDeadline(3000);
        }
        QElapsedTimer timer;
        timer.start();
        const bool done = b.recoverByName("AR-240", image);
        if (interrupt.joinable())
            interrupt.join();
        EXPECT_FALSE(done) << byFlag;
        EXPECT_LT(timer.elapsed(), 30000) << byFlag;
        EXPECT_EQ(b.failures, QStringList{"Bootloader Entry Failed"}) << byFlag;
        EXPECT_TRUE(b.logs.contains("[E] Bootloader entry Canceled")) << byFlag;
        EXPECT_EQ(b.entries, 0) << byFlag;
        EXPECT_FALSE(b.fw.isOpen()) << byFlag;
        EXPECT_FALSE(b.fw.port_held) << byFlag;
    }
    static_assert(QvxFirmware::kRecoveryEntryDeadlineMs == 120000);
}

// --- instruction 0xF9 ---------------------------------------------------------------

TEST(InstructionF9, GoodOnlyWithACleanStatus)
{
    struct Case
    {
        const char *what;
        int answerError; // -1: the servo's own answer (it does not know the instruction)
        bool expected;
    };
    for (const Case c : {Case{"clean status", 0, true}, Case{"error byte", 1, false},
                         Case{"unknown instruction", -1, false}}) {
        RecoveryBench b;
        b.bus.setResponder([c](const sim::Instruction &in) -> std::optional<QByteArray> {
            if (in.code == 0xF9 && c.answerError >= 0)
                return sim::status2(in.id, static_cast<quint8>(c.answerError));
            return std::nullopt;
        });
        ASSERT_TRUE(b.fw.open(b.bus.portName(), 57600));
        b.fw.setProtocolVersion("1.0");
        EXPECT_EQ(FirmwareRecovery(b.fw).sendInstructionF9(kServo), c.expected) << c.what;
        EXPECT_EQ(b.fw.version(), QStringLiteral("2.0")) << c.what;
        ASSERT_EQ(b.bus.received().size(), 1) << c.what;
        const sim::Instruction in = b.bus.received().constFirst();
        EXPECT_EQ(in.protocol, sim::Protocol::V2) << c.what;
        EXPECT_EQ(in.id, kServo) << c.what;
        EXPECT_EQ(in.code, 0xF9) << c.what;
        EXPECT_TRUE(in.params.isEmpty()) << c.what;
    }
}
