// The update of a protocol 2.0 servo that speaks Modbus before and after it,
// and the update's failures, each with its texts and the port closed.
#include "tests/fw/Servo2Bench.h"

#include <functional>

using namespace servo2;

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
