// The self-diagnosis against moving servos on the simulated bus, with a clock
// sped up ten times on both sides, and its result file.
#include "comm/CommResult.h"
#include "device/DeviceConstants.h"
#include "device/QvxModelRegistry.h"
#include "diagnosis/QvxSelfDiagnosis.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimModbus.h"
#include "tests/sim/SimModels.h"
#include "tests/sim/SimPackets.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

using sim::fromHex;

namespace {

constexpr double kTimeScale = 10;

QvxModelRegistry &registry()
{
    static QvxModelRegistry r;
    static bool loaded = false;
    if (!loaded) {
        r.load(QStringLiteral(":/device/assets/xml/"), false);
        loaded = true;
    }
    return r;
}

// A servo of the built-in description that moves: to its goal at 8000 units a
// second, or turning at 1024 while driven.
struct ServoLayout
{
    quint16 modelNumber;
    int firmware;
    int torque;
    int goal;
    int present;
    int positionWidth;
    int drive;
    int driveDirection;
    int velocity;
    int velocityWidth;
    int runningVelocity;
};
// AR-240, protocol 2.0: Goal PWM drives, Present Velocity 249 x 0.229 = 57 rev/min.
const ServoLayout kAr240{1020, 53, 64, 116, 132, 4, 100, 0, 128, 4, 249};
// CV-110, protocol 1.0: Moving Speed drives in sign and magnitude, wheel mode.
const ServoLayout kCv110{12, 0, 24, 30, 36, 2, 32, 1024, 38, 2, 600};

struct Diagnosis
{
    sim::SimBus bus;
    QvxDeviceModel model;
    QvxSelfDiagnosis::DeviceRecord record;
    QvxSelfDiagnosis diag;
    QByteArray initialTable;
    std::vector<std::unique_ptr<QvxControlItem>> ownItems;

    QStringList events; // the other signals, in order
    QList<int> positionProgress;
    QList<int> goals;
    QList<int> velocityProgress;
    QList<double> velocities;
    QStringList logs;

    explicit Diagnosis(const ServoLayout &s, bool moving = true, quint8 id = 1)
    {
        model = *registry().find(s.modelNumber, s.firmware);
        QString error;
        sim::Device dev = *sim::builtInDevice(s.modelNumber, id, s.firmware > 0 ? std::optional<int>(s.firmware)
                                                                              : std::nullopt, &error);
        sim::Motion &m = dev.motion;
        m.enabled = moving;
        m.timeScale = kTimeScale;
        m.torqueAddress = s.torque;
        m.goalAddress = s.goal;
        m.presentAddress = s.present;
        m.positionWidth = s.positionWidth;
        m.unitsPerSecond = 8000;
        m.driveAddress = s.drive;
        m.driveWidth = 2;
        m.driveDirection = s.driveDirection;
        m.velocityAddress = s.velocity;
        m.velocityWidth = s.velocityWidth;
        m.velocityDirection = s.driveDirection;
        m.runningVelocity = s.runningVelocity;
        initialTable = dev.table;
        bus.addDevice(dev);

        record.portName = bus.portName();
        record.protocolVersion = dev.protocol == sim::Protocol::V1 ? QStringLiteral("1.0") : QStringLiteral("2.0");
        record.deviceKind = model.type;
        record.baudRate = 57600;
        record.id = id;
        record.firmwareVersion = dev.firmware;
        diag.timeScale = kTimeScale;
        diag.setTimeout(500); // slack for a loaded machine: a late reply is not a lost one
        diag.setDevice(&record, &model, QString());

        QvxSelfDiagnosis *d = &diag;
        const auto event = [this](const char *name) { return [this, name] { events << QString::fromLatin1(name); }; };
        QObject::connect(d, &QvxSelfDiagnosis::prepare_failed, event("prepare_failed"));
        QObject::connect(d, &QvxSelfDiagnosis::prepare_succeed, event("prepare_succeed"));
        QObject::connect(d, &QvxSelfDiagnosis::finish_failed, event("finish_failed"));
        QObject::connect(d, &QvxSelfDiagnosis::finish_succeed, event("finish_succeed"));
        QObject::connect(d, &QvxSelfDiagnosis::positionEnd,
                         [this](bool ok) { events << QStringLiteral("positionEnd %1").arg(ok); });
        QObject::connect(d, &QvxSelfDiagnosis::velocityEnd, [this](bool min, bool max) {
            events << QStringLiteral("velocityEnd %1 %2").arg(min).arg(max);
        });
        QObject::connect(d, &QvxSelfDiagnosis::positionProgress, [this](int p) { positionProgress << p; });
        QObject::connect(d, &QvxSelfDiagnosis::positionGoal, [this](int g) { goals << g; });
        QObject::connect(d, &QvxSelfDiagnosis::velocityProgress, [this](int p) { velocityProgress << p; });
        QObject::connect(d, &QvxSelfDiagnosis::velocityData, [this](double v) { velocities << v; });
        QObject::connect(d, &QvxComm::logMessage, [this](const QString &msg) { logs << msg; });
    }

    // An item of the model replaced by a copy that `change` alters (the
    // registry's item stays as it is).
    QvxControlItem *replaceItem(const QString &name, const std::function<void(QvxControlItem &)> &change)
    {
        ownItems.push_back(std::make_unique<QvxControlItem>(*model.itemsByName.value(name)));
        QvxControlItem *copy = ownItems.back().get();
        change(*copy);
        model.itemsByName[name] = copy;
        model.itemsByAddress[copy->address] = copy;
        return copy;
    }

    // The data of every protocol 2.0 WRITE at `address`, in order.
    QList<QByteArray> writes2(int address) const
    {
        QList<QByteArray> out;
        for (const sim::Instruction &in : bus.received()) {
            if (in.protocol == sim::Protocol::V2 && in.code == 0x03 && in.params.size() >= 2 &&
                (quint8(in.params.at(0)) | (quint8(in.params.at(1)) << 8)) == address)
                out << in.params.mid(2);
        }
        return out;
    }
    QList<QByteArray> writes1(int address) const
    {
        QList<QByteArray> out;
        for (const sim::Instruction &in : bus.received()) {
            if (in.protocol == sim::Protocol::V1 && in.code == 0x03 && !in.params.isEmpty() &&
                quint8(in.params.at(0)) == address)
                out << in.params.mid(1);
        }
        return out;
    }
};

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int sumOf(const QList<int> &values)
{
    return std::accumulate(values.cbegin(), values.cend(), 0);
}

} // namespace

TEST(SelfDiagnosisRules, VelocityBandsThresholdsAndSamples)
{
    EXPECT_DOUBLE_EQ(QvxSelfDiagnosis::velocityBand(57), 0.10000000149011612 * 57);
    EXPECT_DOUBLE_EQ(QvxSelfDiagnosis::velocityBand(600), 50);
    EXPECT_DOUBLE_EQ(QvxSelfDiagnosis::velocityBand(1200), 100);
    EXPECT_DOUBLE_EQ(QvxSelfDiagnosis::wheelBand(59), 0.10000000149011612 * 59);
    EXPECT_DOUBLE_EQ(QvxSelfDiagnosis::wheelBand(900), 50);

    QvxDeviceModel cv110 = *registry().find(12, 0);
    int low = 0;
    int high = 0;
    QvxSelfDiagnosis::wheelThresholds(&cv110, &low, &high); // CW Angle Limit: Min 0, Max 1023
    EXPECT_EQ(low, 102);
    EXPECT_EQ(high, 921);
    QvxDeviceModel bare;
    QvxSelfDiagnosis::wheelThresholds(&bare, &low, &high);
    EXPECT_EQ(low, 102);
    EXPECT_EQ(high, 922);

    const QvxControlItem *speed = cv110.itemsByName.value(QStringLiteral("Present Speed")); // Direction 1024
    const double scale = speed->scale.toDouble();
    EXPECT_DOUBLE_EQ(QvxSelfDiagnosis::velocitySample(speed, 1500), 476 * scale);
    EXPECT_DOUBLE_EQ(QvxSelfDiagnosis::velocitySample(speed, 500), 500 * scale);
    QvxControlItem velocity = *registry().find(1020, 53)->itemsByName.value(QStringLiteral("Present Velocity"));
    EXPECT_DOUBLE_EQ(QvxSelfDiagnosis::velocitySample(&velocity, -249), 249 * 0.229);
    velocity.scale = QStringLiteral("none");
    EXPECT_DOUBLE_EQ(QvxSelfDiagnosis::velocitySample(&velocity, 249), 0);

    // A sweep without movement or without duration is left out.
    EXPECT_FALSE(QvxSelfDiagnosis::sweepRpm(0, 500));
    EXPECT_FALSE(QvxSelfDiagnosis::sweepRpm(819, 0));
    ASSERT_TRUE(QvxSelfDiagnosis::sweepRpm(1024, 1000));
    EXPECT_DOUBLE_EQ(*QvxSelfDiagnosis::sweepRpm(1024, 1000), 50);
}

TEST(SelfDiagnosisResult, FreshObjectWritesTheBareHeader)
{
    QTemporaryDir dir;
    QvxSelfDiagnosis diag;
    const QString path = dir.filePath(QStringLiteral("result.bin"));
    EXPECT_TRUE(diag.saveResult(path));
    EXPECT_EQ(readFile(path), QByteArray("VER001") + QByteArray(11, '\0') + fromHex("01 01 01 00"));
}

TEST(SelfDiagnosisResult, SavingAgainReplacesTheWholeFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("result.bin"));
    QvxSelfDiagnosis diag;
    diag.dumpData = QByteArray(64, 'd');
    diag.sampleLog = QByteArray(56, 'l');
    ASSERT_TRUE(diag.saveResult(path));
    EXPECT_EQ(readFile(path).size(), 21 + 64 + 56);
    diag.sampleLog.clear();
    diag.velocityMinOk = true; // one side only: still a failed velocity
    ASSERT_TRUE(diag.saveResult(path));
    EXPECT_EQ(readFile(path), QByteArray("VER001") + QByteArray(11, '\0') + fromHex("01 01 01 00") +
                                  QByteArray(64, 'd'));
}

TEST(SelfDiagnosisResult, AFileThatCannotBeWrittenIsReportedWithTheSystemsReason)
{
    struct Case
    {
        const char *name;
        QString file;    // under the test's folder
        int sizeLimit;   // bytes a file may grow to (0: no limit)
        QString reason;
    };
    const Case cases[] = {
        {"no such folder", "missing/result.bin", 0, "No such file or directory"},
        {"a folder in its place", "folder", 0, "Filename refers to a directory"},
        {"a full disk", "result.bin", 50, "File too large"},
    };
    for (const Case &c : cases) {
        // The data of a real preparation: the dump read from the servo.
        Diagnosis d(kAr240);
        ASSERT_TRUE(d.diag.prepareTest()) << c.name;
        QTemporaryDir dir;
        QDir(dir.path()).mkdir(QStringLiteral("folder"));
        const QString path = dir.filePath(c.file);
        const QByteArray earlier = "an earlier result";
        if (c.sizeLimit > 0) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << c.name;
            file.write(earlier);
        }
        bool saved = true;
        {
            std::optional<FileSizeLimit> full;
            if (c.sizeLimit > 0)
                full.emplace(c.sizeLimit);
            saved = d.diag.saveResult(path);
        }
        EXPECT_FALSE(saved) << c.name;
        ASSERT_EQ(d.logs.size(), 1) << c.name;
        EXPECT_EQ(d.logs.first(), QStringLiteral("Self-diagnosis result not saved: %1: %2").arg(path, c.reason))
            << c.name;
        if (c.sizeLimit > 0) {
            EXPECT_EQ(readFile(path), earlier) << c.name << ": the earlier file stays as it was";
            EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"result.bin"}) << c.name << ": no leftovers";
        }
    }
}

TEST(SelfDiagnosisPrepare, ReadsTheDumpAndResetsOnEitherProtocol)
{
    struct Case
    {
        const char *name;
        ServoLayout servo;
        std::function<void(Diagnosis &)> arrange;
        bool ok;
        QString protocol; // of the record afterwards
        int baud;
    };
    constexpr int kTypeAddress = 47; // an unused byte of the CV-110 table
    const Case cases[] = {
        {"protocol 2.0", kAr240, [](Diagnosis &) {}, true, "2.0", 57600},
        {"protocol 1.0", kCv110, [](Diagnosis &) {}, true, "1.0", kBaudRateByRegister1.value(1)},
        {"protocol 1.0 reporting protocol type 1 moves to 2.0", kCv110,
         [](Diagnosis &d) {
             auto type = std::make_unique<QvxControlItem>();
             type->name = QStringLiteral("Protocol Type");
             type->address = kTypeAddress;
             type->length = 1;
             d.model.itemsByName[type->name] = type.get();
             d.ownItems.push_back(std::move(type));
             sim::Device dev = *d.bus.device(1, sim::Protocol::V1);
             dev.protocolTypeAddress = kTypeAddress;
             dev.setInitial(kTypeAddress, fromHex("01"));
             d.initialTable = dev.table;
             d.initialTable[kTypeAddress] = 2; // as the dump finds it, after the move
             d.bus.addDevice(dev);
         },
         true, "2.0", 57600},
        {"a factory baud rate of 0", kAr240,
         [](Diagnosis &d) { d.replaceItem(QStringLiteral("Baud Rate (Bus)"), [](QvxControlItem &i) { i.init = 0; }); },
         false, "2.0", 57600},
        {"a silent servo", kAr240,
         [](Diagnosis &d) {
             sim::Faults f;
             f.silent = true;
             d.bus.setFaults(1, f);
         },
         false, "2.0", 57600},
        {"a servo refusing the dump read", kAr240,
         [](Diagnosis &d) {
             const int address = d.model.dumpAddress;
             d.bus.setResponder([address](const sim::Instruction &in) -> std::optional<QByteArray> {
                 if (in.code == 0x02 && quint8(in.params[0]) + (quint8(in.params[1]) << 8) == address)
                     return sim::status2(in.id, 0x04); // Data Range Error, no data
                 return std::nullopt;
             });
         },
         false, "2.0", 57600},
    };
    for (const Case &c : cases) {
        Diagnosis d(c.servo);
        c.arrange(d);
        EXPECT_EQ(d.diag.prepareTest(), c.ok) << c.name;
        EXPECT_EQ(d.events, QStringList(c.ok ? "prepare_succeed" : "prepare_failed")) << c.name;
        EXPECT_EQ(d.record.protocolVersion, c.protocol) << c.name;
        EXPECT_EQ(d.record.baudRate, c.baud) << c.name;
        if (!c.ok) {
            EXPECT_EQ(d.bus.receivedCount(0x06), 0) << c.name << ": no factory reset";
            continue;
        }
        EXPECT_EQ(d.record.id, 1) << c.name;
        EXPECT_EQ(d.diag.dumpData, d.initialTable.left(d.model.dumpLength)) << c.name;
        EXPECT_EQ(d.bus.receivedCount(0x06), 1) << c.name;
        const bool moved = c.servo.modelNumber == kCv110.modelNumber && c.protocol == "2.0";
        EXPECT_EQ(d.writes1(kTypeAddress), moved ? QList<QByteArray>{fromHex("02")} : QList<QByteArray>()) << c.name;
        EXPECT_TRUE(d.diag.isOpen()) << c.name;
    }
}

TEST(SelfDiagnosisPrepare, ASecondPreparationStartsFromEmptyBuffers)
{
    Diagnosis d(kAr240);
    d.diag.sampleLog = "earlier samples";
    ASSERT_TRUE(d.diag.prepareTest());
    ASSERT_TRUE(d.diag.prepareTest());
    EXPECT_EQ(d.diag.dumpData.size(), 64);
    EXPECT_TRUE(d.diag.sampleLog.isEmpty());
}

TEST(SelfDiagnosisPosition, FullTestReachesEveryGoalAndWritesItsRecords)
{
    Diagnosis d(kAr240);
    ASSERT_TRUE(d.diag.prepareTest());
    d.diag.positionTest(2048, 1024, 3072);
    EXPECT_EQ(d.events, QStringList({"prepare_succeed", "positionEnd 1"}));
    EXPECT_EQ(d.goals, (QList<int>{1024, 3072, 1024, 3072, 1024, 3072, 1024, 3072, 1024, 3072, 2048}));
    ASSERT_GE(d.positionProgress.size(), 3);
    EXPECT_EQ(d.positionProgress.first(), 0);
    EXPECT_EQ(d.positionProgress.last(), 45000);
    EXPECT_EQ(sumOf(d.positionProgress.mid(1, d.positionProgress.size() - 2)), 45000);
    EXPECT_EQ(d.bus.memory(1, 116, 4), fromHex("00 08 00 00"));

    // The file: header, the dump as read, one log block per sampling cycle.
    ASSERT_FALSE(d.diag.sampleLog.isEmpty());
    EXPECT_EQ(d.diag.sampleLog.size() % 28, 0);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("result.bin"));
    ASSERT_TRUE(d.diag.saveResult(path));
    const QByteArray header = QByteArray("VER001") + fromHex("FC 03 35 00 00 40 00 78 00 1C 00 01 01 01 00");
    EXPECT_EQ(readFile(path), header + d.initialTable.left(64) + d.diag.sampleLog);
}

TEST(SelfDiagnosisPosition, ARefusedLogReadAddsNoSamples)
{
    Diagnosis d(kAr240);
    ASSERT_TRUE(d.diag.prepareTest());
    const int address = d.model.logAddress;
    const int length = d.model.logLength;
    d.bus.setResponder([address, length](const sim::Instruction &in) -> std::optional<QByteArray> {
        if (in.code == 0x02 && quint8(in.params[0]) + (quint8(in.params[1]) << 8) == address
            && quint8(in.params[2]) + (quint8(in.params[3]) << 8) == length)
            return sim::status2(in.id, 0x04); // Data Range Error, no data
        return std::nullopt;
    });
    d.diag.positionTest(2048, 1024, 3072);
    EXPECT_TRUE(d.diag.sampleLog.isEmpty()) << d.diag.sampleLog.size() << " bytes the servo never sent";
}

TEST(SelfDiagnosisPosition, ARefusedItemReadGivesNoValue)
{
    Diagnosis d(kAr240);
    ASSERT_TRUE(d.diag.prepareTest());
    const QvxControlItem *present = d.model.itemsByName.value(QStringLiteral("Present Position"));
    ASSERT_NE(present, nullptr);
    int value = 777;
    ASSERT_EQ(d.diag.readItem(present, &value), COMM_OK);
    d.bus.setFaults(1, [] {
        sim::Faults f;
        f.error = 0x04;
        f.omitData = true;
        return f;
    }());
    value = 777;
    EXPECT_EQ(d.diag.readItem(present, &value), -1) << "a sample of a position the servo never sent";
    EXPECT_EQ(value, 777);
}

TEST(SelfDiagnosisPosition, AServoThatDoesNotMoveFailsAndTheProgressStillAddsUp)
{
    Diagnosis d(kAr240, false);
    d.bus.setMemory(1, 132, fromHex("00 02 00 00")); // stuck at 512
    ASSERT_TRUE(d.diag.prepareTest());
    d.diag.positionTest(2048, 1024, 3072);
    EXPECT_EQ(d.events.last(), "positionEnd 0");
    EXPECT_EQ(sumOf(d.positionProgress.mid(1, d.positionProgress.size() - 2)), 45000);
    EXPECT_FALSE(d.diag.positionOk);
}

// From the moment `from` sees an instruction, the servo answers nothing.
sim::SimBus::Responder silentFrom(std::function<bool(const sim::Instruction &)> from)
{
    auto silent = std::make_shared<bool>(false);
    return [silent, from = std::move(from)](const sim::Instruction &in) -> std::optional<QByteArray> {
        if (*silent)
            return QByteArray();
        *silent = from(in);
        return std::nullopt; // that instruction is still carried out and answered
    };
}

bool isReadAt(const sim::Instruction &in, int address)
{
    return in.code == 0x02 && in.params.size() >= 2 && quint8(in.params[0]) + (quint8(in.params[1]) << 8) == address;
}

TEST(SelfDiagnosisLostServo, AWindowWithoutAReadingFailsTheTestWithItsReason)
{
    struct Case
    {
        const char *name;
        ServoLayout servo;
        quint8 id;
        bool velocity; // the velocity test, else the position test
        std::function<void(Diagnosis &)> lose;
        QString log;
        bool takesWrites; // the finish can still restore it
    };
    const Case cases[] = {
        {"silent from the start of the position test", kAr240, 1, false,
         [](Diagnosis &d) {
             sim::Faults f;
             f.silent = true;
             d.bus.setFaults(1, f);
             d.diag.setTimeout(50); // nothing can come late from a silent servo
         },
         "Position test failed: no reading from ID 1 in a window of 1000 ms; the last read ended with result -3001",
         false},
        {"silent after some rounds", kAr240, 1, false,
         [](Diagnosis &d) {
             auto reads = std::make_shared<int>(0);
             d.bus.setResponder(silentFrom([reads](const sim::Instruction &in) {
                 return isReadAt(in, 132) && ++*reads >= 60;
             }));
         },
         "Position test failed: no reading from ID 1 in a window of ", false},
        {"refusing every position read", kAr240, 1, false,
         [](Diagnosis &d) {
             d.bus.setResponder([](const sim::Instruction &in) -> std::optional<QByteArray> {
                 if (isReadAt(in, 132))
                     return sim::status2(in.id, 0x07); // no data
                 return std::nullopt;
             });
         },
         "Position test failed: no reading from ID 1 in a window of 1000 ms; the read was refused", true},
        // The protocol 1.0 factory reset brings the servo back at ID 1; this
        // one stays at its ID, so the tests talk to nobody.
        {"protocol 1.0: no servo at ID 1 after the factory reset", kCv110, 5, false,
         [](Diagnosis &d) { d.diag.setTimeout(50); },
         "Position test failed: no reading from ID 1 in a window of 1000 ms; the last read ended with result -3001",
         false},
        // Silent from the reverse drive on, after the forward run's samples
        // that alone would pass.
        {"silent during the velocity test", kAr240, 1, true,
         [](Diagnosis &d) {
             d.bus.setResponder(silentFrom([](const sim::Instruction &in) {
                 return in.code == 0x03 && in.params.startsWith(sim::fromHex("64 00 8B FC"));
             }));
         },
         "Velocity test failed: no reading from ID 1 in a window of ", false},
    };
    for (const Case &c : cases) {
        Diagnosis d(c.servo, true, c.id);
        ASSERT_TRUE(d.diag.prepareTest()) << c.name;
        c.lose(d);
        if (c.velocity)
            d.diag.velocityTest();
        else
            d.diag.positionTest(2048, 1024, 3072);
        EXPECT_EQ(d.events.last(), c.velocity ? "velocityEnd 0 0" : "positionEnd 0") << c.name;
        ASSERT_EQ(d.logs.filter(QStringLiteral("test failed")).size(), 1) << c.name << ": " << d.logs.join('\n').toStdString();
        EXPECT_TRUE(d.logs.filter(QStringLiteral("test failed")).first().startsWith(c.log))
            << c.name << ": " << d.logs.filter(QStringLiteral("test failed")).first().toStdString();

        // The result file says failed, and so does the finish of a servo that takes nothing.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("result.bin"));
        ASSERT_TRUE(d.diag.saveResult(path)) << c.name;
        EXPECT_EQ(readFile(path).mid(19, 2), c.velocity ? fromHex("01 00") : fromHex("00 00"))
            << c.name << ": the position and velocity results";
        d.diag.finishTest(true);
        EXPECT_EQ(d.events.last(), c.takesWrites ? "finish_succeed" : "finish_failed") << c.name;
        EXPECT_EQ(d.logs.filter(QStringLiteral("Finish failed: ID 1 did not take")).size(), c.takesWrites ? 0 : 1)
            << c.name;
        EXPECT_FALSE(d.diag.isOpen()) << c.name;
    }
}

TEST(SelfDiagnosisSteps, AFinishTheServoRefusesFails)
{
    // The servo answers the step with error 7 (Access Error) and does nothing.
    struct Case
    {
        const char *name;
        bool reset;
        std::function<bool(const sim::Instruction &)> refused;
    };
    const Case cases[] = {
        {"the torque-off refused", false,
         [](const sim::Instruction &in) { return in.code == 0x03 && in.params.startsWith(fromHex("40 00")); }},
        {"the factory reset refused", true, [](const sim::Instruction &in) { return in.code == 0x06; }},
    };
    for (const Case &c : cases) {
        Diagnosis d(kAr240);
        ASSERT_TRUE(d.diag.prepareTest()) << c.name;
        d.bus.setResponder([refused = c.refused](const sim::Instruction &in) -> std::optional<QByteArray> {
            if (refused(in))
                return sim::status2(1, 0x07);
            return std::nullopt;
        });
        d.diag.finishTest(c.reset);
        EXPECT_EQ(d.events.last(), "finish_failed") << c.name;
        EXPECT_EQ(d.logs.filter(QStringLiteral("Finish failed: ID 1 did not take")).size(), 1) << c.name;
    }
}

TEST(SelfDiagnosisVelocity, PwmRunPassesTheBand)
{
    Diagnosis d(kAr240);
    ASSERT_TRUE(d.diag.prepareTest());
    d.diag.velocityTest();
    EXPECT_EQ(d.events.last(), "velocityEnd 1 1");
    EXPECT_EQ(d.writes2(11), QList<QByteArray>({fromHex("10")})); // PWM mode
    EXPECT_EQ(d.writes2(100), (QList<QByteArray>{fromHex("00 00"), fromHex("75 03"), fromHex("00 00"),
                                                  fromHex("8B FC"), fromHex("00 00")}));
    EXPECT_NEAR(d.diag.velocityResult, 249 * 0.229, 1e-9);
    EXPECT_EQ(d.velocityProgress.first(), 0);
    EXPECT_EQ(d.velocityProgress.last(), 23000);
    EXPECT_EQ(d.writes2(64).last(), fromHex("00")); // torque off at the end
}

TEST(SelfDiagnosisVelocity, WheelComesBeforeVelocityAndCountsSweeps)
{
    Diagnosis d(kCv110);
    d.model.modes.append({QStringLiteral("Velocity"), QStringLiteral("addr6=0"), QString()});
    ASSERT_TRUE(d.diag.prepareTest());
    d.bus.clearReceived();
    d.diag.velocityTest();
    // Wheel mode: both angle limits 0; then the wheel drive.
    EXPECT_EQ(d.writes1(6), QList<QByteArray>({fromHex("00 00")}));
    EXPECT_EQ(d.writes1(8), QList<QByteArray>({fromHex("00 00")}));
    EXPECT_EQ(d.writes1(32), (QList<QByteArray>{fromHex("00 00"), fromHex("FF 03"), fromHex("00 00"),
                                                 fromHex("FF 07"), fromHex("00 00")}));
    EXPECT_FALSE(d.velocities.isEmpty()) << "sweeps were timed";
    EXPECT_EQ(d.diag.velocityResult, 3.0 * d.diag.velocityCount);
    EXPECT_TRUE(d.events.last().startsWith("velocityEnd")) << d.events.join(',').toStdString();
}

TEST(SelfDiagnosisVelocity, NoSampleGivesZeroAndFailsBothSides)
{
    Diagnosis d(kAr240);
    d.model.itemsByName.remove(QStringLiteral("Present Velocity"));
    ASSERT_TRUE(d.diag.prepareTest());
    d.diag.velocityTest();
    EXPECT_EQ(d.events.last(), "velocityEnd 0 0");
    EXPECT_EQ(d.diag.velocityResult, 0);
    EXPECT_TRUE(d.velocities.isEmpty());
}

TEST(SelfDiagnosisSteps, LedCalibrationMoveAndFinish)
{
    Diagnosis d(kAr240);
    ASSERT_TRUE(d.diag.prepareTest());
    d.diag.startLedTest();
    ASSERT_TRUE(QTest::qWaitFor([&] { return d.writes2(65).size() >= 3; }, 5000));
    d.diag.stopLedTest();
    const QList<QByteArray> led = d.writes2(65);
    EXPECT_EQ(led.mid(0, 3), (QList<QByteArray>{fromHex("01"), fromHex("00"), fromHex("01")}));
    EXPECT_EQ(led.last(), fromHex("00"));

    d.diag.startCalibrationTest(); // to the lower limit, then the middle
    EXPECT_EQ(d.bus.memory(1, 116, 4), fromHex("00 00 00 00"));
    EXPECT_EQ(d.bus.memory(1, 64, 1), fromHex("01"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return d.bus.memory(1, 116, 4) == fromHex("FF 07 00 00"); }, 5000));

    const int resets = d.bus.receivedCount(0x06);
    d.diag.finishTest(true);
    EXPECT_EQ(d.events.last(), "finish_succeed");
    EXPECT_EQ(d.bus.receivedCount(0x06), resets + 1);
    EXPECT_EQ(d.bus.memory(1, 64, 1), fromHex("00"));
    EXPECT_FALSE(d.diag.isOpen());
}

TEST(SelfDiagnosisMetaObject, BuiltAndDrivenByName)
{
    const QMetaObject &meta = QvxSelfDiagnosis::staticMetaObject;
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        methods << QString::fromLatin1(meta.method(i).methodSignature());
    EXPECT_EQ(methods, QStringList({"prepare_failed()", "prepare_succeed()", "finish_failed()", "finish_succeed()",
                                    "positionGoal(int)", "positionData(int)", "velocityData(double)",
                                    "positionProgress(int)", "velocityProgress(int)", "positionEnd(bool)",
                                    "velocityEnd(bool,bool)", "prepareTest()", "finishTest(bool)", "startLedTest()",
                                    "stopLedTest()", "startCalibrationTest()", "positionTest(int,int,int)",
                                    "velocityTest()", "saveResult(QString)"}));

    std::unique_ptr<QObject> made(meta.newInstance());
    ASSERT_TRUE(made);
    bool prepared = true;
    ASSERT_TRUE(QMetaObject::invokeMethod(made.get(), "prepareTest", Q_RETURN_ARG(bool, prepared)));
    EXPECT_FALSE(prepared) << "no device set";
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("result.bin"));
    bool saved = false;
    ASSERT_TRUE(QMetaObject::invokeMethod(made.get(), "saveResult", Q_RETURN_ARG(bool, saved), Q_ARG(QString, path)));
    EXPECT_TRUE(saved);
    EXPECT_EQ(readFile(path).size(), QvxSelfDiagnosis::kResultHeaderSize);
}

namespace {

// A Modbus servo whose register i holds i in the high byte and i + 0x40 in
// the low byte, so that every table byte tells where it came from.
struct ModbusDiagnosis
{
    sim::ModbusServo servo{1, 300};
    QvxDeviceModel model;
    QvxSelfDiagnosis::DeviceRecord record;
    QvxSelfDiagnosis diag;
    QStringList events;

    ModbusDiagnosis()
    {
        model = *registry().find(2200, 0);
        for (int i = 0; i < 300; ++i)
            servo.setRegister(i, static_cast<quint16>((i << 8) | ((i + 0x40) & 0xFF)));
        record.portName = servo.portName();
        record.protocolVersion = QStringLiteral("MODBUS");
        record.deviceKind = QStringLiteral("QuorvexM");
        record.baudRate = 57600;
        record.id = 1;
        record.protocolTypeAddress = 8;
        diag.timeScale = kTimeScale;
        diag.setDevice(&record, &model, QString());
        QObject::connect(&diag, &QvxSelfDiagnosis::prepare_succeed, [this] { events << "prepare_succeed"; });
        QObject::connect(&diag, &QvxSelfDiagnosis::prepare_failed, [this] { events << "prepare_failed"; });
        QObject::connect(&diag, &QvxSelfDiagnosis::finish_succeed, [this] { events << "finish_succeed"; });
        QObject::connect(&diag, &QvxSelfDiagnosis::finish_failed, [this] { events << "finish_failed"; });
    }

    static QByteArray tableBytes(int address, int length)
    {
        QByteArray out;
        for (int a = address; a < address + length; ++a) {
            const int reg = a / 2;
            out += static_cast<char>(a % 2 == 0 ? (reg + 0x40) & 0xFF : reg & 0xFF);
        }
        return out;
    }

    // (first register, count) of every read, in order.
    QList<QPair<int, int>> reads() const
    {
        QList<QPair<int, int>> out;
        for (const sim::ModbusRequest &r : servo.requests()) {
            if (r.function == 3)
                out << qMakePair(r.start, r.count);
        }
        return out;
    }
    QList<QPair<int, int>> writes() const
    {
        QList<QPair<int, int>> out;
        for (const sim::ModbusRequest &r : servo.requests()) {
            if (r.function == 6 || r.function == 16)
                out << qMakePair(r.start, r.values.isEmpty() ? -1 : int(r.values.first()));
        }
        return out;
    }
};

} // namespace

TEST(SelfDiagnosisModbus, PrepareReadsTheDumpInWholeBlocksAndResets)
{
    struct Case
    {
        const char *name;
        int address;
        int length;
        QList<QPair<int, int>> reads;
    };
    const Case cases[] = {
        {"the model's dump", 0, 84, {{0, 42}}},
        {"an odd byte count", 10, 83, {{5, 42}}},
        {"an odd address", 11, 4, {{5, 3}}},
        {"more than 125 registers", 0, 300, {{0, 125}, {125, 25}}},
    };
    for (const Case &c : cases) {
        ModbusDiagnosis d;
        d.model.dumpAddress = static_cast<quint16>(c.address);
        d.model.dumpLength = static_cast<quint16>(c.length);
        EXPECT_TRUE(d.diag.prepareTest()) << c.name;
        EXPECT_EQ(d.events, QStringList("prepare_succeed")) << c.name;
        EXPECT_EQ(d.diag.dumpData, ModbusDiagnosis::tableBytes(c.address, c.length)) << c.name;
        EXPECT_EQ(d.reads(), c.reads) << c.name;
        // The reset command: 2 to the model's reset register.
        EXPECT_EQ(d.writes(), (QList<QPair<int, int>>{{d.model.modbusResetRegister / 2, 2}})) << c.name;
    }
}

TEST(SelfDiagnosisModbus, AShortAnswerIsNotTakenForTheBlock)
{
    ModbusDiagnosis d;
    sim::ModbusFaults faults;
    faults.valueCount = 10;
    d.servo.setFaults(faults);
    EXPECT_FALSE(d.diag.prepareTest());
    EXPECT_EQ(d.events, QStringList("prepare_failed"));
    EXPECT_EQ(d.reads(), (QList<QPair<int, int>>{{0, 42}}));
    EXPECT_TRUE(d.diag.dumpData.isEmpty());
    EXPECT_TRUE(d.writes().isEmpty()) << "no reset after a failed dump";
}

TEST(SelfDiagnosisModbus, AnExceptionOnAnyChunkFailsTheBlock)
{
    // A dump of 600 bytes is read as 125, 125 and 50 registers: an exception
    // answer to the first or the second request fails the preparation, with
    // nothing kept of the bytes before it, nothing asked after it and no reset.
    const QList<QPair<int, int>> requests{{0, 125}, {125, 125}};
    for (const int refused : {0, 1}) {
        SCOPED_TRACE(refused);
        ModbusDiagnosis d;
        d.model.dumpAddress = 0;
        d.model.dumpLength = 600;
        sim::ModbusFaults faults;
        faults.refuseRequest = refused;
        d.servo.setFaults(faults);
        EXPECT_FALSE(d.diag.prepareTest());
        EXPECT_EQ(d.events, QStringList("prepare_failed"));
        EXPECT_EQ(d.reads(), requests.mid(0, refused + 1));
        EXPECT_TRUE(d.diag.dumpData.isEmpty());
        EXPECT_TRUE(d.writes().isEmpty()) << "no reset after a failed dump";
    }
}

TEST(SelfDiagnosisModbus, TestsSampleTheLogBlockAndFinishRestoresTheServo)
{
    ModbusDiagnosis d;
    ASSERT_TRUE(d.diag.prepareTest());
    d.diag.positionTest(0, 100, 200);
    ASSERT_FALSE(d.diag.sampleLog.isEmpty());
    EXPECT_EQ(d.diag.sampleLog.size() % 18, 0);
    EXPECT_EQ(d.diag.sampleLog.left(18), ModbusDiagnosis::tableBytes(284, 18));
    EXPECT_EQ(d.servo.reg(128), 1) << "torque on through the Modbus link";

    d.servo.clearRequests();
    d.diag.finishTest(true);
    EXPECT_EQ(d.events.last(), "finish_succeed");
    // The LED off (register 129), then the reset command.
    EXPECT_EQ(d.writes().mid(0, 2),
              (QList<QPair<int, int>>{{129, 0}, {d.model.modbusResetRegister / 2, 2}}));
    EXPECT_EQ(d.servo.reg(128), 0) << "torque off";
}

TEST(SelfDiagnosisModbus, AFinishWhoseTorqueOffOrResetTheServoRefusesFails)
{
    // The step refused: the last write of the finish to its register, which a
    // finish the servo takes shows.
    struct Case
    {
        const char *name;
        bool reset;
        int (*registerOf)(const QvxDeviceModel &);
    };
    const Case cases[] = {
        {"the torque-off refused", false, [](const QvxDeviceModel &) { return 128; }},
        {"the reset refused", true, [](const QvxDeviceModel &m) { return int(m.modbusResetRegister / 2); }},
    };
    for (const Case &c : cases) {
        qsizetype refused = -1;
        {
            ModbusDiagnosis d;
            ASSERT_TRUE(d.diag.prepareTest()) << c.name;
            d.servo.clearRequests();
            d.diag.finishTest(c.reset);
            ASSERT_EQ(d.events.last(), "finish_succeed") << c.name;
            const QList<sim::ModbusRequest> requests = d.servo.requests();
            for (qsizetype i = 0; i < requests.size(); ++i)
                if ((requests.at(i).function == 6 || requests.at(i).function == 16)
                    && requests.at(i).start == c.registerOf(d.model))
                    refused = i;
            ASSERT_GE(refused, 0) << c.name << ": the finish never wrote the register";
        }
        ModbusDiagnosis d;
        ASSERT_TRUE(d.diag.prepareTest()) << c.name;
        sim::ModbusFaults faults;
        faults.refuseRequest = static_cast<int>(refused);
        d.servo.setFaults(faults);
        d.diag.finishTest(c.reset);
        EXPECT_EQ(d.events.last(), "finish_failed") << c.name;
    }
}

TEST(SelfDiagnosisModbus, AModelWithoutAResetRegisterFinishesWithoutAReset)
{
    ModbusDiagnosis d;
    d.model.modbusResetRegister = 0;
    ASSERT_TRUE(d.diag.prepareTest());
    d.servo.clearRequests();
    d.diag.finishTest(true);
    EXPECT_EQ(d.events.last(), "finish_succeed");
    EXPECT_EQ(d.servo.reg(128), 0) << "torque off";
}

TEST(SelfDiagnosisModbus, AServoSpeakingModbusIsMovedToProtocol2First)
{
    ModbusDiagnosis d;
    d.record.deviceKind = QStringLiteral("Quorvex2");
    EXPECT_FALSE(d.diag.prepareTest()) << "no protocol 2.0 servo answers on this line";
    EXPECT_TRUE(d.diag.switchedFromModbus);
    EXPECT_EQ(d.record.protocolVersion, "2.0");
    // Protocol Type, the low byte of register 4, becomes 2.
    EXPECT_EQ(d.writes(), (QList<QPair<int, int>>{{4, 0x0402}}));
}
