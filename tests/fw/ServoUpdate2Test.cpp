// The update of a protocol 2.0 servo end to end against the simulated bus:
// directly with the packet and the console bootloader, behind a controller
// board, behind a master device, and its failures, each on the simulator's
// record of instructions and the servo's final state.
#include "fw/QvxFirmware.h"
#include "tests/fw/UpdateBench.h"

#include <functional>

namespace {

constexpr quint8 kServo = 1;
constexpr int kTorque = 64;
constexpr int kBaud = 8;
constexpr int kProtocolType = 13;

struct ServoBench : UpdateBench
{
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
    }

    QvxFirmware::UpdateParam order()
    {
        const QString path = versionImage(QStringLiteral("QX-20"), 54);
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

    void expectUpdated()
    {
        expectSucceeded();
        const std::optional<sim::Device> servo = bus.device(kServo);
        ASSERT_TRUE(servo.has_value());
        EXPECT_EQ(servo->firmware, 54);
        EXPECT_EQ(bus.memory(kServo, kBaud, 1), QByteArray(1, '\x03')) << "1000000 bit/s again";
        EXPECT_EQ(bus.memory(kServo, kProtocolType, 1), QByteArray(1, '\x02'));
        EXPECT_EQ(bus.memory(kServo, kTorque, 1), QByteArray(1, '\0'));
        EXPECT_EQ(updateLogs(), QStringList{"Update[2]: OK!!!"});
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
        EXPECT_EQ(b.deviceRecord(), kPrepare + kRestore) << packets << qPrintable(b.record().join('\n'));
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

TEST(ServoUpdate2, ServoSpeakingModbusIsSwitchedOverModbusAndBack)
{
    // The servo speaks Modbus until its protocol type says 2.0; its factory
    // setting is 2.0.
    ServoBench b;
    {
        std::optional<sim::Device> servo = b.bus.device(kServo);
        ASSERT_TRUE(servo.has_value());
        servo->protocolTypeAddress = kProtocolType;
        servo->write(kProtocolType, QByteArray(1, '\x0A'));
        b.bus.removeDevice(kServo);
        b.bus.addDevice(*servo);
        b.bus.setBootloader(kServo, sim::BootloaderSetup{2, false, {}}, sim::Protocol::Modbus);
    }
    QvxFirmware::UpdateParam order = b.order();
    order.protocolVersion = QStringLiteral("MODBUS");
    order.protocolTypeAddress = 0;
    order.modbusProtocolTypeAddress = kProtocolType;
    ASSERT_TRUE(b.fw.open(b.bus.portName(), 1000000));
    EXPECT_TRUE(b.fw.firmware_update(order));
    b.expectSucceeded();
    EXPECT_EQ(b.updateLogs(), QStringList{"Update[2]: OK!!!"});
    // Torque off and protocol type 2.0 over Modbus (each byte read with its
    // register, the register written back), then the servo in 2.0 until its
    // protocol type goes back to Modbus.
    const QStringList overModbus{"MODBUS 1 READ_REGISTERS 00 20 00 01", "MODBUS 1 WRITE_REGISTER 00 20 00 00",
                                 "MODBUS 1 READ_REGISTERS 00 06 00 01", "MODBUS 1 WRITE_REGISTER 00 06 02 00"};
    QStringList restore = kRestore;
    restore.last() = QStringLiteral("2.0 1 WRITE 0D 00 0A");
    EXPECT_EQ(b.deviceRecord(), overModbus + kPrepare.mid(1) + restore) << qPrintable(b.record().join('\n'));
    const std::optional<sim::Device> servo = b.bus.device(kServo, sim::Protocol::Modbus);
    ASSERT_TRUE(servo.has_value()) << "back on Modbus";
    EXPECT_EQ(servo->firmware, 54);
    EXPECT_EQ(b.bus.memory(kServo, kBaud, 1, sim::Protocol::Modbus), QByteArray(1, '\x03'));
    EXPECT_EQ(b.bus.memory(kServo, kTorque, 1, sim::Protocol::Modbus), QByteArray(1, '\0'));
}

TEST(ServoUpdate2, FailuresGiveTheirTextsWithThePortClosed)
{
    struct Case
    {
        const char *what;
        std::function<void(ServoBench &, QvxFirmware::UpdateParam &)> arrange;
        QStringList updateLogs;
        QString failure;
        int heldBaud = 1000000; // the servo's own rate
    };
    const auto speaksModbus = [](ServoBench &b, QvxFirmware::UpdateParam &o) {
        std::optional<sim::Device> servo = b.bus.device(kServo);
        servo->protocol = sim::Protocol::Modbus;
        b.bus.removeDevice(kServo);
        b.bus.addDevice(*servo);
        o.protocolVersion = QStringLiteral("MODBUS");
        o.modbusProtocolTypeAddress = kProtocolType;
    };
    const Case cases[] = {
        {"silent servo", [](ServoBench &, QvxFirmware::UpdateParam &o) { o.id = 5; },
         {"Update[2]: torque off fail"}, "QUORVEX Init Failed"},
        {"silent Modbus servo",
         [&](ServoBench &b, QvxFirmware::UpdateParam &o) {
             speaksModbus(b, o);
             o.id = 5;
         },
         {"Update[2]: torque off fail"}, "QUORVEX Init Failed"},
        {"Modbus protocol type outside the registers",
         [&](ServoBench &b, QvxFirmware::UpdateParam &o) {
             speaksModbus(b, o);
             o.modbusProtocolTypeAddress = 600;
         },
         {"Update[2]: change protocol version fail"}, "Port Open Failed"},
        {"master without its rate register",
         [](ServoBench &b, QvxFirmware::UpdateParam &o) {
             b.bus.addDevice(sim::Device::protocol2(9, 1100, 3));
             o.masterId = 9;
             o.masterBaudAddressA = 20;
         },
         {"Update[2]: change baudrate fail #1-4-3"}, "Bootloader Reboot Failed"},
        {"rate outside the table",
         [](ServoBench &, QvxFirmware::UpdateParam &o) { o.baudrate = 250000; },
         {}, "Bootloader Restart Failed", 250000},
    };
    for (const Case &c : cases) {
        ServoBench b(false, c.heldBaud);
        QvxFirmware::UpdateParam order = b.order();
        c.arrange(b, order);
        EXPECT_FALSE(b.fw.firmware_update(order)) << c.what;
        b.expectFailed(c.failure, c.what);
        EXPECT_EQ(b.updateLogs(), c.updateLogs) << c.what;
    }
}
