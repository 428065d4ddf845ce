#pragma once
// The failures of the protocol 2.0 servo update: one case per failing step,
// the arrangements that make a step fail, and the run that checks each case's
// texts with the port closed.

#include "tests/fw/Servo2Bench.h"
#include "tests/support/CaseTable.h"

#include <functional>
#include <ostream>

namespace servo2 {

struct FailureCase
{
    const char *what;
    std::function<void(ServoBench &, QvxFirmware::UpdateParam &)> arrange;
    QStringList updateLogs;
    QString failure;
    int heldBaud = 1000000; // the servo's own rate
};

// The servo speaks another protocol until its protocol type says 2.0.
inline void speaking(ServoBench &b, sim::Protocol protocol, char protocolType)
{
    std::optional<sim::Device> servo = b.bus.device(kServo);
    servo->protocol = protocol;
    servo->protocolTypeAddress = kProtocolType;
    servo->write(kProtocolType, QByteArray(1, protocolType));
    b.bus.removeDevice(kServo);
    b.bus.addDevice(*servo);
    b.bus.setBootloader(kServo, sim::BootloaderSetup{2, false, {}}, protocol);
}

inline void speaksProtocol1(ServoBench &b, QvxFirmware::UpdateParam &o)
{
    speaking(b, sim::Protocol::V1, '\x01');
    o.protocolVersion = QStringLiteral("1.0");
}

inline void speaksModbus(ServoBench &b, QvxFirmware::UpdateParam &o)
{
    speaking(b, sim::Protocol::Modbus, '\x0A');
    o.protocolVersion = QStringLiteral("MODBUS");
    o.protocolTypeAddress = 0;
    o.modbusProtocolTypeAddress = kProtocolType;
}

// A board of model 220 at 57600 in front, relaying to the servo bus at 1000000.
inline void behindABoard(ServoBench &b)
{
    sim::Device board = sim::Device::protocol2(200, 220, 3);
    board.baudRate = 57600;
    board.relayRegisterAddress = 9;
    board.setInitial(9, QByteArray(1, '\x03'));
    b.bus.addDevice(board);
}

// A master at ID 9 with its two rate registers.
inline void behindAMaster(ServoBench &b, QvxFirmware::UpdateParam &o)
{
    b.bus.addDevice(sim::Device::protocol2(9, 1100, 3));
    o.masterId = 9;
    o.masterIdAddress = 30;
    o.masterBaudAddressA = 20;
    o.masterBaudAddressB = 21;
}

inline void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.what; }

// Each file runs its table of failures as the rows of one parameterised test.
class ServoUpdate2Failure : public ::testing::TestWithParam<FailureCase>
{
protected:
    static void run(const FailureCase &c)
    {
        ServoBench b(false, c.heldBaud);
        QvxFirmware::UpdateParam order = b.order();
        c.arrange(b, order);
        EXPECT_FALSE(b.fw.firmware_update(order)) << c.what;
        b.expectFailedAfter(c.updateLogs, c.failure, c.what);
    }
};

// A step the servo leaves unanswered from its `from`th time on.
inline std::function<void(ServoBench &, QvxFirmware::UpdateParam &)> silent(const char *line, int from = 1)
{
    return [line, from](ServoBench &b, QvxFirmware::UpdateParam &) { b.noAnswerTo(QString::fromLatin1(line), from); };
}

} // namespace servo2
