// The console's "update" command as the user sees it, on a terminal and with
// piped input, against servos run by zephlet-sim that restart into their
// simulated bootloader; the simulator's record shows what reached them.
//
// The QX-20 (model 1500) is described in the working folder's "xml" folder;
// its release 46 comes as a replacement image in the data folder's
// "externalBIN" (the test runs with a home folder of its own). The AR-240 is
// updated with the program's own image.
#include "ConsoleTexts.h"
#include "PtySession.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimProgram.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

namespace {

const QByteArray kQuestion = "Do you want to proceed with firmware update? [Y/n]: ";
const QByteArray kComplete = "Firmware update [##############################] 100%\r\n"
                             "[Success] Firmware update complete\r\n";
const QByteArray kNotRequired = "[INFO] No firmware update is required. The installed firmware is the same as or "
                                "newer than the latest available version.";

const QByteArray kDescription =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Device Name=\"QX-20\" ModelNumber=\"1500\" Type=\"Quorvex2\" MinimumVersion=\"0\"><ControlItems>"
    "<Item Address=\"0\" Memory=\"1\" Name=\"Model Number\" RW=\"1\" Length=\"2\" UI=\"0\"/>"
    "<Item Address=\"6\" Memory=\"1\" Name=\"Firmware Version\" RW=\"1\" Length=\"1\" UI=\"0\"/>"
    "<Item Address=\"7\" Memory=\"1\" Name=\"ID\" RW=\"3\" Length=\"1\" Min=\"0\" Max=\"252\" Init=\"1\" UI=\"1\"/>"
    "<Item Address=\"8\" Memory=\"1\" Name=\"Baud Rate (Bus)\" RW=\"3\" Length=\"1\" Min=\"0\" Max=\"7\" Init=\"3\" UI=\"3\"/>"
    "<Item Address=\"13\" Memory=\"1\" Name=\"Protocol Type\" RW=\"3\" Length=\"1\" Min=\"1\" Max=\"2\" Init=\"2\" UI=\"3\"/>"
    "<Item Address=\"64\" Memory=\"2\" Name=\"Torque Enable\" RW=\"3\" Length=\"1\" Min=\"0\" Max=\"1\" UI=\"3\"/>"
    "</ControlItems><ReleaseNotes MinimumVersion=\"0\">"
    "<Release Version=\"45\" FileName=\"QX-20_45\" Enable=\"1\" Encrypt=\"1\"/>"
    "<Release Version=\"46\" FileName=\"QX-20_46\" Enable=\"1\" Encrypt=\"1\"/>"
    "</ReleaseNotes></Device>\n";

// A QX-20 at `firmware` on `id`, at 1 Mbit/s, protocol 2.0, with a console bootloader; `more` adds keys.
QString qx20(int id, int firmware, const QString &more = QString())
{
    return QStringLiteral("id=%1,model=1500,fw=%2,mem=8:03,mem=13:02,mem=64:01,boot=2%3").arg(id).arg(firmware).arg(more);
}

QString console()
{
    return qEnvironmentVariable("ZEPHLET_CLI");
}

// The working folder with the QX-20's description and the replacement image,
// for the programs started while it lives.
class UpdateFolders
{
public:
    UpdateFolders()
        : previous_(QDir::currentPath())
    {
        QDir(work_.path()).mkdir(QStringLiteral("xml"));
        write(work_.filePath(QStringLiteral("xml/qx-20.xml")), kDescription);
        const QString images = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
                               QStringLiteral("/Quorvex Zephlet2/externalBIN");
        EXPECT_TRUE(images.startsWith(QDir::homePath())) << "the test has a home folder of its own";
        QDir().mkpath(images);
        write(images + QStringLiteral("/QX-20_46.ecp"),
              "ZEPHLET FIRMWARE model=QX-20 version=46\n" + QByteArray(1000, '\x5A'));
        QDir::setCurrent(work_.path());
    }
    ~UpdateFolders() { QDir::setCurrent(previous_); }

private:
    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
        file.write(bytes);
    }

    QString previous_;
    QTemporaryDir work_;
};

// The console on a terminal with the bus open at 1 Mbit/s; the reply slack
// set, as every update leaves its 5000 ms behind.
std::unique_ptr<PtySession> startOnBus(const SimProgram &bus)
{
    auto session = std::make_unique<PtySession>(console(), QStringList{});
    EXPECT_TRUE(session->started());
    EXPECT_TRUE(session->waitFor(">>> ")) << session->output().toStdString();
    session->type("timeout " + QByteArray::number(sim::kReplySlackMs) + "\r");
    EXPECT_TRUE(session->waitFor("[Success] set timeout")) << session->output().toStdString();
    session->type("open " + bus.portName().toUtf8() + " 1000000\r");
    EXPECT_TRUE(session->waitFor("[Success] Port opened successfully\r\n")) << session->output().toStdString();
    return session;
}

#define EXPECT_SHOWS(session, text) EXPECT_TRUE((session)->waitFor(text)) << (session)->output().toStdString()

// An update takes many seconds (the board probe, the procedure's long waits):
// what comes after its start gets more patience.
constexpr int kUpdatePatienceMs = 120000;
#define EXPECT_SHOWS_AFTER_UPDATE(session, text)                                                                      \
    EXPECT_TRUE((session)->waitFor(text, kUpdatePatienceMs)) << (session)->output().toStdString()

QByteArray promptOf(const SimProgram &bus)
{
    return bus.portName().toUtf8() + ", 1Mbps > ";
}

// What the progress line drew between the two texts: "\r" and the line,
// again and again, never a line end, the number never going back.
void expectProgressInPlace(const QByteArray &output, const QByteArray &from, const QByteArray &to)
{
    const qsizetype start = output.indexOf(from);
    ASSERT_GE(start, 0) << output.toStdString();
    const qsizetype end = output.indexOf(to, start);
    ASSERT_GT(end, start) << output.toStdString();
    const QByteArray drawn = output.mid(start + from.size(), end - start - from.size());
    static const QRegularExpression line(QStringLiteral("^\\rFirmware update \\[(#*)(-*)\\] +(\\d+)%"));
    QString rest = QString::fromUtf8(drawn);
    int last = -1;
    int draws = 0;
    while (!rest.isEmpty()) {
        const QRegularExpressionMatch match = line.match(rest);
        ASSERT_TRUE(match.hasMatch()) << "not a progress line: " << rest.toStdString();
        const int percent = match.captured(3).toInt();
        EXPECT_EQ(match.captured(1).size() + match.captured(2).size(), 30);
        EXPECT_EQ(match.captured(1).size(), percent * 30 / 100);
        EXPECT_GT(percent, last) << "drawn again only when the number changes";
        last = percent;
        ++draws;
        rest = rest.mid(match.capturedLength());
    }
    EXPECT_EQ(last, 100);
    EXPECT_GT(draws, 2) << drawn.toStdString();
}

} // namespace

TEST(UpdateOnTerminal, UpdatesWithTheReplacementImageAndWithTheProgramsOwn)
{
    ASSERT_FALSE(console().isEmpty()) << "ZEPHLET_CLI names the program";
    UpdateFolders folders;
    SimProgram bus({qx20(1, 45), QStringLiteral("id=2,model=1020,fw=53,boot=packets")});
    auto session = startOnBus(bus);
    const QByteArray prompt = promptOf(bus);

    session->type("update 1\r");
    EXPECT_SHOWS(session, "update 1\r\n[ID:001] QX-20, v45\r\ncurrent : 45 ==> latest : 46\r\n" + kQuestion);
    session->type("\r"); // an empty answer is yes
    EXPECT_SHOWS(session, "\r\nStarting firmware update...\r\n");
    EXPECT_SHOWS_AFTER_UPDATE(session, kComplete + prompt);
    EXPECT_TRUE(session->output().contains(kQuestion + "\r\nStarting firmware update...\r\n\rFirmware update ["));
    expectProgressInPlace(session->output(), "Starting firmware update...\r\n", kComplete.mid(kComplete.indexOf('\r')));
    // The port is open again: the next command needs no "open".
    session->type("ping 1\r");
    EXPECT_SHOWS(session, "ping 1\r\nID 1 : ACK\r\n[ID:001] QX-20, v46\r\n" + prompt);

    session->type("timeout " + QByteArray::number(sim::kReplySlackMs) + "\r");
    EXPECT_SHOWS(session, "[Success] set timeout");
    session->type("update 2\r");
    EXPECT_SHOWS(session, "update 2\r\n[ID:002] AR-240, v53\r\ncurrent : 53 ==> latest : 55\r\n" + kQuestion);
    session->type(" Yes \r");
    EXPECT_SHOWS(session, " Yes \r\nStarting firmware update...\r\n");
    EXPECT_SHOWS_AFTER_UPDATE(session, kComplete + prompt);
    session->type("ping 2\r");
    EXPECT_SHOWS(session, "[ID:002] AR-240, v55\r\n" + prompt);
    session->type("exit\r");
    EXPECT_EQ(session->waitExit(), 0);

    const QByteArrayList record = bus.received();
    const auto restarted = [&record](const QByteArray &prefix) {
        for (const QByteArray &line : record) {
            if (line.startsWith(prefix))
                return line;
        }
        return QByteArray();
    };
    EXPECT_TRUE(restarted("BOOT 1 RESTARTED").endsWith(" BYTES FW 46")) << record.join('\n').toStdString();
    EXPECT_TRUE(restarted("BOOT 2 RESTARTED").endsWith(" BYTES FW 55")) << record.join('\n').toStdString();
    EXPECT_TRUE(record.contains("2.0 1 WRITE 40 00 00")) << "torque off before the update";
    EXPECT_FALSE(session->output().contains("[Error]")) << session->output().toStdString();
    EXPECT_FALSE(session->output().contains("[WARN]")) << session->output().toStdString();
}

TEST(UpdateOnTerminal, NoUpdateRequiredAndAFailedTransfer)
{
    UpdateFolders folders;
    SimProgram bus({qx20(3, 46), qx20(4, 45, QStringLiteral(",boot-wrong-sum"))});
    auto session = startOnBus(bus);
    const QByteArray prompt = promptOf(bus);

    session->type("update 3\r");
    EXPECT_SHOWS(session, "update 3\r\n[ID:003] QX-20, v46\r\ncurrent : 46 ==> latest : 46\r\n" + kNotRequired +
                              "\r\n" + prompt);

    session->type("update 4\r");
    EXPECT_SHOWS(session, "current : 45 ==> latest : 46\r\n" + kQuestion);
    session->type("y\r");
    const QByteArray failed = "\r\n[Error] Firmware update failed: Firmware Transfer Failed\r\n";
    EXPECT_SHOWS_AFTER_UPDATE(session, failed + prompt);
    expectProgressInPlace(session->output(), "Starting firmware update...\r\n", failed);
    session->type("exit\r");
    EXPECT_EQ(session->waitExit(), 0);
    EXPECT_FALSE(session->output().contains("[Success] Firmware update complete"));
    EXPECT_FALSE(session->output().contains("[WARN]")) << "the port opened again";
    // The servo that needed no update heard its ping only; the other stays
    // in its bootloader, as a real one would after a refused image.
    const QByteArrayList record = bus.received();
    for (const QByteArray &line : record)
        EXPECT_FALSE(line.startsWith("2.0 3 ") && line != "2.0 3 PING") << line.toStdString();
    EXPECT_TRUE(record.contains("BOOT 4 ENTERED")) << record.join('\n').toStdString();
    for (const QByteArray &line : record)
        EXPECT_FALSE(line.startsWith("BOOT 4 RESTARTED")) << line.toStdString();
}

TEST(UpdateOnTerminal, CtrlCAtTheQuestionCancelsWithNothingWritten)
{
    UpdateFolders folders;
    SimProgram bus({qx20(1, 45)});
    auto session = startOnBus(bus);

    session->type("update 1\r");
    EXPECT_SHOWS(session, kQuestion);
    session->type("\x03");
    EXPECT_SHOWS(session, "\r\nFirmware update cancelled.\r\n[INFO] KeyboardInterrupt\r\n" + promptOf(bus));
    EXPECT_TRUE(session->output().contains(kQuestion + "\r\nFirmware update cancelled.\r\n"));
    session->type("exit\r");
    EXPECT_EQ(session->waitExit(), 0);
    EXPECT_FALSE(session->output().contains("Starting firmware update"));
    EXPECT_EQ(bus.received(), QByteArrayList{"2.0 1 PING"});
}

TEST(UpdateOnTerminal, TheEndOfInputAtTheQuestionCancelsWithNothingWritten)
{
    UpdateFolders folders;
    SimProgram bus({qx20(1, 45)});
    const QByteArray port = bus.portName().toUtf8();
    const QByteArray slack = "timeout " + QByteArray::number(sim::kReplySlackMs);
    const ProgramResult run = runProgram(console(), {}, slack + "\nopen " + port + " 1000000\nupdate 1\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, kBanner + ">>> " + slack + "\n[Success] set " + slack + "[ms] OK\n" +
                           ">>> open " + port + " 1000000\n[Success] Port opened successfully\n" + port +
                           ", 1Mbps > update 1\n[ID:001] QX-20, v45\ncurrent : 45 ==> latest : 46\n" + kQuestion +
                           "\nFirmware update cancelled.\n" + kClosing)
        << run.out.toStdString();
    EXPECT_EQ(bus.received(), QByteArrayList{"2.0 1 PING"});
}

TEST(UpdateOnTerminal, AnAnswerPipedForAQuestionNeverAskedStartsNoMenu)
{
    // The servo is current: no question, so the "y" piped for it is a line
    // of its own, an item that does not exist; the lines after it are commands.
    UpdateFolders folders;
    SimProgram bus({qx20(3, 46)});
    const QByteArray port = bus.portName().toUtf8();
    const QByteArray slack = "timeout " + QByteArray::number(sim::kReplySlackMs);
    const ProgramResult run =
        runProgram(console(), {}, slack + "\nopen " + port + " 1000000\nupdate 3\ny\n2\nping 3\n");
    EXPECT_EQ(run.exitCode, 0);
    const QByteArray prompt = port + ", 1Mbps > ";
    EXPECT_TRUE(run.out.contains(prompt + "update 3\n[ID:003] QX-20, v46\ncurrent : 46 ==> latest : 46\n" + kNotRequired +
                                 "\n" + prompt + "y\n[INFO] Setting y\n[ID:003] QX-20, v46\n[Error] Item not found: y\n" + prompt))
        << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("ping 3\nID 3 : ACK\n[ID:003] QX-20, v46\n")) << run.out.toStdString();
    EXPECT_FALSE(run.out.contains("Choose item number")) << run.out.toStdString();
    for (const QByteArray &line : bus.received())
        EXPECT_FALSE(line.contains("WRITE")) << line.toStdString();
}

TEST(UpdateOnTerminal, CtrlCWhileTheDeviceIsPingedEndsTheCommandWithoutTheQuestion)
{
    UpdateFolders folders;
    SimProgram bus({qx20(1, 45, QStringLiteral(",delay=3000"))}); // the reply 3 s late
    auto session = startOnBus(bus);
    const QByteArray prompt = promptOf(bus);
    session->type("timeout 10000\r");
    EXPECT_SHOWS(session, "[Success] set timeout");

    session->type("update 1\r");
    ASSERT_TRUE(bus.waitForInstruction("2.0 1 PING")) << bus.received().join('\n').toStdString();
    session->type("\x03");
    EXPECT_SHOWS(session, "[INFO] KeyboardInterrupt\r\n" + prompt);
    session->type("exit\r");
    EXPECT_EQ(session->waitExit(), 0);
    EXPECT_FALSE(session->output().contains(kQuestion)) << session->output().toStdString();
    EXPECT_EQ(bus.received(), QByteArrayList{"2.0 1 PING"});
}

TEST(UpdateOnTerminal, CtrlCWhileTheBoardIsProbedCancelsWithNothingWritten)
{
    // With 10 s of slack each probe ping waits long enough for the key.
    UpdateFolders folders;
    SimProgram bus({qx20(1, 45)});
    auto session = startOnBus(bus);
    const QByteArray prompt = promptOf(bus);
    session->type("timeout 10000\r");
    EXPECT_SHOWS(session, "[Success] set timeout");

    session->type("update 1\r");
    EXPECT_SHOWS(session, kQuestion);
    session->type("y\r");
    ASSERT_TRUE(bus.waitForInstruction("2.0 200 PING")) << bus.received().join('\n').toStdString();
    session->type("\x03");
    EXPECT_SHOWS(session, "Starting firmware update...\r\n[Error] Firmware update failed: Canceled\r\n"
                          "[INFO] KeyboardInterrupt\r\n" + prompt);
    session->type("ping 1\r");
    EXPECT_SHOWS(session, "[ID:001] QX-20, v45\r\n" + prompt);
    session->type("exit\r");
    EXPECT_EQ(session->waitExit(), 0);
    for (const QByteArray &line : bus.received())
        EXPECT_TRUE(line == "2.0 1 PING" || line == "2.0 200 PING") << line.toStdString();
}

TEST(UpdateOnTerminal, CtrlCWhileTheImageIsSentDoesNotCutTheUpdateShort)
{
    // Cut after the transfer, the servo would keep the bootloader's rate.
    UpdateFolders folders;
    SimProgram bus({qx20(1, 45)});
    auto session = startOnBus(bus);
    const QByteArray prompt = promptOf(bus);

    session->type("update 1\r");
    EXPECT_SHOWS(session, kQuestion);
    session->type("y\r");
    EXPECT_SHOWS_AFTER_UPDATE(session, "\rFirmware update [");
    session->type("\x03");
    EXPECT_SHOWS_AFTER_UPDATE(session, kComplete + "[INFO] KeyboardInterrupt\r\n" + prompt);
    session->type("ping 1\r");
    EXPECT_SHOWS(session, "[ID:001] QX-20, v46\r\n" + prompt);
    session->type("exit\r");
    EXPECT_EQ(session->waitExit(), 0);
    const QByteArrayList record = bus.received();
    EXPECT_TRUE(record.contains("2.0 1 WRITE 08 00 03")) << "the servo's rate restored\n"
                                                       << record.join('\n').toStdString();
    EXPECT_TRUE(record.contains("2.0 1 WRITE 0D 00 02")) << record.join('\n').toStdString();
}
