// Self-calibration against the simulated bus: the calibration table, and the
// calibration program's dialogue (start, steps, completion, cancel, silence)
// with the port left open or closed.
#include "RecoveryBench.h"

#include "tests/support/QtPrinters.h"

#include <QTest>

#include <map>
#include <set>

TEST(CalibrationTable, TwentyFiveModelsOverTwoProgramsByTheCalibrationRule)
{
    ASSERT_EQ(kCalibrationImages.size(), 25u);
    std::map<QString, int> byImage;
    std::map<QString, int> byPrefix;
    std::set<QString> names;
    for (const CalibrationImageRow &row : kCalibrationImages) {
        const QString name = QString::fromLatin1(row.modelName);
        const QString path = QString::fromLatin1(row.imagePath);
        EXPECT_TRUE(names.insert(name).second) << qPrintable(name);
        EXPECT_TRUE(path.startsWith(":/fw/assets/fw/calibration/") && path.endsWith(".bin")) << qPrintable(path);
        EXPECT_FALSE(resource(path).isEmpty()) << qPrintable(path);
        EXPECT_EQ(FirmwareRecovery::calibrationImage(name), path);
        ++byImage[path];
        ++byPrefix[QvxFirmware::calibrationDeviceType(name) == 1 ? name.left(2) : QStringLiteral("other")];
    }
    ASSERT_EQ(byImage.size(), 2u);
    const QString first = QString::fromLatin1(kCalibrationImages.front().imagePath);
    EXPECT_EQ(byImage[first], 22);
    EXPECT_EQ(byPrefix, (std::map<QString, int>{{"VH", 6}, {"VK", 8}, {"VL", 4}, {"VN", 4}, {"other", 3}}));
    for (const CalibrationImageRow &row : kCalibrationImages) {
        const bool seriesV = QvxFirmware::calibrationDeviceType(QString::fromLatin1(row.modelName)) == 1;
        EXPECT_EQ(QString::fromLatin1(row.imagePath) == first, seriesV) << row.modelName;
    }
    EXPECT_NE(resource(first), resource(QString::fromLatin1(kCalibrationImages.back().imagePath)));
    EXPECT_TRUE(FirmwareRecovery::calibrationImage("vh-1220").isEmpty()) << "names compare exactly";
    EXPECT_TRUE(FirmwareRecovery::calibrationImage("VH-1220 ").isEmpty());
}

TEST(Calibration, RunsTheProgramStepByStepUntilComplete)
{
    struct Case
    {
        const char *model;
        int dialect;
        bool shortFormsOnly;
        QByteArray load;
        QByteArray start;
    };
    const Case cases[] = {
        {"VN-1640", 1, false, "\rL 8009000\r", "G 8009000\r"},
        {"SR-240", 2, false, "\rLOAD 8009000\r", "GO 8009000\r"},
        // A bootloader that knows only the short forms gets them after the long ones.
        {"SR-480", 2, true, "\rLOAD 8009000\rL 8009000\r", "GO 8009000\rG 8009000\r"},
    };
    for (const Case &c : cases) {
        sim::BootloaderSetup setup{c.dialect, false, {}};
        setup.faults.shortFormsOnly = c.shortFormsOnly;
        RecoveryBench b(setup);
        EXPECT_TRUE(b.startProgram(c.model)) << c.model << "\n" << qPrintable(b.logs.join('\n'));
        EXPECT_EQ(b.successes, 1) << c.model;
        EXPECT_EQ(b.entries, 1) << c.model;
        EXPECT_TRUE(b.failures.isEmpty()) << c.model;
        EXPECT_TRUE(b.fw.isOpen()) << c.model << ": the program runs on";
        EXPECT_FALSE(b.fw.port_held) << c.model;
        EXPECT_EQ(b.fw.deviceType, QvxFirmware::calibrationDeviceType(c.model)) << c.model;
        EXPECT_EQ(b.bus.bootImage(), resource(FirmwareRecovery::calibrationImage(c.model))) << c.model;
        const QByteArray sent = b.arrived();
        EXPECT_TRUE(sent.contains(c.load)) << c.model << ": " << sent.left(80).toStdString();
        EXPECT_TRUE(sent.endsWith(c.start)) << c.model;
        // The program's answer follows the echo of the start command.
        EXPECT_EQ(b.logs.value(b.logs.size() - 2), "[1] Turn OK !!!") << c.model;
        EXPECT_TRUE(b.logs.constLast().endsWith(" 8009000 Step 1: TURN the horn to the mark, then N"))
            << c.model << ": " << qPrintable(b.logs.constLast());

        EXPECT_TRUE(b.nextByName()) << c.model;
        EXPECT_EQ(b.logs.mid(b.logs.size() - 2), (QStringList{"[1] Turn OK !!!", "[1] N Step 2: TURN the horn back, then N"}))
            << c.model;
        EXPECT_TRUE(b.fw.isOpen()) << c.model;
        EXPECT_TRUE(b.nextByName()) << c.model;
        EXPECT_EQ(b.logs.mid(b.logs.size() - 2), (QStringList{"[1] Complete OK !!!", "[1] N Calibration COMPLETE"}))
            << c.model;
        EXPECT_FALSE(b.fw.isOpen()) << c.model << ": the program is done";
        EXPECT_FALSE(b.fw.port_held) << c.model;
        EXPECT_EQ(b.nextSucceeded, 2) << c.model;
        EXPECT_TRUE(b.bus.waitForApplication(5000)) << c.model;

        // Once done, a next step sends nothing and fails.
        const qsizetype before = b.arrived().size();
        EXPECT_FALSE(b.nextByName()) << c.model;
        EXPECT_EQ(b.nextFailed, 1) << c.model;
        EXPECT_EQ(b.arrived().size(), before) << c.model;
        EXPECT_EQ(b.successes, 1) << c.model;
    }
}

TEST(Calibration, CancelEndsTheProgramAndClosesThePortWithoutSignals)
{
    RecoveryBench b(sim::BootloaderSetup{2, false, {}});
    ASSERT_TRUE(b.startProgram("SR-120"));
    b.logs.clear();
    b.cancelByName();
    EXPECT_EQ(b.logs, (QStringList{"[1] Cancel OK !!!", "[1] C CANCEL"}));
    EXPECT_FALSE(b.fw.isOpen());
    EXPECT_FALSE(b.fw.port_held);
    EXPECT_TRUE(b.bus.waitForApplication(5000));
    EXPECT_EQ(b.nextSucceeded + b.nextFailed, 0);
    EXPECT_EQ(b.successes, 1);
    EXPECT_TRUE(b.failures.isEmpty());

    // On the closed port: nothing sent, nothing said.
    const qsizetype before = b.arrived().size();
    b.logs.clear();
    b.cancelByName();
    EXPECT_TRUE(b.logs.isEmpty());
    EXPECT_EQ(b.arrived().size(), before);
    EXPECT_EQ(b.nextSucceeded + b.nextFailed, 0);
}

TEST(Calibration, AnswerWithTurnAndCompleteIsATurnAndSilenceClosesThePort)
{
    sim::BootloaderSetup setup{1, false, {}};
    // The second answer ends the program although it reads as a turn.
    setup.calibrationAnswers = {"TURN", "TURN and COMPLETE"};
    RecoveryBench b(setup);
    ASSERT_TRUE(b.startProgram("VK-2024"));
    EXPECT_TRUE(b.nextByName());
    EXPECT_EQ(b.logs.mid(b.logs.size() - 2), (QStringList{"[1] Turn OK !!!", "[1] N TURN and COMPLETE"}));
    EXPECT_TRUE(b.fw.isOpen()) << "a turn leaves the port open";
    EXPECT_EQ(b.nextSucceeded, 1);

    // The program has ended: a cancel is not answered.
    b.logs.clear();
    b.cancelByName();
    EXPECT_EQ(b.logs.value(0), "[E] C command NOT Ready");
    EXPECT_FALSE(b.fw.isOpen());
    EXPECT_FALSE(b.fw.port_held);
}

TEST(Calibration, StepWithoutAnswerFailsAndClosesThePort)
{
    sim::BootloaderSetup setup{1, false, {}};
    setup.calibrationAnswers = {"TURN", ""};
    RecoveryBench b(setup);
    ASSERT_TRUE(b.startProgram("VL-0308"));
    b.logs.clear();
    EXPECT_FALSE(b.nextByName());
    EXPECT_EQ(b.logs, (QStringList{"[E] N command NOT Ready", "[E] N\r\n"}));
    EXPECT_EQ(b.nextFailed, 1);
    EXPECT_EQ(b.nextSucceeded, 0);
    EXPECT_FALSE(b.fw.isOpen());
    EXPECT_FALSE(b.fw.port_held);
}

TEST(Calibration, FailuresEndWithTheirTextsAndThePortClosed)
{
    // A program that never answers its start.
    {
        sim::BootloaderSetup setup{1, false, {}};
        setup.calibrationAnswers = {};
        RecoveryBench b(setup);
        EXPECT_FALSE(b.startProgram("VH-0610"));
        EXPECT_EQ(b.failures, QStringList{"Bootloader Restart Failed"});
        EXPECT_TRUE(b.logs.contains("[E] G command NOT Ready")) << qPrintable(b.logs.join('\n'));
        EXPECT_FALSE(b.fw.isOpen());
        EXPECT_FALSE(b.fw.port_held);
        EXPECT_EQ(b.successes, 0);
        // The failure exit's go commands went out last.
        EXPECT_TRUE(QTest::qWaitFor([&] { return b.arrived().endsWith("GO 8009000\rG 8009000\r"); }, 3000));
    }
    // A load the bootloader refuses.
    {
        sim::BootloaderSetup setup{2, false, {}};
        setup.faults.rejectLoad = true;
        RecoveryBench b(setup);
        EXPECT_FALSE(b.startProgram("SR-120"));
        EXPECT_EQ(b.failures, QStringList{"Bootloader Error"});
        EXPECT_FALSE(b.fw.isOpen());
    }
    // A model without a calibration program, on a port left open before.
    {
        RecoveryBench b;
        ASSERT_TRUE(b.fw.open(b.bus.portName(), 57600));
        EXPECT_FALSE(b.calibrateByName("AR-240"));
        EXPECT_EQ(b.failures, QStringList{"Firmware Not Found"});
        EXPECT_FALSE(b.fw.isOpen());
        EXPECT_FALSE(b.fw.port_held);
        EXPECT_EQ(b.entries, 0);
    }
    // A device nobody switches on: the entry's deadline ends the wait.
    {
        RecoveryBench b(sim::BootloaderSetup{1, false, {}});
        b.fw.armEntryDeadline(1500);
        EXPECT_FALSE(b.calibrateByName("VH-0610"));
        EXPECT_EQ(b.failures, QStringList{"Bootloader Entry Failed"});
        EXPECT_FALSE(b.fw.isOpen());
        EXPECT_FALSE(b.fw.port_held);
    }
}

TEST(Calibration, StartsAfterAnEarlierCancelledEntry)
{
    RecoveryBench b(sim::BootloaderSetup{1, false, {}});
    b.fw.cancelRequested = true; // an earlier entry ended by Ctrl+C or its deadline
    EXPECT_TRUE(b.startProgram("VH-2440"));
    EXPECT_FALSE(b.fw.cancelRequested);
    b.cancelByName();
}
