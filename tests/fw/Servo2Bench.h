#pragma once
// A protocol 2.0 servo (ID 1) for the update tests: held to the rate of its
// baud register, with a console or packet bootloader, and the order that
// updates it from 1000000 bit/s to the image of version 54.

#include "fw/QvxFirmware.h"
#include "tests/fw/UpdateBench.h"

namespace servo2 {

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

} // namespace servo2
