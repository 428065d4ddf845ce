// The update of a protocol 2.0 servo that speaks Modbus before and after it,
// and the update's failures up to the transfer, each with its texts and the
// port closed.
#include "tests/fw/Servo2FailureBench.h"

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
TEST(ServoUpdate2, AnAdapterPulledDuringTheBootloaderEntryEndsItAtOnce)
{
    // Not left to the entry's deadline: the line is gone, nothing can answer.
    ServoBench b;
    b.pullDuringTheEntry(kServo, 2);
    EXPECT_FALSE(b.fw.firmware_update(b.order()));
    b.expectEntryEndedByThePortGone();
}

namespace {

const FailureCase kBeforeTheTransfer[] = {
    {"no such port", [](ServoBench &b, QvxFirmware::UpdateParam &o) { o.portName = b.missingPort(); },
     {}, "Port Open Failed"},
    {"silent servo", [](ServoBench &, QvxFirmware::UpdateParam &o) { o.id = 5; },
     {"Update[2]: torque off fail"}, "QUORVEX Init Failed"},
    {"silent Modbus servo",
     [](ServoBench &b, QvxFirmware::UpdateParam &o) {
         speaksModbus(b, o);
         o.id = 5;
     },
     {"Update[2]: torque off fail"}, "QUORVEX Init Failed"},
    {"Modbus protocol type outside the registers",
     [](ServoBench &b, QvxFirmware::UpdateParam &o) {
         speaksModbus(b, o);
         o.modbusProtocolTypeAddress = 600;
     },
     {"Update[2]: change protocol version fail"}, "Port Open Failed"},
    {"protocol type write in 1.0 unanswered",
     [](ServoBench &b, QvxFirmware::UpdateParam &o) {
         speaksProtocol1(b, o);
         b.noAnswerTo(QStringLiteral("1.0 1 WRITE 0D 02"));
     },
     {"Update[2]: change protocol version fail"}, "Port Open Failed"},
    {"protocol type read unanswered", silent("2.0 1 READ 0D 00 01 00"),
     {"Update[2]: change protocol version fail"}, "Port Open Failed"},
    {"protocol type write unanswered", silent("2.0 1 WRITE 0D 00 02"),
     {"Update[2]: change protocol version fail"}, "Port Open Failed"},
    {"rate write unanswered twice", silent("2.0 1 WRITE 08 00 01"),
     {"Update[2]: change baudrate fail #1-1", "Update[2]: change baudrate fail #1-2"}, "QUORVEX Reboot Failed"},
    {"board rate write unanswered",
     [](ServoBench &b, QvxFirmware::UpdateParam &) {
         behindABoard(b);
         b.noAnswerTo(QStringLiteral("2.0 200 WRITE 09 00 01"));
     },
     {"Update[2]: change baudrate fail #1-3"}, "QUORVEX Reboot Failed"},
    {"silent master",
     [](ServoBench &b, QvxFirmware::UpdateParam &o) {
         behindAMaster(b, o);
         b.bus.removeDevice(9);
     },
     {"Update[2]: change baudrate fail #1-4-2"}, "Bootloader Reboot Failed"},
    {"master without its rate register",
     [](ServoBench &b, QvxFirmware::UpdateParam &o) {
         behindAMaster(b, o);
         o.masterBaudAddressB = 0;
     },
     {"Update[2]: change baudrate fail #1-4-3"}, "Bootloader Reboot Failed"},
    {"master system write unanswered",
     [](ServoBench &b, QvxFirmware::UpdateParam &o) {
         behindAMaster(b, o);
         b.noAnswerTo(QStringLiteral("2.0 9 SYSTEM_WRITE 15 00 01"));
     },
     {"Update[2]: change baudrate fail #1-4-4"}, "QUORVEX Reboot Failed"},
    {"master write unanswered",
     [](ServoBench &b, QvxFirmware::UpdateParam &o) {
         behindAMaster(b, o);
         b.noAnswerTo(QStringLiteral("2.0 9 WRITE 14 00 01"));
     },
     {"Update[2]: change baudrate fail #1-4-4"}, "QUORVEX Reboot Failed"},
    {"port gone at the reopen at 57600",
     [](ServoBench &b, QvxFirmware::UpdateParam &) {
         b.pullAtClose([&b] { return b.heard(QStringLiteral("2.0 1 WRITE 08 00 01")); });
     },
     {"Update[2]: open fail"}, "QUORVEX Reboot Failed"},
    {"reboot unanswered", silent("2.0 1 REBOOT"), {"Update[2]: reboot fail"}, "QUORVEX Reboot Failed"},
    {"bootloader never answers",
     [](ServoBench &b, QvxFirmware::UpdateParam &) {
         b.bootloaderNeverAnswers(kServo, 2, sim::Protocol::V2, QStringLiteral("2.0 1 WRITE 08 00 01"), 3000);
     },
     {}, "Bootloader Entry Failed"},
};

} // namespace

TEST_P(ServoUpdate2Failure, GivesItsTextsWithThePortClosed) { run(GetParam()); }

INSTANTIATE_TEST_SUITE_P(BeforeTheTransfer, ServoUpdate2Failure, ::testing::ValuesIn(kBeforeTheTransfer), CaseNamedByWhat());
