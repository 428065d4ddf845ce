// Ping, scans, reset, reboot and clear against the simulated bus.

#include "comm/QvxComm.h"
#include "tests/control/ControlOnBus.h"
#include "tests/support/QtPrinters.h"

#include <QTimer>

namespace {

using namespace control_test;

class DeviceCommands : public ControlOnBus
{
protected:
    void SetUp() override
    {
        ControlOnBus::SetUp();
        bus_.addDevice(sim::Device::protocol2(3, 9999, 4)); // a model without description
        QString error;
        const std::optional<sim::Device> ar240 = sim::builtInDevice(1020, 5, 53, &error);
        ASSERT_TRUE(ar240) << error.toStdString();
        bus_.addDevice(*ar240);
        bus_.addDevice(sim::Device::protocol2(6, 4242, 7));
        sim::Faults refusing;
        refusing.error = 0x02;
        bus_.setFaults(6, refusing);
    }
};

TEST_F(DeviceCommands, PingPrintsTheDeviceOrWhyItFailed)
{
    struct Case
    {
        quint8 id;
        const char *lines;
    };
    const Case cases[] = {
        {1, "ID 1 : ACK\n[ID:001] TS-100, v7\n"},
        {5, "ID 5 : ACK\n[ID:005] AR-240, v53\n"},
        {3, "ID 3 : ACK\n[ID:003] Unknown\n"},
        {2, "[Error] ID 2 : COMM_RX_TIMEOUT\n"},
        {6, "[Error] ID 6 : Instruction Error\n"},
    };
    for (const Case &c : cases) {
        control_->pingAndPrint(c.id);
        EXPECT_EQ(out(), QString::fromUtf8(c.lines)) << int(c.id);
        EXPECT_EQ(control_->lastId(), c.id);
    }
    control_->pingAndPrint(1, false, false); // without report: nothing at all
    EXPECT_EQ(out(), QString());
}

TEST_F(DeviceCommands, ProtocolOneDevicesAndTheirErrorBits)
{
    QString error;
    const std::optional<sim::Device> cv110 = sim::builtInDevice(12, 3, std::nullopt, &error);
    ASSERT_TRUE(cv110) << error.toStdString();
    bus_.addDevice(*cv110);
    sim::Device warning = *cv110, refusing = *cv110;
    warning.id = 4;
    warning.faults.error = 0x01; // input voltage: a warning only
    refusing.id = 7;
    refusing.faults.error = 0x48; // range and instruction
    bus_.addDevice(warning);
    bus_.addDevice(refusing);
    control_->setProtocolVersion(QStringLiteral("1.0"));
    out();
    const QString model = QStringLiteral("CV-110, v%1\n").arg(cv110->firmware);
    for (const auto &[id, lines] : QList<QPair<quint8, QString>>{
             {3, QStringLiteral("ID 3 : ACK\n[ID:003] ") + model},
             {4, QStringLiteral("ID 4 : ACK\n[ID:004] ") + model},
             {7, QStringLiteral("[Error] ID 7 : Range Error, Instruction Error\n")},
             {1, QStringLiteral("[Error] ID 1 : COMM_RX_TIMEOUT\n")}}) {
        control_->pingAndPrint(id);
        EXPECT_EQ(out(), lines) << int(id);
    }
}

TEST_F(DeviceCommands, PingDeviceIdentifiesForCommandsThatNeedATable)
{
    ushort model = 0;
    uchar firmware = 0, error = 0;
    EXPECT_TRUE(control_->pingDevice(1, &model, &firmware, &error));
    EXPECT_EQ(out(), QStringLiteral("[ID:001] TS-100, v7\n"));
    EXPECT_EQ(model, 4242);
    EXPECT_EQ(firmware, 7);
    EXPECT_FALSE(control_->pingDevice(3, &model, &firmware, &error));
    EXPECT_EQ(out(), QStringLiteral("[ID:003] Unknown\n[Error] Control table not found for model 9999\n"));
    // Silent for the console's item-name test; the commands ask for the error line.
    EXPECT_FALSE(control_->pingDevice(2, &model, &firmware, &error));
    EXPECT_EQ(out(), QString());
    EXPECT_FALSE(control_->pingDevice(2, &model, &firmware, &error, true));
    EXPECT_EQ(out(), QStringLiteral("[Error] ID 2 : COMM_RX_TIMEOUT\n"));
}

TEST_F(DeviceCommands, RangedScanPingsEveryIdAndSaysWhenItIsDone)
{
    control_->scanRange(0, 3);
    EXPECT_EQ(out(), QStringLiteral("Scanning for devices...\nPress Ctrl+C to cancel scan\n"
                                    "[Error] ID 0 : COMM_RX_TIMEOUT\nID 1 : ACK\n[ID:001] TS-100, v7\n"
                                    "[Error] ID 2 : COMM_RX_TIMEOUT\nID 3 : ACK\n[ID:003] Unknown\nScan completed\n"));
    EXPECT_EQ(control_->lastId(), 3);
    EXPECT_EQ(editor_.interruptFlag(), nullptr);

    bus_.clearReceived();
    control_->scanRange(5, 4);
    EXPECT_EQ(out(), QStringLiteral("Scanning for devices...\nPress Ctrl+C to cancel scan\nScan completed\n"));
    EXPECT_TRUE(bus_.received().isEmpty());
}

TEST_F(DeviceCommands, RangedScanStopsSilentlyAtCtrlC)
{
    QTimer::singleShot(0, [this] { pressCtrlC(); });
    control_->scanRange(0, 252);
    const QString printed = out();
    EXPECT_FALSE(printed.contains(QStringLiteral("Scan completed"))) << printed.toStdString();
    EXPECT_LT(bus_.receivedCount(0x01), 5);
}

TEST_F(DeviceCommands, BroadcastPingAnnouncesEveryDevice)
{
    QList<int> found;
    QObject::connect(control_.get(), &QvxControl::qvxFound,
                     [&](uchar id, ushort model, uchar) { found.append(id * 100000 + model); });
    control_->broadcastPing(300);
    EXPECT_EQ(found, (QList<int>{104242, 309999, 501020, 604242}));
    EXPECT_EQ(out(), QStringLiteral("broadcast ping : please wait...\nPress Ctrl+C to cancel\n"
                                    "\bbroadcast ping : done\n"));
    EXPECT_EQ(control_->transport()->cancelFlagPointer, nullptr);
    EXPECT_EQ(editor_.interruptFlag(), nullptr);
}

TEST_F(DeviceCommands, BroadcastPingCancelledMeanwhileEndsSilently)
{
    QObject::connect(control_.get(), &QvxControl::qvxFound, [&] { pressCtrlC(); });
    control_->broadcastPing(300);
    EXPECT_EQ(out(), QStringLiteral("broadcast ping : please wait...\nPress Ctrl+C to cancel\n"));
}

TEST_F(DeviceCommands, ResetRebootAndClearReportTheResultOnly)
{
    struct Case
    {
        const char *name;
        std::function<void()> run;
        const char *lines;
        quint8 instruction; // 0: nothing may be sent
    };
    const Case cases[] = {
        {"reset", [&] { control_->resetDevice(1); }, "[Success] ID 1 : reset OK\n", 0x06},
        {"reset a silent device", [&] { control_->resetDevice(2); }, "[Error] ID 2 : COMM_RX_TIMEOUT\n", 0x06},
        {"reboot", [&] { control_->rebootDevice(1); }, "[Success] ID 1 : reboot OK\n", 0x08},
        {"clear 1", [&] { control_->clearDevice(1, 1); }, "[Success] ID 1 : clear OK\n", 0x10},
        {"clear 2", [&] { control_->clearDevice(1, 2); }, "[Success] ID 1 : clear OK\n", 0x10},
        {"clear 3", [&] { control_->clearDevice(1, 3); }, "[Error] Invalid parameter\n", 0},
    };
    for (const Case &c : cases) {
        bus_.clearReceived();
        c.run();
        EXPECT_EQ(out(), QString::fromUtf8(c.lines)) << c.name;
        if (c.instruction)
            EXPECT_EQ(received(c.instruction), 1) << c.name;
        else
            EXPECT_TRUE(bus_.received().isEmpty()) << c.name;
    }
    EXPECT_EQ(bus_.device(1)->factoryResets, 1);
    EXPECT_EQ(bus_.device(1)->reboots, 1);
}

TEST_F(DeviceCommands, ADeviceThatRefusesResetRebootOrClearGetsTheErrorLine)
{
    const std::function<void()> commands[] = {
        [&] { control_->resetDevice(1); },
        [&] { control_->rebootDevice(1); },
        [&] { control_->clearDevice(1, 1); },
        [&] { control_->clearDevice(1, 10); },
    };
    const QStringList done{"reset OK", "reboot OK", "clear OK", "clear OK"};
    for (const bool refused : {true, false}) {
        sim::Faults faults;
        faults.error = refused ? 0x84 : 0x80; // the alert bit alone is no refusal
        bus_.setFaults(kDevice, faults);
        for (std::size_t k = 0; k < std::size(commands); ++k) {
            commands[k]();
            EXPECT_EQ(out(), refused ? QStringLiteral("[Error] ID 1 : Data Range Error\n")
                                     : QStringLiteral("[Success] ID 1 : %1\n").arg(done.at(qsizetype(k))))
                << k;
        }
    }
    EXPECT_EQ(bus_.device(1)->factoryResets, 1); // the refusing device kept its table
}

TEST_F(DeviceCommands, TraceCoversTheAskedCommandOnly)
{
    control_->resetDevice(1, true);
    const QString traced = out();
    EXPECT_TRUE(traced.startsWith(QStringLiteral("[TX] FF FF FD 00 01 "))) << traced.toStdString();
    EXPECT_TRUE(traced.contains(QStringLiteral("\n[RX] FF FF FD 00 01 "))) << traced.toStdString();
    EXPECT_TRUE(traced.endsWith(QStringLiteral("[Success] ID 1 : reset OK\n")));
    // The multi-turn clear is never traced; and nothing after a traced command is.
    control_->clearDevice(1, 10, true);
    control_->pingAndPrint(1);
    EXPECT_EQ(out(), QStringLiteral("[Success] ID 1 : clear OK\nID 1 : ACK\n[ID:001] TS-100, v7\n"));
}

} // namespace
