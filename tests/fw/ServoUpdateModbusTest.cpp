// The update of a Modbus servo end to end against the simulated bus: a servo
// that answers Modbus RTU at its own rate, goes to its bootloader on the
// boot-entry command and restores its factory table on the reset command.
#include "fw/QvxFirmware.h"
#include "tests/fw/UpdateBench.h"
#include "tests/support/CaseTable.h"

#include <QSerialPort>

#include <functional>

namespace {

constexpr quint8 kServo = 1;
constexpr int kTorque = 0x40;    // register 0x20, low byte
constexpr int kBootEntry = 0x80; // register 0x40
constexpr int kReset = 0x82;     // register 0x41
constexpr int kRate = 115200;

struct ModbusBench : UpdateBench
{
    // Whether the port could be opened again when the failure was reported.
    QList<bool> reopenableAtFailure;

    explicit ModbusBench(bool packets = false)
    {
        sim::Device servo = sim::Device::modbus(kServo, 2100, 30);
        servo.setInitial(kTorque, QByteArray("\x01\x5A", 2)); // torque on; the register's other byte is kept
        servo.baudRate = kRate;
        servo.bootWriteAddress = kBootEntry;
        servo.bootWriteValue = 1025;
        servo.resetWriteAddress = kReset;
        bus.addDevice(servo);
        bus.setBootloader(kServo, sim::BootloaderSetup{2, packets, {}}, sim::Protocol::Modbus);
        QObject::connect(&fw, qOverload<QString>(&QvxFirmware::firmware_failed), [this](const QString &) {
            QSerialPort port(bus.portName());
            reopenableAtFailure << port.open(QIODevice::ReadWrite);
        });
    }

    QvxFirmware::UpdateParam order()
    {
        QvxFirmware::UpdateParam p;
        p.portName = bus.portName();
        p.baudrate = kRate;
        p.id = kServo;
        p.protocolVersion = QStringLiteral("2.0");
        p.modelName = QStringLiteral("QM-40"); // console dialect 2
        p.deviceKind = QStringLiteral("QuorvexM");
        p.latestFirmwareVersion = 31;
        p.firmwarePath = versionImage(QStringLiteral("QM-40"), 31);
        p.torqueEnableAddress = kTorque;
        p.modbusResetAddress = kReset;
        p.modbusBootEntryAddress = kBootEntry;
        return p;
    }

    std::optional<sim::Device> servo() const { return bus.device(kServo, sim::Protocol::Modbus); }
};

const QStringList kTorqueOff{"MODBUS 1 READ_REGISTERS 00 20 00 01", "MODBUS 1 WRITE_REGISTER 00 20 5A 00"};
const QStringList kBootEntryCommand{"MODBUS 1 WRITE_REGISTER 00 40 04 01"};
const QStringList kCheckAndReset{"MODBUS 1 READ_REGISTERS 00 00 00 04", "MODBUS 1 WRITE_REGISTER 00 41 00 02"};

struct FlashCase
{
    const char *what;
    bool packets;
    int torqueAddress;
    QStringList record;
};
void PrintTo(const FlashCase &c, std::ostream *os) { *os << c.what; }

const FlashCase kFlashCases[] = {
    {"console bootloader", false, kTorque, kTorqueOff + kBootEntryCommand + kCheckAndReset + kTorqueOff},
    {"packet bootloader", true, kTorque, kTorqueOff + kBootEntryCommand + kCheckAndReset + kTorqueOff},
    {"no torque item", false, -1, kBootEntryCommand + kCheckAndReset},
};

class ServoUpdateModbusFlash : public ::testing::TestWithParam<FlashCase>
{};

} // namespace

TEST_P(ServoUpdateModbusFlash, ResetsOverModbus)
{
    const FlashCase &c = GetParam();
    ModbusBench b(c.packets);
    QvxFirmware::UpdateParam order = b.order();
    order.torqueEnableAddress = c.torqueAddress;
    ASSERT_TRUE(b.fw.open(b.bus.portName(), kRate)) << c.what; // the console's port, still open
    EXPECT_TRUE(b.fw.firmware_update(order)) << c.what;
    b.expectSucceeded();
    EXPECT_EQ(b.deviceRecord(), c.record) << c.what << '\n' << qPrintable(b.record().join('\n'));
    EXPECT_TRUE(b.updateLogs().isEmpty()) << c.what << qPrintable(b.updateLogs().join('\n'));
    EXPECT_EQ(b.bus.bootImageComplete(), true) << c.what;
    const std::optional<sim::Device> servo = b.servo();
    ASSERT_TRUE(servo.has_value()) << c.what;
    EXPECT_EQ(servo->firmware, 31) << c.what;
    EXPECT_EQ(servo->factoryResets, 1) << c.what;
    EXPECT_EQ(b.bus.memory(kServo, 6, 1, sim::Protocol::Modbus), QByteArray(1, '\x1F')) << c.what;
    EXPECT_EQ(b.bus.memory(kServo, kTorque, 2, sim::Protocol::Modbus),
              QByteArray(c.torqueAddress < 0 ? "\x01\x5A" : "\x00\x5A", 2))
        << c.what;
}

INSTANTIATE_TEST_SUITE_P(ServoUpdateModbus, ServoUpdateModbusFlash, ::testing::ValuesIn(kFlashCases), CaseNamedByWhat());

namespace {

struct FailureCase
{
    const char *what;
    std::function<void(ModbusBench &, QvxFirmware::UpdateParam &)> arrange;
    QStringList updateLogs;
    QString failure;
    QStringList record;
    int firmware; // the servo's version afterwards
    bool reopenable = true; // false: the adapter was pulled
};
void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.what; }

const QStringList kChecked = kTorqueOff + kBootEntryCommand + QStringList{"MODBUS 1 READ_REGISTERS 00 00 00 04"};

const FailureCase kFailureCases[] = {
    {"no such port", [](ModbusBench &b, QvxFirmware::UpdateParam &o) { o.portName = b.missingPort(); }, {},
     "Port Open Failed", {}, 30},
    {"silent servo", [](ModbusBench &, QvxFirmware::UpdateParam &o) { o.id = 5; }, {"Update[M]: torque off fail"},
     "QUORVEX Init Failed", {"MODBUS 5 READ_REGISTERS 00 20 00 01"}, 30},
    // The console passes no command registers: the update stops at the
    // boot-entry command, having turned the torque off.
    {"no command registers",
     [](ModbusBench &, QvxFirmware::UpdateParam &o) {
         o.modbusBootEntryAddress = 0;
         o.modbusResetAddress = 0;
     },
     {"Update[M]: reboot fail"}, "QUORVEX Reboot Failed", kTorqueOff, 30},
    {"bootloader never answers",
     [](ModbusBench &b, QvxFirmware::UpdateParam &) {
         sim::BootFaults faults;
         faults.neverEnters = true;
         b.bus.setBootloader(kServo, sim::BootloaderSetup{2, false, faults}, sim::Protocol::Modbus);
         // The serial port is not closed between the Modbus commands and
         // the entry; the deadline runs from here, past the board probe.
         b.fw.armEntryDeadline(12000);
     },
     {}, "Bootloader Entry Failed", kTorqueOff + kBootEntryCommand, 30},
    {"port gone after the transfer",
     [](ModbusBench &b, QvxFirmware::UpdateParam &) {
         b.pullAtClose([&b] { return b.servo() && b.servo()->firmware == 31; });
     },
     {}, "Port Open Failed", kTorqueOff + kBootEntryCommand, 31, false},
    {"check after the transfer unanswered",
     [](ModbusBench &b, QvxFirmware::UpdateParam &) {
         b.noAnswerTo(QStringLiteral("MODBUS 1 READ_REGISTERS 00 00 00 04"));
     },
     {}, "Bootloader Restart Failed", kChecked, 31},
    {"no reset register", [](ModbusBench &, QvxFirmware::UpdateParam &o) { o.modbusResetAddress = 0; },
     {"Update[2]: factory reset fail"}, "Bootloader Restart Failed", kChecked, 31},
    {"torque off at the end unanswered",
     [](ModbusBench &b, QvxFirmware::UpdateParam &) {
         b.noAnswerTo(QStringLiteral("MODBUS 1 WRITE_REGISTER 00 20 5A 00"), 2);
     },
     {"Update[M]: torque off fail"}, "QUORVEX Torque Off Failed",
     kTorqueOff + kBootEntryCommand + kCheckAndReset + kTorqueOff, 31},
};

class ServoUpdateModbusFailure : public ::testing::TestWithParam<FailureCase>
{};

} // namespace

TEST_P(ServoUpdateModbusFailure, ClosesTheLinkBeforeItIsReported)
{
    const FailureCase &c = GetParam();
    ModbusBench b;
    QvxFirmware::UpdateParam order = b.order();
    c.arrange(b, order);
    EXPECT_FALSE(b.fw.firmware_update(order)) << c.what;
    b.expectFailedAfter(c.updateLogs, c.failure, c.what);
    EXPECT_EQ(b.reopenableAtFailure, QList<bool>{c.reopenable}) << c.what;
    EXPECT_EQ(b.deviceRecord(), c.record) << c.what << '\n' << qPrintable(b.record().join('\n'));
    ASSERT_TRUE(b.servo().has_value()) << c.what;
    EXPECT_EQ(b.servo()->firmware, c.firmware) << c.what;
}

INSTANTIATE_TEST_SUITE_P(ServoUpdateModbus, ServoUpdateModbusFailure, ::testing::ValuesIn(kFailureCases), CaseNamedByWhat());
