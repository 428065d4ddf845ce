// The update of a protocol 1.0 servo end to end against the simulated bus: a
// servo held to the rate of its baud register, coming back at its factory rate
// after every restart, whose digital reset takes it into its bootloader.
#include "fw/QvxFirmware.h"
#include "tests/fw/UpdateBench.h"
#include "tests/support/CaseTable.h"

#include <functional>

namespace {

constexpr quint8 kServo = 1;
constexpr int kTorque = 24;
constexpr int kBaud = 4;
constexpr quint8 kFactoryBaudValue = 16; // 115200 bit/s
constexpr int kRate = 1000000;           // register value 1

struct Servo1Bench : UpdateBench
{
    explicit Servo1Bench(bool packets = false, int rate = kRate, quint8 rateValue = 1)
    {
        RestartingServo1 servo;
        servo.id = kServo;
        servo.baudAddress = kBaud;
        servo.factoryValue = kFactoryBaudValue;
        servo.rateValue = rateValue;
        servo.rate = rate;
        servo.torqueAddress = kTorque;
        servo.packets = packets;
        servo.addTo(bus);
    }

    QvxFirmware::UpdateParam order()
    {
        QvxFirmware::UpdateParam p;
        p.portName = bus.portName();
        p.baudrate = kRate;
        p.id = kServo;
        p.protocolVersion = QStringLiteral("2.0"); // what the console passes; this procedure does not read it
        p.modelName = QStringLiteral("VK-28");     // console dialect 1
        p.deviceKind = QStringLiteral("Quorvex1");
        p.defaultBaudValue = kFactoryBaudValue;
        p.baudRateAddress = kBaud;
        p.latestFirmwareVersion = 21;
        p.firmwarePath = versionImage(QStringLiteral("VK-28"), 21);
        p.torqueEnableAddress = kTorque;
        return p;
    }

    std::optional<sim::Device> servo() const { return bus.device(kServo, sim::Protocol::V1); }
};

struct FlashCase
{
    const char *what;
    int torqueAddress;
    int rate;
    quint8 rateValue; // the rate in the protocol 1.0 baud register
};
void PrintTo(const FlashCase &c, std::ostream *os) { *os << c.what; }

const FlashCase kFlashCases[] = {
    {"with torque item", kTorque, kRate, 1},
    {"without torque item", -1, kRate, 1},
    {"at 57600", kTorque, 57600, 34},
    {"at 2000000", kTorque, 2000000, 0},
};

class ServoUpdate1Flash : public ::testing::TestWithParam<FlashCase>
{};

} // namespace

TEST_P(ServoUpdate1Flash, SetsTheRateBackAfterEachRestart)
{
    const FlashCase &c = GetParam();
    Servo1Bench b(false, c.rate, c.rateValue);
    QvxFirmware::UpdateParam order = b.order();
    order.torqueEnableAddress = c.torqueAddress;
    order.baudrate = c.rate;
    ASSERT_TRUE(b.fw.open(b.bus.portName(), c.rate)) << c.what; // the console's port, still open
    EXPECT_TRUE(b.fw.firmware_update(order)) << c.what;
    b.expectSucceeded();
    // Torque off and the rate written after the start and after each restart.
    const QStringList torqueOff = c.torqueAddress < 0 ? QStringList() : QStringList{"1.0 1 WRITE 18 00"};
    const QStringList rateBack{QStringLiteral("1.0 1 WRITE 04 %1").arg(c.rateValue, 2, 16, QChar('0')).toUpper()};
    const QStringList record = torqueOff + QStringList{"1.0 1 WRITE 04 22", "1.0 1 DIGITAL_RESET"} + torqueOff
                               + rateBack + QStringList{"1.0 1 PING", "1.0 1 READ 00 07", "1.0 1 DIGITAL_RESET"}
                               + torqueOff + rateBack;
    EXPECT_EQ(b.deviceRecord(), record) << c.what << '\n' << qPrintable(b.record().join('\n'));
    EXPECT_EQ(b.updateLogs(), QStringList{"Update[1]: OK!!!"}) << c.what;
    EXPECT_TRUE(b.logs.contains(QStringLiteral("[3] finale: Go OK !!!"))) << qPrintable(b.logs.join('\n'));
    const std::optional<sim::Device> servo = b.servo();
    ASSERT_TRUE(servo.has_value());
    EXPECT_EQ(servo->firmware, 21) << c.what;
    EXPECT_EQ(servo->baudRate, c.rate) << c.what << ": held to its rate again";
    EXPECT_EQ(b.bus.memory(kServo, kBaud, 1, sim::Protocol::V1), QByteArray(1, static_cast<char>(c.rateValue)))
        << c.what;
    EXPECT_EQ(b.bus.memory(kServo, kTorque, 1, sim::Protocol::V1), QByteArray(1, c.torqueAddress < 0 ? '\x01' : '\0'))
        << c.what;
    EXPECT_TRUE(b.bus.bootImageComplete()) << c.what;
}

INSTANTIATE_TEST_SUITE_P(ServoUpdate1, ServoUpdate1Flash, ::testing::ValuesIn(kFlashCases), CaseNamedByWhat());

namespace {

struct FailureCase
{
    const char *what;
    std::function<void(Servo1Bench &, QvxFirmware::UpdateParam &)> arrange;
    QStringList updateLogs;
    QString failure;
    bool packets = false;
    int rate = kRate;
    quint8 rateValue = 1;
};
void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.what; }

const auto neverEnters = [](Servo1Bench &b, QvxFirmware::UpdateParam &) {
    b.bootloaderNeverAnswers(kServo, 1, sim::Protocol::V1, QStringLiteral("1.0 1 WRITE 04 22"), 3000);
};

const FailureCase kFailureCases[] = {
    {"no such port", [](Servo1Bench &b, QvxFirmware::UpdateParam &o) { o.portName = b.missingPort(); },
     {}, "Port Open Failed"},
    {"silent servo", [](Servo1Bench &, QvxFirmware::UpdateParam &o) { o.id = 5; },
     {"Update[1]: torque off fail"}, "QUORVEX Init Failed"},
    {"baud write unanswered twice",
     [](Servo1Bench &b, QvxFirmware::UpdateParam &) { b.noAnswerTo(QStringLiteral("1.0 1 WRITE 04 22")); },
     {"Update[1]: change baudrate fail #1-1", "Update[1]: change baudrate fail #1-2"}, "QUORVEX Reboot Failed"},
    {"port gone at the reopen at 57600",
     [](Servo1Bench &b, QvxFirmware::UpdateParam &) {
         b.pullAtClose([&b] { return b.heard(QStringLiteral("1.0 1 WRITE 04 22")); });
     },
     {"Update[1]: open fail"}, "QUORVEX Reboot Failed"},
    {"digital reset unanswered",
     [](Servo1Bench &b, QvxFirmware::UpdateParam &) { b.noAnswerTo(QStringLiteral("1.0 1 DIGITAL_RESET")); },
     {"Update[1]: digital reset fail"}, "QUORVEX Reboot Failed"},
    {"bootloader never answers", neverEnters, {}, "Bootloader Entry Failed"},
    {"a packet bootloader still gets the console load", [](Servo1Bench &, QvxFirmware::UpdateParam &) {},
     {}, "Bootloader Error", true},
    {"port gone at the reopen after the restart",
     [](Servo1Bench &b, QvxFirmware::UpdateParam &) {
         b.pullAtClose([&b] { return b.servo() && b.servo()->firmware == 21; });
     },
     {"Update[1]: open fail"}, "QUORVEX Restart Failed"},
    {"torque off after the restart unanswered",
     [](Servo1Bench &b, QvxFirmware::UpdateParam &) { b.noAnswerTo(QStringLiteral("1.0 1 WRITE 18 00"), 2); },
     {"Update[1]: torque off fail"}, "QUORVEX Torque Off Failed"},
    {"rate write back unanswered twice",
     [](Servo1Bench &b, QvxFirmware::UpdateParam &) { b.noAnswerTo(QStringLiteral("1.0 1 WRITE 04 01")); },
     {"Update[1]: change baudrate fail #2-1", "Update[1]: change baudrate fail #2-2"}, "QUORVEX Restart Failed"},
    {"rate outside the table: 0 written, 2000000 bit/s, the ping at 4000000 unanswered",
     [](Servo1Bench &, QvxFirmware::UpdateParam &o) { o.baudrate = 4000000; }, {}, "QUORVEX Restart Failed",
     false, 4000000, 1},
    {"closing digital reset unanswered",
     [](Servo1Bench &b, QvxFirmware::UpdateParam &) { b.noAnswerTo(QStringLiteral("1.0 1 DIGITAL_RESET"), 2); },
     {"Update[1]: OK!!!", "Update[1]: digital reset fail"}, "QUORVEX Restart Failed"},
    {"last rate write unanswered",
     [](Servo1Bench &b, QvxFirmware::UpdateParam &) { b.noAnswerTo(QStringLiteral("1.0 1 WRITE 04 01"), 2); },
     {"Update[1]: OK!!!", "Update[1]: change baudrate fail"}, "QUORVEX Restart Failed"},
};

class ServoUpdate1Failure : public ::testing::TestWithParam<FailureCase>
{};

} // namespace

TEST_P(ServoUpdate1Failure, GivesItsTextsWithThePortClosed)
{
    const FailureCase &c = GetParam();
    Servo1Bench b(c.packets, c.rate, c.rateValue);
    QvxFirmware::UpdateParam order = b.order();
    c.arrange(b, order);
    EXPECT_FALSE(b.fw.firmware_update(order)) << c.what;
    b.expectFailedAfter(c.updateLogs, c.failure, c.what);
}

INSTANTIATE_TEST_SUITE_P(ServoUpdate1, ServoUpdate1Failure, ::testing::ValuesIn(kFailureCases), CaseNamedByWhat());

TEST(ServoUpdate1, UnknownDefaultRateFailsBeforeAnythingIsSent)
{
    Servo1Bench b;
    QvxFirmware::UpdateParam order = b.order();
    order.defaultBaudValue = 3; // no rate of the table
    ASSERT_TRUE(b.fw.open(b.bus.portName(), kRate));
    EXPECT_FALSE(b.fw.firmware_update(order));
    b.expectFailed(QStringLiteral("Port Open Failed"), QStringLiteral("unknown default rate"));
    EXPECT_TRUE(b.deviceRecord().isEmpty()) << qPrintable(b.record().join('\n'));
    EXPECT_TRUE(b.updateLogs().isEmpty());
    ASSERT_TRUE(b.servo().has_value());
    EXPECT_EQ(b.servo()->firmware, 20);
    EXPECT_EQ(b.bus.memory(kServo, kTorque, 1, sim::Protocol::V1), QByteArray(1, '\x01'));
}
