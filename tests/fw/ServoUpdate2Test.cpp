// The update of a protocol 2.0 servo end to end against the simulated bus:
// directly with the packet and the console bootloader, behind a controller
// board at either probe rate, behind a master device, each on the simulator's
// record of instructions and the servo's final state.
#include "tests/fw/Servo2Bench.h"

#include "comm/CancellationToken.h"

using namespace servo2;

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

TEST(ServoUpdate2, BehindABoardAtEitherProbeRate)
{
    // The board is spoken to at its own rate alone and relays to the servo
    // bus at the rate of its bus register: address 9 for model 220, 12 for
    // the others.
    struct Case
    {
        const char *what;
        quint16 model;
        int boardRate;
        int busRegister;
        int probePings;
    };
    const Case cases[] = {
        {"model 220 at 57600", 220, 57600, 9, 1},
        {"model 450 only at 6250000", 450, 6250000, 12, 3},
    };
    for (const Case &c : cases) {
        ServoBench b;
        sim::Device board = sim::Device::protocol2(200, c.model, 3);
        board.baudRate = c.boardRate;
        board.relayRegisterAddress = c.busRegister;
        board.setInitial(c.busRegister, QByteArray(1, '\x03')); // the servo bus at 1000000
        b.bus.addDevice(board);
        ASSERT_TRUE(b.fw.open(b.bus.portName(), 1000000)) << c.what;
        EXPECT_TRUE(b.fw.firmware_update(b.order())) << c.what;
        b.expectUpdated();
        EXPECT_EQ(b.fw.boardModel, c.model) << c.what;
        EXPECT_EQ(b.fw.boardBaud, c.boardRate) << c.what;
        const QString toBoard = QStringLiteral("2.0 200 WRITE %1 00 ").arg(c.busRegister, 2, 16, QChar('0')).toUpper();
        const QStringList expected = QStringList(c.probePings, QStringLiteral("2.0 200 PING")) + kPrepare.mid(0, 4)
                                     + QStringList{toBoard + "01", "2.0 1 REBOOT"} + kRestore.mid(0, 2)
                                     + QStringList{toBoard + "03"} + kRestore.mid(2);
        QStringList record = b.record();
        record.removeIf([](const QString &line) { return line.contains(QLatin1String(" BOOT_")); });
        EXPECT_EQ(record, expected) << c.what << '\n' << qPrintable(b.record().join('\n'));
        EXPECT_EQ(b.bus.memory(200, c.busRegister, 1), QByteArray(1, '\x03')) << c.what;
    }
}

TEST(ServoUpdate2, BehindAMaster)
{
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

TEST(ServoUpdate2, ARateWriteThatFailsOnceIsRetriedAndTheUpdateGoesOn)
{
    struct Case
    {
        const char *what;
        const char *write;
        const char *firstFailure;
    };
    const Case cases[] = {
        {"57600 before the transfer", "2.0 1 WRITE 08 00 01", "Update[2]: change baudrate fail #1-1"},
        {"the servo's rate after it", "2.0 1 WRITE 08 00 03", "Update[2]: change baudrate fail #2-1"},
    };
    for (const Case &c : cases) {
        ServoBench b(true);
        b.noAnswerOnlyTo(QString::fromLatin1(c.write));
        EXPECT_TRUE(b.fw.firmware_update(b.order())) << c.what << '\n' << qPrintable(b.logs.join('\n'));
        EXPECT_EQ(b.successes, 1) << c.what;
        EXPECT_EQ(b.updateLogs(), (QStringList{c.firstFailure, "Update[2]: OK!!!"})) << c.what;
        EXPECT_EQ(b.record().count(QString::fromLatin1(c.write)), 2) << c.what;
        EXPECT_EQ(b.bus.memory(kServo, kBaud, 1), QByteArray(1, '\x03')) << c.what;
        EXPECT_EQ(b.bus.device(kServo)->firmware, 54) << c.what;
    }
}

TEST(ServoUpdate2, FromItsFirstWriteTheUpdateRunsToItsEndWhateverTheLentToken)
{
    // Ctrl+C (the command's token, lent to the transport) once the torque-off
    // write arrived: cut after it, the servo would keep the bootloader's rate.
    ServoBench b(true);
    CancellationToken token;
    b.fw.setCancellationToken(&token);
    b.bus.setResponder([&token](const sim::Instruction &in) -> std::optional<QByteArray> {
        if (in.id == kServo && in.code == 0x03)
            token.state.store(1);
        return std::nullopt;
    });
    ASSERT_TRUE(b.fw.open(b.bus.portName(), 1000000));
    EXPECT_TRUE(b.fw.firmware_update(b.order())) << qPrintable(b.logs.join('\n'));
    b.expectUpdated();
    EXPECT_EQ(b.deviceRecord(), kPrepare + kRestore);
    EXPECT_EQ(b.fw.token, &token) << "lent again afterwards";
    EXPECT_TRUE(token.cancelled());
}
