// The update of a protocol 2.0 servo end to end against the simulated bus:
// directly with the packet and the console bootloader, behind a controller
// board, behind a master device, and its failures, each on the simulator's
// record of instructions and the servo's final state.
#include "comm/CommResult.h"
#include "fw/QvxFirmware.h"
#include "tests/sim/SimBus.h"
#include "tests/support/QtPrinters.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>

namespace {

constexpr quint8 kServo = 1;
constexpr int kTorque = 64;
constexpr int kBaud = 8;
constexpr int kProtocolType = 13;

struct ServoBench
{
    sim::SimBus bus;
    QvxFirmware fw;
    QTemporaryDir dir;
    QStringList logs;
    QStringList failures;
    int successes = 0;

    explicit ServoBench(bool packets = false, int heldBaud = 1000000)
    {
        sim::Device servo = sim::Device::protocol2(kServo, 1020, 53);
        servo.firmwareAddress = 6;
        servo.setInitial(kBaud, QByteArray(1, '\x03'));
        servo.setInitial(kProtocolType, QByteArray(1, '\x02'));
        servo.write(kTorque, QByteArray(1, '\x01'));
        servo.baudRate = heldBaud; // answers only at its rate, which follows its baud register
        servo.baudRegisterAddress = kBaud;
        bus.addDevice(servo);
        bus.setBootloader(kServo, sim::BootloaderSetup{2, packets, {}});
        fw.setTimeout(sim::kReplySlackMs);
        QObject::connect(&fw, &QvxComm::logMessage, [this](const QString &m) { logs << m; });
        QObject::connect(&fw, qOverload<QString>(&QvxFirmware::firmware_failed),
                         [this](const QString &t) { failures << t; });
        QObject::connect(&fw, &QvxFirmware::firmware_succeed, [this] { ++successes; });
    }

    QvxFirmware::UpdateParam order()
    {
        const QString path = dir.filePath(QStringLiteral("QX-20_54.bin"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("QX-20 version=54\n") + QByteArray(500, '\x6B'));
        file.close();
        QvxFirmware::UpdateParam p;
        p.portName = bus.portName();
        p.baudrate = 1000000;
        p.id = kServo;
        p.protocolVersion = QStringLiteral("2.0");
        p.protocolTypeAddress = kProtocolType;
        p.modelName = QStringLiteral("QX-20");
        p.deviceKind = QStringLiteral("Quorvex2");
        p.baudRateAddress = kBaud;
        p.latestFirmwareVersion = 54;
        p.firmwarePath = path;
        p.torqueEnableAddress = kTorque;
        return p;
    }

    QStringList record() const
    {
        QStringList lines;
        for (const sim::Instruction &in : bus.received())
            lines << in.logLine();
        return lines;
    }

    void expectUpdated()
    {
        EXPECT_EQ(successes, 1);
        EXPECT_TRUE(failures.isEmpty()) << qPrintable(failures.join('|'));
        EXPECT_FALSE(fw.isOpen());
        EXPECT_FALSE(fw.port_held);
        EXPECT_EQ(fw.extraLatency, 5000);
        const std::optional<sim::Device> servo = bus.device(kServo);
        ASSERT_TRUE(servo.has_value());
        EXPECT_EQ(servo->firmware, 54);
        EXPECT_EQ(bus.memory(kServo, kBaud, 1), QByteArray(1, '\x03')) << "1000000 bit/s again";
        EXPECT_EQ(bus.memory(kServo, kProtocolType, 1), QByteArray(1, '\x02'));
        EXPECT_EQ(bus.memory(kServo, kTorque, 1), QByteArray(1, '\0'));
        EXPECT_TRUE(logs.contains(QStringLiteral("Update[2]: OK!!!")));
    }
};

// What the servo hears around the transfer, without a board or a master.
const QStringList kPrepare{"2.0 1 WRITE 40 00 00", "2.0 1 READ 0D 00 01 00", "2.0 1 WRITE 0D 00 02",
                           "2.0 1 WRITE 08 00 01", "2.0 1 REBOOT"};
const QStringList kRestore{"2.0 1 WRITE 40 00 00", "2.0 1 WRITE 08 00 03", "2.0 1 PING", "2.0 1 FACTORY_RESET 02",
                           "2.0 1 WRITE 40 00 00", "2.0 1 WRITE 0D 00 02"};

} // namespace

TEST(ServoUpdate2, DirectThroughEitherBootloader)
{
    for (const bool packets : {false, true}) {
        ServoBench b(packets);
        ASSERT_TRUE(b.fw.open(b.bus.portName(), 1000000)); // the console's port, still open
        EXPECT_TRUE(b.fw.firmware_update(b.order())) << packets;
        b.expectUpdated();
        QStringList servoRecord;
        for (const QString &line : b.record()) {
            if (!line.startsWith(QLatin1String("2.0 200 ")) && !line.contains(QLatin1String("BOOT_")))
                servoRecord << line;
        }
        EXPECT_EQ(servoRecord, kPrepare + kRestore) << packets << qPrintable(b.record().join('\n'));
    }
}

TEST(ServoUpdate2, BehindABoardAndBehindAMaster)
{
    // A board of model 220 at ID 200 takes the rates at address 9.
    {
        ServoBench b;
        b.bus.addDevice(sim::Device::protocol2(200, 220, 3));
        EXPECT_TRUE(b.fw.firmware_update(b.order()));
        b.expectUpdated();
        EXPECT_EQ(b.fw.boardModel, 220);
        const QStringList record = b.record();
        EXPECT_TRUE(record.contains("2.0 200 WRITE 09 00 01")) << qPrintable(record.join('\n'));
        EXPECT_TRUE(record.contains("2.0 200 WRITE 09 00 03")) << qPrintable(record.join('\n'));
        EXPECT_LT(record.indexOf("2.0 200 WRITE 09 00 01"), record.indexOf("2.0 1 REBOOT"));
    }
    // A master at ID 9 gets 57600 before and the servo's rate after, then
    // the servo learns its master's ID.
    {
        ServoBench b;
        b.bus.addDevice(sim::Device::protocol2(9, 1100, 3));
        QvxFirmware::UpdateParam order = b.order();
        order.masterId = 9;
        order.masterIdAddress = 30;
        order.masterBaudAddressA = 20;
        order.masterBaudAddressB = 21;
        EXPECT_TRUE(b.fw.firmware_update(order));
        b.expectUpdated();
        QStringList masterRecord;
        for (const QString &line : b.record()) {
            if (line.startsWith(QLatin1String("2.0 9 ")) || line.contains(QLatin1String(" 1E 00")))
                masterRecord << line;
        }
        EXPECT_EQ(masterRecord, (QStringList{"2.0 9 PING", "2.0 9 SYSTEM_WRITE 15 00 01", "2.0 9 WRITE 14 00 01",
                                             "2.0 9 SYSTEM_WRITE 15 00 03", "2.0 9 WRITE 14 00 03",
                                             "2.0 1 SYSTEM_WRITE 1E 00 09"}));
        EXPECT_EQ(b.bus.memory(kServo, 30, 1), QByteArray(1, '\x09'));
    }
}

TEST(ServoUpdate2, ModelWithoutProtocolTypeKeepsItsModelNumber)
{
    ServoBench b;
    QvxFirmware::UpdateParam order = b.order();
    order.protocolTypeAddress = 0;
    order.modbusProtocolTypeAddress = 0;
    EXPECT_TRUE(b.fw.firmware_update(order));
    b.expectUpdated();
    for (const QString &line : b.record())
        EXPECT_FALSE(line.contains(QLatin1String(" 00 00 01 00")) || line.startsWith(QLatin1String("2.0 1 WRITE 00 00")))
            << qPrintable(line);
    EXPECT_EQ(b.bus.memory(kServo, 0, 2), QByteArray("\xFC\x03", 2)) << "model number 1020";
}

TEST(ServoUpdate2, FailuresGiveTheirTextsWithThePortClosed)
{
    struct Case
    {
        const char *what;
        std::function<void(ServoBench &, QvxFirmware::UpdateParam &)> arrange;
        QString log;
        QString failure;
        int heldBaud = 1000000; // the servo's own rate
    };
    const Case cases[] = {
        {"silent servo", [](ServoBench &, QvxFirmware::UpdateParam &o) { o.id = 5; },
         "Update[2]: torque off fail", "QUORVEX Init Failed"},
        {"master without its rate register",
         [](ServoBench &b, QvxFirmware::UpdateParam &o) {
             b.bus.addDevice(sim::Device::protocol2(9, 1100, 3));
             o.masterId = 9;
             o.masterBaudAddressA = 20;
         },
         "Update[2]: change baudrate fail #1-4-3", "Bootloader Reboot Failed"},
        {"rate outside the table",
         [](ServoBench &, QvxFirmware::UpdateParam &o) { o.baudrate = 250000; },
         QString(), "Bootloader Restart Failed", 250000},
    };
    for (const Case &c : cases) {
        ServoBench b(false, c.heldBaud);
        QvxFirmware::UpdateParam order = b.order();
        c.arrange(b, order);
        EXPECT_FALSE(b.fw.firmware_update(order)) << c.what;
        EXPECT_EQ(b.failures, QStringList{c.failure}) << c.what;
        if (!c.log.isEmpty()) {
            EXPECT_EQ(b.logs.value(b.logs.size() - 1), c.log) << c.what;
        }
        EXPECT_FALSE(b.fw.isOpen()) << c.what;
        EXPECT_FALSE(b.fw.port_held) << c.what;
        EXPECT_EQ(b.successes, 0) << c.what;
    }
}
