// Every path that opens a serial line refuses a port name that cannot name a
// port, or under which no device is, before the name reaches the system: one
// table of names run against each path through its real code. The witnesses
// are the simulated bus on the pty (it heard nothing) and the record of what
// the process asked the system to open (not the device a name would reach).
#include "comm/PortName.h"
#include "comm/QvxModbus.h"
#include "comm/QvxPort.h"
#include "console/app/Commander.h"
#include "control/QvxControl.h"
#include "fw/QvxFirmware.h"
#include "script/CommandDispatch.h"
#include "server/TCPServer.h"
#include "tests/sim/SimBus.h"
#include "tests/support/KeyPipe.h"
#include "tests/support/OpenRecord.h"
#include "tests/support/OutputCapture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <sys/stat.h>

namespace {

constexpr int kBaud = 57600;

// A name, and the path the system would have opened for it: where the name
// is cut at a NUL byte, where an empty name leads (the device folder), or
// the file itself.
struct BadName
{
    QString what;
    QString name;
    QByteArray reached;
};

class PortNameContract : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bus_.isOpen()) << bus_.errorString().toStdString();
        // Whatever reached the pty would be answered and heard: a servo, and
        // a board that an update's or a recovery's probe would find.
        bus_.addDevice(sim::Device::protocol2(1, 1020, 53));
        bus_.addDevice(sim::Device::protocol2(200, 400, 14));
        QFile file(dir_.filePath(QStringLiteral("not-a-port")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(::mkfifo(QFile::encodeName(dir_.filePath(QStringLiteral("a-fifo"))).constData(), 0600), 0);
        QFile image(dir_.filePath(QStringLiteral("AR-240_56.bin")));
        ASSERT_TRUE(image.open(QIODevice::WriteOnly) && image.write(QByteArray(300, '\x5A')) == 300);
    }

    QList<BadName> names() const
    {
        const QString fifo = dir_.filePath(QStringLiteral("a-fifo"));
        const QString file = dir_.filePath(QStringLiteral("not-a-port"));
        return {
            {QStringLiteral("a NUL byte"), bus_.portName() + QChar(u'\0') + QStringLiteral("-not-this-port"),
             QFile::encodeName(bus_.portName())},
            {QStringLiteral("empty"), QString(), QByteArrayLiteral("/dev/")},
            {QStringLiteral("a file"), file, QFile::encodeName(file)},
            {QStringLiteral("a FIFO"), fifo, QFile::encodeName(fifo)},
        };
    }

    QString imagePath() const { return dir_.filePath(QStringLiteral("AR-240_56.bin")); }

    // The failure texts of a firmware procedure run by `run`.
    static QStringList firmwareFailures(const std::function<bool(QvxFirmware &)> &run)
    {
        QvxFirmware fw;
        fw.setTimeout(sim::kReplySlackMs);
        QStringList failures;
        QObject::connect(&fw, qOverload<QString>(&QvxFirmware::firmware_failed),
                         [&failures](const QString &text) { failures << text; });
        EXPECT_FALSE(run(fw));
        EXPECT_FALSE(fw.isOpen());
        EXPECT_FALSE(fw.port_held);
        return failures;
    }

    sim::SimBus bus_;
    QTemporaryDir dir_;
    OutputCapture output_;
};

// One path that opens a serial line: it runs with `name` and tells whether
// it refused the way it should.
struct OpenPath
{
    const char *what;
    std::function<bool(const QString &name)> refuses;
};

} // namespace

TEST_F(PortNameContract, NoPathOpensALineUnderABadName)
{
    KeyPipe keys;
    Commander commander(keys.keys());
    commander.createControl();
    QvxControl backend(nullptr);

    const QList<OpenPath> paths = {
        {"console", [&](const QString &name) {
             output_.take();
             commander.onOpenCommand({QStringLiteral("open"), name, QString::number(kBaud)});
             return output_.take().startsWith("[Error] ");
         }},
        {"script", [&](const QString &name) {
             const script::ScriptResult result = script::executeCommand(
                 {QStringLiteral("open"), {name, QString::number(kBaud)}}, backend, false, false);
             return !result.success && !backend.isPortOpen();
         }},
        {"serial transport", [](const QString &name) {
             QvxPort port(true);
             return !port.open(name, kBaud) && !port.connectQvx(1) && !port.isOpen();
         }},
        {"Modbus transport", [](const QString &name) {
             QvxModbus modbus;
             return !modbus.open(name, kBaud) && !modbus.connectQvx(1) && !modbus.isOpen();
         }},
        {"bridge", [](const QString &name) {
             TCPServer bridge;
             return !bridge.start(QStringLiteral("127.0.0.1"), 0, name, kBaud);
         }},
        {"update", [&](const QString &name) {
             QvxFirmware::UpdateParam order;
             order.portName = name;
             order.baudrate = kBaud;
             order.id = 1;
             order.protocolVersion = QStringLiteral("2.0");
             order.modelName = QStringLiteral("AR-240");
             order.deviceKind = QStringLiteral("Quorvex2");
             order.baudRateAddress = 8;
             order.firmwarePath = imagePath();
             return firmwareFailures([&](QvxFirmware &fw) { return fw.firmware_update(order); })
                    == QStringList{QStringLiteral("Port Open Failed")};
         }},
        {"recovery", [&](const QString &name) {
             return firmwareFailures([&](QvxFirmware &fw) {
                        return fw.firmware_recovery(name, QStringLiteral("AR-240"), imagePath());
                    }) == QStringList{QStringLiteral("Port Open Failed")};
         }},
        {"calibration", [](const QString &name) {
             return firmwareFailures([&](QvxFirmware &fw) { return fw.calibration(name, QStringLiteral("VH-1220")); })
                    == QStringList{QStringLiteral("Port Open Failed")};
         }},
    };

    for (const OpenPath &path : paths) {
        for (const BadName &bad : names()) {
            SCOPED_TRACE(QStringLiteral("%1, %2").arg(QLatin1String(path.what), bad.what).toStdString());
            bus_.clearReceived();
            std::optional<OpenRecord> record(std::in_place);
            EXPECT_TRUE(path.refuses(bad.name));
            const QList<QByteArray> opened = record->paths();
            record.reset();
            EXPECT_FALSE(opened.contains(bad.reached)) << "the system was asked to open " << bad.reached.toStdString();
            QTest::qWait(50); // for anything still on its way to the bus
            EXPECT_TRUE(bus_.received().isEmpty()) << "the bus heard " << bus_.received().size() << " packets";
            EXPECT_EQ(bus_.corruptPackets(), 0);
        }
    }
}

TEST_F(PortNameContract, TheNamesOfTheTableAreRefusedForTheirOwnReasons)
{
    // Only the name itself is bad input to the front ends; whether a device is
    // there is the open's to find out.
    const QStringList faults{QStringLiteral("Port name must not contain a NUL byte"),
                             QStringLiteral("Port name must not be empty"), QString(), QString()};
    const QStringList deviceFaults{faults[0], faults[1], QStringLiteral("not a device"),
                                   QStringLiteral("not a device")};
    const QList<BadName> bad = names();
    for (qsizetype i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(portNameFault(bad[i].name), faults[i]) << bad[i].what.toStdString();
        EXPECT_EQ(portDeviceFault(bad[i].name), deviceFaults[i]) << bad[i].what.toStdString();
    }
    EXPECT_EQ(portDeviceFault(dir_.filePath(QStringLiteral("no-such-port"))), QStringLiteral("no such device"));
    EXPECT_EQ(portDeviceFault(bus_.portName()), QString());
    // A name without a folder lies in /dev, where the system looks for it.
    EXPECT_EQ(portDeviceFault(bus_.portName().mid(5)), QString());
}

TEST_F(PortNameContract, TheWitnessesSeeAGoodNameReachTheSystem)
{
    // The record and the bus, shown able to tell: the table's silence is no
    // blindness.
    std::optional<OpenRecord> record(std::in_place);
    QvxPort port(false);
    port.setTimeout(sim::kReplySlackMs);
    ASSERT_TRUE(port.open(bus_.portName(), kBaud));
    ushort model = 0;
    uchar firmware = 0;
    uchar error = 0;
    EXPECT_EQ(port.ping(1, &model, &firmware, &error), 0);
    EXPECT_TRUE(record->opened(QFile::encodeName(bus_.portName())));
    record.reset();
    EXPECT_EQ(bus_.received().size(), 1);
}
