// The firmware transport's own parts: bootloader dialects by model name, the
// replacement-image table, the order record, construction, the meta-object,
// and the bytes written before a reopen at another rate.
#include "fw/QvxFirmware.h"

#include "comm/CommResult.h"
#include "device/BaseConstants.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimPackets.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QMetaMethod>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

void touch(const QString &path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << qPrintable(path);
}

QStringList ownMethods(QMetaMethod::MethodType type)
{
    const QMetaObject &meta = QvxFirmware::staticMetaObject;
    QStringList out;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        if (meta.method(i).methodType() == type)
            out << QString::fromLatin1(meta.method(i).methodSignature());
    }
    return out;
}

} // namespace

TEST(FirmwareDialect, ModelNamePrefixesPickTheDialect)
{
    struct Case
    {
        const char *name;
        int type;
    };
    const Case cases[] = {
        {"VB-110", 0}, {"VC", 0}, {"VF-2", 0}, {"VGX", 0},
        {"VH-11", 1}, {"VP-1", 1}, {"VK", 1}, {"VL9", 1}, {"QBL-3", 1}, {"QBK-3", 1},
        {"QCL-1", 1}, {"QCK-1", 1}, {"QAL-1", 1}, {"QAK-1", 1},
        {"QN-100", 4}, {"QN-1000", 4},
        {"QELR-1", 3}, {"QEKR-1", 3}, {"QDLR-1", 3}, {"QDKR-1", 3}, {"QGLS-1", 3}, {"QGKS-1", 3},
        {"QFLS-1", 3}, {"QFKS-1", 3}, {"Quorvex", 3}, {"Quorvex-X", 3}, {"QJA-2", 3},
        {"Tarlin", 5}, {"Tarlin-C04", 5},
        // Prefixes compare case-sensitively and whole.
        {"vh-11", 2}, {"VP1", 2}, {"QN-10", 2}, {"quorvex", 2}, {"tarlin", 2},
        {"", 2}, {"Unknown", 2}, {"AR-240", 2}, {"VN-1", 2},
    };
    for (const Case &c : cases)
        EXPECT_EQ(QvxFirmware::classifyDevice(QString::fromLatin1(c.name)), c.type) << c.name;
}

TEST(FirmwareDialect, CalibrationRuleIsItsOwn)
{
    struct Case
    {
        const char *name;
        int type;
    };
    const Case cases[] = {
        {"VH-1", 1}, {"VN-1", 1}, {"VK", 1}, {"VL-2", 1},
        {"VB-1", 2}, {"QAK-1", 2}, {"vh-1", 2}, {"", 2}, {"Tarlin", 2},
    };
    for (const Case &c : cases)
        EXPECT_EQ(QvxFirmware::calibrationDeviceType(QString::fromLatin1(c.name)), c.type) << c.name;
}

TEST(FirmwareImages, ReplacementTableKeysByModelName)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.path();
    for (const char *name : {"Model-X_v2.ecp", "Model-X.ECP", "AR-240_2024_fix.Ecp", "BN-540.v3.ecp",
                             "_lead.ecp", "CV-110.bin", "notes.txt", "plain"})
        touch(folder + '/' + QString::fromLatin1(name));
    ASSERT_TRUE(QDir(folder).mkdir("Folder.ecp"));
    touch(folder + "/Folder.ecp/GL-M50.ecp"); // subfolders are not looked into

    const QMap<QString, QString> images = QvxFirmware::replacementImages(folder);
    const QMap<QString, QString> expected{
        // Listed by name, "Model-X.ECP" comes before "Model-X_v2.ecp": the later wins.
        {"Model-X", folder + "/Model-X_v2.ecp"},
        {"AR-240", folder + "/AR-240_2024_fix.Ecp"},
        {"BN-540", folder + "/BN-540.v3.ecp"}, // the name up to its first "."
        {"", folder + "/_lead.ecp"},
    };
    EXPECT_EQ(images, expected);
    EXPECT_TRUE(QvxFirmware::replacementImages(folder + "/missing").isEmpty());
}

TEST(FirmwareImages, ConstructorReadsTheFolderUnderTheDataDirectory)
{
    // The test runs with a home folder of its own (see CMakeLists.txt).
    ASSERT_TRUE(kDataDirectory.startsWith(QDir::homePath())) << qPrintable(kDataDirectory);
    const QString folder = QvxFirmware::replacementFolder();
    EXPECT_EQ(folder, kDataDirectory + "/externalBIN");
    QDir(folder).removeRecursively();

    EXPECT_TRUE(QvxFirmware().externalImages.isEmpty()); // no folder: no table

    ASSERT_TRUE(QDir().mkpath(folder));
    touch(folder + "/CV-110_test.ecp");
    touch(folder + "/HS-110.bin");
    const QvxFirmware firmware;
    EXPECT_EQ(firmware.externalImages, (QMap<QString, QString>{{"CV-110", folder + "/CV-110_test.ecp"}}));

    // Read once: a file added later is seen only by a new transport.
    touch(folder + "/GL-M50.ecp");
    EXPECT_EQ(firmware.externalImages.size(), 1);
    EXPECT_EQ(QvxFirmware().externalImages.size(), 2);
    QDir(folder).removeRecursively();
}

TEST(FirmwareTransport, ListensWhenAskedAndHasNoParent)
{
    QvxFirmware listening(true);
    EXPECT_TRUE(listening.listen);
    EXPECT_EQ(listening.parent(), nullptr);
    QvxFirmware alone;
    EXPECT_FALSE(alone.listen);
    EXPECT_EQ(alone.connectionType, 0);
    EXPECT_EQ(alone.version(), QStringLiteral("2.0"));
    EXPECT_FALSE(alone.cancelRequested);
    EXPECT_TRUE(alone.consoleBuffer.isEmpty());
}

TEST(FirmwareTransport, OrderRecordHasDefinedDefaults)
{
    const QvxFirmware::UpdateParam p;
    EXPECT_TRUE(p.portName.isEmpty());
    EXPECT_EQ(p.baudrate, 0);
    EXPECT_EQ(p.id, 0);
    EXPECT_TRUE(p.protocolVersion.isEmpty());
    EXPECT_EQ(p.protocolTypeAddress, 0);
    EXPECT_EQ(p.modbusProtocolTypeAddress, 0);
    EXPECT_TRUE(p.modelName.isEmpty());
    EXPECT_TRUE(p.deviceKind.isEmpty());
    EXPECT_EQ(p.defaultBaudValue, 0);
    EXPECT_EQ(p.baudRateAddress, 0);
    EXPECT_EQ(p.latestFirmwareVersion, 0);
    EXPECT_TRUE(p.firmwarePath.isEmpty());
    EXPECT_FALSE(p.spareFlag);
    EXPECT_TRUE(p.spareRecords.isEmpty());
    EXPECT_EQ(p.modbusResetAddress, 0);
    EXPECT_EQ(p.modbusBootEntryAddress, 0);
    EXPECT_EQ(p.torqueEnableAddress, -1); // none: no torque write to address 0
    EXPECT_EQ(p.masterId, -1);            // none: no master branch
    EXPECT_EQ(p.masterIdAddress, 0);
    EXPECT_EQ(p.masterBaudAddressA, 0);
    EXPECT_EQ(p.masterBaudAddressB, 0);
}

TEST(FirmwareTransport, MetaObjectNamesAndOrder)
{
    EXPECT_STREQ(QvxFirmware::staticMetaObject.className(), "QvxFirmware");
    EXPECT_EQ(QvxFirmware::staticMetaObject.superClass(), &QvxPort::staticMetaObject);
    EXPECT_EQ(ownMethods(QMetaMethod::Slot),
              (QStringList{"firmware_update(QvxFirmware::UpdateParam)",
                           "firmware_recovery(QString,QString,QString)", "firmware_recovery(QString,QString)",
                           "calibration(QString,QString)", "calibration_next()", "calibration_cancel()"}));
    EXPECT_EQ(ownMethods(QMetaMethod::Signal),
              (QStringList{"firmware_failed(QString)", "firmware_failed()", "firmware_succeed()",
                           "firmware_progress(int)", "firmware_bootloaderEntry()", "calibration_nextFailed()",
                           "calibration_nextSucceed()", "outputDebug(QString)"}));
}

TEST(FirmwareTransport, UpdateIsReachableByName)
{
    QvxFirmware firmware;
    EXPECT_TRUE(QMetaType::fromName("QvxFirmware::UpdateParam").isValid());
    QStringList failures;
    int successes = 0;
    QObject::connect(&firmware, qOverload<QString>(&QvxFirmware::firmware_failed),
                     [&](const QString &text) { failures << text; });
    QObject::connect(&firmware, &QvxFirmware::firmware_succeed, [&] { ++successes; });
    QvxFirmware::UpdateParam order;
    order.modelName = QStringLiteral("CV-110");
    bool done = true;
    ASSERT_TRUE(QMetaObject::invokeMethod(&firmware, "firmware_update", Q_RETURN_ARG(bool, done),
                                          Q_ARG(QvxFirmware::UpdateParam, order)));
    EXPECT_FALSE(done);
    EXPECT_EQ(failures, QStringList{"Device Type is Unknown"}) << "an order without a device kind";
    EXPECT_EQ(successes, 0);

    // The signal's defaulted form carries "Failed" as well.
    failures.clear();
    emit firmware.firmware_failed();
    EXPECT_EQ(failures, QStringList{"Failed"});
}

TEST(FirmwareTransport, BytesWrittenBeforeAReopenAtAnotherRateLeaveAtTheirOwnRate)
{
    // A sync write gets no reply: nothing else makes the program wait for its
    // bytes before the port is set to 1 Mbit/s, where the servo, held at
    // 57600, would take them for noise (or the reopen would drop them).
    for (int run = 0; run < 5; ++run) {
        sim::SimBus bus;
        ASSERT_TRUE(bus.isOpen()) << qPrintable(bus.errorString());
        sim::Device servo = sim::Device::protocol2(1, 1020, 53);
        servo.baudRate = 57600;
        bus.addDevice(servo);
        QvxFirmware firmware;
        ASSERT_TRUE(firmware.open(bus.portName(), 57600));
        const QByteArray syncWrite = sim::packet2(0xFE, 0x83, sim::fromHex("40 00 01 00 01 01"));
        ASSERT_EQ(firmware.writeRaw(syncWrite), COMM_OK);
        EXPECT_TRUE(firmware.setBaudRate(1000000));
        ASSERT_TRUE(bus.waitForReceived(1, 5000)) << "run " << run << ": the sync write never arrived whole";
        EXPECT_TRUE(QTest::qWaitFor([&] { return bus.memory(1, 64, 1) == QByteArray(1, '\x01'); }, 5000))
            << "run " << run << ": the servo did not hear it at its rate";
    }
}
