// An update reads its image once: the bytes it checked before the device was
// told anything are the bytes it sends, whatever becomes of the file by the
// time the bootloader answers (replaced, shortened, removed), on every way an
// image is sent. The file is changed from the simulated bootloader as it
// answers the entry, and what it received is compared with what was checked.
#include "RecoveryBench.h"

#include "tests/support/QtPrinters.h"

#include <QFile>

#include <functional>

namespace {

enum class Change { Replaced, Shortened, Removed };

void apply(Change change, const QString &path)
{
    QFile file(path);
    switch (change) {
    case Change::Replaced:
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write("ZZ-99 version=77\n" + QByteArray(900, '\x51'));
        break;
    case Change::Shortened:
        file.resize(10);
        break;
    case Change::Removed:
        file.remove();
        break;
    }
}

const char *name(Change change)
{
    switch (change) {
    case Change::Replaced: return "replaced";
    case Change::Shortened: return "shortened";
    case Change::Removed: return "removed";
    }
    return "";
}

// One way an image is sent: its devices on the bus, then the run with the
// image at `path`, which tells whether it succeeded.
struct Way
{
    const char *what;
    std::function<bool(UpdateBench &b, const QString &path)> run;
};
void PrintTo(const Way &w, std::ostream *os) { *os << w.what; }

// The order of an update of device `id` at `baudrate` with the image at `path`.
QvxFirmware::UpdateParam order(const UpdateBench &b, quint8 id, int baudrate, const char *model, const char *kind,
                               const QString &path)
{
    QvxFirmware::UpdateParam p;
    p.portName = b.bus.portName();
    p.baudrate = baudrate;
    p.id = id;
    p.protocolVersion = QStringLiteral("2.0");
    p.modelName = QString::fromLatin1(model);
    p.deviceKind = QString::fromLatin1(kind);
    p.firmwarePath = path;
    return p;
}

// A protocol 2.0 servo at 1000000 bit/s whose reboot takes it into a
// bootloader of dialect 2, console or packets.
bool updateServo2(UpdateBench &b, const QString &path, bool packets)
{
    constexpr int kBaud = 8;
    sim::Device servo = sim::Device::protocol2(1, 1020, 53);
    servo.firmwareAddress = 6;
    servo.setInitial(kBaud, QByteArray(1, '\x03'));
    servo.baudRate = 1000000;
    servo.baudRegisterAddress = kBaud;
    b.bus.addDevice(servo);
    b.bus.setBootloader(1, sim::BootloaderSetup{2, packets, {}});
    QvxFirmware::UpdateParam p = order(b, 1, 1000000, "QX-20", "Quorvex2", path);
    p.baudRateAddress = kBaud;
    return b.fw.firmware_update(p);
}

const Way kWays[] = {
    {"protocol 1.0 servo, bootloader console",
     [](UpdateBench &b, const QString &path) {
         const RestartingServo1 servo;
         servo.addTo(b.bus);
         QvxFirmware::UpdateParam p = order(b, servo.id, servo.rate, "VK-28", "Quorvex1", path);
         p.defaultBaudValue = servo.factoryValue;
         p.baudRateAddress = static_cast<ushort>(servo.baudAddress);
         return b.fw.firmware_update(p);
     }},
    {"protocol 2.0 servo, bootloader console", [](UpdateBench &b, const QString &path) { return updateServo2(b, path, false); }},
    {"protocol 2.0 servo, packet bootloader", [](UpdateBench &b, const QString &path) { return updateServo2(b, path, true); }},
    {"Modbus servo",
     [](UpdateBench &b, const QString &path) {
         constexpr int kBootEntry = 0x80;
         constexpr int kReset = 0x82;
         sim::Device servo = sim::Device::modbus(1, 2100, 30);
         servo.baudRate = 115200;
         servo.bootWriteAddress = kBootEntry;
         servo.bootWriteValue = 1025;
         servo.resetWriteAddress = kReset;
         b.bus.addDevice(servo);
         b.bus.setBootloader(1, sim::BootloaderSetup{2, false, {}}, sim::Protocol::Modbus);
         QvxFirmware::UpdateParam p = order(b, 1, 115200, "QM-40", "QuorvexM", path);
         p.modbusResetAddress = kReset;
         p.modbusBootEntryAddress = kBootEntry;
         return b.fw.firmware_update(p);
     }},
    {"controller board",
     [](UpdateBench &b, const QString &path) {
         sim::Device board = sim::Device::protocol2(kBoard, 400, 14);
         board.bootWriteAddress = 21;
         board.bootWriteValue = 4;
         b.bus.addDevice(board);
         b.bus.setBootloader(kBoard, sim::BootloaderSetup{5, false, {}});
         return b.fw.firmware_update(order(b, kBoard, 57600, "Tarlin-C04", "Controller2", path));
     }},
    {"recovery",
     [](UpdateBench &b, const QString &path) {
         b.fw.setTimeout(0); // no board answers the probe: its pings wait out their bare window
         sim::Device servo = sim::Device::protocol2(kServo, 1020, 53);
         servo.bootloader = sim::BootloaderSetup{2, false, {}};
         b.bus.addDevice(servo);
         SwitchOn person(b.bus, probeDone(b.bus));
         return b.fw.firmware_recovery(b.bus.portName(), QStringLiteral("AR-240"), path);
     }},
};

class ImageReadOnce : public ::testing::TestWithParam<Way>
{};

} // namespace

TEST_P(ImageReadOnce, TheBytesCheckedAreTheBytesSentWhateverBecomesOfTheFile)
{
    const Way &way = GetParam();
    for (const Change change : {Change::Replaced, Change::Shortened, Change::Removed}) {
        SCOPED_TRACE(name(change));
        UpdateBench b;
        const QByteArray checked = "VK-28 version=21\n" + QByteArray(700, '\x6B');
        const QString path = b.image(checked, QStringLiteral("image.bin"));
        b.bus.setEntryHook([path, change](quint8) { apply(change, path); });
        EXPECT_TRUE(way.run(b, path)) << qPrintable(b.logs.join('\n'));
        EXPECT_EQ(b.failures, QStringList());
        const QByteArray received = b.bus.bootImage();
        EXPECT_TRUE(received == checked) << "received " << received.size() << " bytes beginning \""
                                         << received.left(17).toStdString() << '"';
        EXPECT_TRUE(b.bus.bootImageComplete());
        QFile file(path);
        if (change == Change::Removed)
            EXPECT_FALSE(file.exists()) << "the file was changed while the update ran";
        else
            EXPECT_TRUE(file.open(QIODevice::ReadOnly) && file.readAll() != checked)
                << "the file was changed while the update ran";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryWayAnImageIsSent, ImageReadOnce, ::testing::ValuesIn(kWays));
