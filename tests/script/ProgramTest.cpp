// Whole runs as a user starts them, without devices: the first-argument words,
// the options, the input and its limits, and closed pipes, with the real
// program; permissions and signals also with the script runner over the fake
// backend, whose device commands can be made to wait like a silent bus.

#include "licenses/LicenseTexts.h"
#include "script/HelpTexts.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QRegularExpression>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString program()
{
    return qEnvironmentVariable("ZEPHLET_CLI");
}

QString driver()
{
    return qEnvironmentVariable("ZEPHLET_SCRIPT_DRIVER");
}

QByteArray licenseOutput()
{
    QFile file(qEnvironmentVariable("ZEPHLET_LICENSE_FILE"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text));
    QByteArray text = file.readAll();
    if (!text.endsWith('\n'))
        text += '\n';
    return text + "\nThird-party software:\n  Qt 6 \xE2\x80\x94 GNU Lesser General Public License v3.0\n"
                  "  Full license text: COPYING.LESSER\n";
}

struct Expected
{
    QList<QByteArray> arguments;
    int exitCode;
    QByteArray out;
    QByteArray err;
};

void expectRuns(const QString &path, const QList<Expected> &cases)
{
    for (const Expected &c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const ProgramResult result = runProgram(path, c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
    }
}

TEST(Program, AnswersTheFirstArgumentWordsItself)
{
    const QByteArray upgrade = "upgrade is only supported on the Linux AppImage build.\n";
    const QByteArray upgradeUsage = "Usage: zephlet-cli upgrade [--check|-c]\n";
    expectRuns(program(), {
        {{"license"}, 0, licenseOutput(), ""},
        {{"LICENSE"}, 0, licenseOutput(), ""},
        {{"License"}, 0, licenseOutput(), ""},
        {{"license", "x"}, 2, "", "Usage: zephlet-cli license\n"},
        {{"license", ""}, 2, "", "Usage: zephlet-cli license\n"},
        {{"copyright"}, 0, copyrightText().toUtf8(), ""},
        {{"COPYRIGHT", "--json"}, 2, "", "Usage: zephlet-cli copyright\n"},
        {{"upgrade"}, 1, upgrade, ""},
        {{"UPGRADE", "--check"}, 1, upgrade, ""},
        {{"upgrade", "-c"}, 1, upgrade, ""},
        {{"upgrade", "-C"}, 2, "", upgradeUsage},
        {{"upgrade", "--CHECK"}, 2, "", upgradeUsage},
        {{"upgrade", "--check", "x"}, 2, "", upgradeUsage},
        {{"upgrade", "now"}, 2, "", upgradeUsage},
        // Everything else with arguments belongs to script mode.
        {{""}, 2, "", "[Error] Unexpected argument: \n"},
        {{"help"}, 2, "", "[Error] Unexpected argument: help\n"},
    });
}

TEST(Program, CopyrightIsSixLinesOf202Characters)
{
    const QString text = copyrightText();
    EXPECT_EQ(text.size(), 202);
    const QStringList lines = text.split('\n');
    ASSERT_EQ(lines.size(), 7);
    EXPECT_TRUE(lines.at(6).isEmpty());
    EXPECT_TRUE(lines.at(2).isEmpty());
    EXPECT_EQ(lines.mid(3, 3), (QStringList{"This distribution includes Qt 6 libraries licensed under the",
                                            "GNU Lesser General Public License v3.0.",
                                            "See COPYING.LESSER for the full license text."}));
}

TEST(Program, OptionsThatAnswerAtOnce)
{
    const ProgramResult help = runProgram(program(), {"--help", "-e", "ping 1"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.startsWith("Usage: zephlet-cli [options]\nQuorvex Zephlet CLI\n\nOptions:\n"));
    EXPECT_TRUE(help.out.endsWith("      Write the machine-readable script command contract.\n"));

    expectRuns(program(), {
        {{"--version"}, 0, "zephlet-cli 1.18.3\n", ""},
        {{"-v", "--json"}, 0, "zephlet-cli 1.18.3\n", ""},
        {{"--license"}, 0, licenseOutput(), ""},
        {{"--ai-help"}, 0, script::aiHelpText().toUtf8(), ""},
    });
}


TEST(Program, PublishesItsContractAsIndentedJson)
{
    const ProgramResult result = runProgram(program(), {"--command-schema"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.err.isEmpty());
    EXPECT_TRUE(result.out.startsWith("{\n    \"application\": {\n"));
    EXPECT_TRUE(result.out.endsWith("}\n"));
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(result.out, &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError);
    const QJsonObject schema = document.object();
    EXPECT_EQ(schema.keys().size(), 7);
    EXPECT_EQ(schema["application"]["version"].toString(), "1.18.3");
    EXPECT_EQ(schema["commands"].toArray().size(), 17);
    EXPECT_EQ(schema["exit_codes"].toArray().size(), 6);
    EXPECT_EQ(schema["unsupported"].toArray().size(), 8);
    EXPECT_EQ(schema["contract"].toObject().size(), 9);
    EXPECT_EQ(schema["contract"]["command_deadline_ms"].toInt(), 30000);
}

TEST(Program, RefusedCommandLinesEndWithExitCodeTwo)
{
    const QByteArray standalone =
        "--ai-help and --command-schema are standalone options and cannot be combined with other operations.";
    expectRuns(program(), {
        {{"--ai-help", "--json"}, 2, "{\"command\":\"\",\"error\":{\"code\":\"invalid_cli\",\"message\":\"" + standalone
                                         + "\"},\"success\":false}\n", ""},
        {{"--command-schema", "-e", "ping 1"}, 2, "", "[Error] " + standalone + "\n"},
        {{"-e", "ping", "1"}, 2, "", "[Error] Unexpected argument: 1\n"},
        {{"--json"}, 2,
         "{\"command\":\"\",\"error\":{\"code\":\"invalid_cli\",\"message\":\"One of --execute or --file is "
         "required.\"},\"success\":false}\n", ""},
        {{"-f", "a", "--file", "b"}, 2, "", "[Error] --file may only be specified once.\n"},
        {{"-?"}, 2, "", "[Error] Unknown option '?'.\n"},
        {{"--json", "--frob"}, 2,
         "{\"command\":\"\",\"error\":{\"code\":\"invalid_cli\",\"message\":\"Unknown option 'frob'.\"},"
         "\"success\":false}\n", ""},
        // A byte that is not UTF-8 is shown as U+FFFD: records are valid UTF-8 throughout.
        {{"--json", "--fr\xFFob"}, 2,
         "{\"command\":\"\",\"error\":{\"code\":\"invalid_cli\",\"message\":\"Unknown option 'fr\xEF\xBF\xBDob'.\"},"
         "\"success\":false}\n", ""},
        {{"--fr\xC0\xAFob"}, 2, "", "[Error] Unknown option 'fr\xEF\xBF\xBD\xEF\xBF\xBDob'.\n"},
    });
}

QByteArray inputError(const QByteArray &message)
{
    return "{\"command\":\"\",\"error\":{\"code\":\"invalid_input\",\"message\":\"" + message
           + "\"},\"success\":false}\n";
}

class Input : public ::testing::Test
{
protected:
    QString file(const QByteArray &bytes)
    {
        const QString path = dir.filePath(QStringLiteral("script%1.txt").arg(++count));
        QFile out(path);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes);
        return path;
    }

    QTemporaryDir dir;
    int count = 0;
};

TEST_F(Input, RefusedInputIsReportedBeforeAnyCommandRuns)
{
    const QByteArray notUtf8 = "Input is not valid UTF-8.";
    const QByteArray line = QByteArray(1023, '#') + '\n';
    const QString tooBig = file(line.repeated(1024) + "x");
    const QString cutOff = file("ping 1\n\xE2\x82");
    const QString missing = dir.filePath("missing.txt");
    const QByteArray missingNotUtf8 = QFile::encodeName(dir.path()) + "/missing\xFF.txt";
    // Each case once as JSON and once as text.
    const struct
    {
        QList<QByteArray> arguments;
        QByteArray message;
    } cases[] = {
        {{"-e", "ping 1", "-e", "get 1 \xFF"}, notUtf8},
        {{"-e", "ping \xC0\xAF"}, notUtf8},
        {{"-e", "ping 1\nping 2"}, "--execute accepts exactly one command per occurrence."},
        {{"-e", QByteArray(16385, 'x')}, "Command exceeds the 16 KiB limit."},
        {{"-f", tooBig.toUtf8()}, "Input exceeds the 1 MiB limit."},
        {{"-f", cutOff.toUtf8()}, notUtf8},
        {{"-f", missing.toUtf8()}, "Cannot open " + missing.toUtf8() + ": No such file or directory"},
        {{"-f", missingNotUtf8},
         "Cannot open " + QFile::encodeName(dir.path()) + "/missing\xEF\xBF\xBD.txt: No such file or directory"},
        {{"-f", ""}, "Cannot open : No file name given."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').left(80).toStdString());
        const ProgramResult json = runProgram(program(), QList<QByteArray>{"--json"} + c.arguments);
        EXPECT_EQ(json.exitCode, 2);
        EXPECT_EQ(json.out, inputError(c.message));
        EXPECT_TRUE(json.err.isEmpty());
        const ProgramResult text = runProgram(program(), c.arguments);
        EXPECT_EQ(text.exitCode, 2);
        EXPECT_TRUE(text.out.isEmpty());
        EXPECT_EQ(text.err, "[Error] " + c.message + "\n");
    }
}

// Runs the driver with a log of the backend calls; `log` gets them.
ProgramResult runDriver(const QList<QByteArray> &arguments, QStringList *log = nullptr,
                        const QList<QByteArray> &environment = {}, const QByteArray &input = {})
{
    QTemporaryDir dir;
    const QString logPath = dir.filePath("calls.log");
    const ProgramResult result =
        runProgram(driver(), arguments, input, QList<QByteArray>{"ZEPHLET_FAKE_LOG=" + logPath.toUtf8()} + environment);
    if (log) {
        QFile file(logPath);
        log->clear();
        if (file.open(QIODevice::ReadOnly))
            *log = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    return result;
}

TEST_F(Input, AcceptedInputRunsLineByLine)
{
    const QByteArray comments = QByteArray(1023, '#') + '\n';
    const struct
    {
        const char *what;
        QByteArray bytes;
        QStringList calls;
    } cases[] = {
        {"exactly 1 MiB", comments.repeated(1023) + "ping 1" + QByteArray(1017, ' ') + '\n', {"ping 1"}},
        {"byte-order mark and CR LF", "\xEF\xBB\xBFping 1\r\n# ping 9\r\n\r\n  ping 2  \r\n", {"ping 1", "ping 2"}},
        {"two marks and bare CRs", "\xEF\xBB\xBF\xEF\xBB\xBFping 3\rping 4", {"ping 3", "ping 4"}},
        {"a line of 16 KiB", "get 1 \"" + QByteArray(16376, 'x') + "\"\n", {"get 1 " + QString(16376, 'x')}},
        {"nothing but comments", "# a\n\n   # b\n", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QStringList log;
        const ProgramResult result = runDriver({"--json", "-f", file(c.bytes).toUtf8()}, &log);
        EXPECT_EQ(result.exitCode, 0) << result.out.left(300).toStdString();
        QStringList calls;
        for (const QString &call : log)
            if (call.startsWith("ping") || call.startsWith("get"))
                calls.append(call);
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(result.out.count('\n'), c.calls.size());
        EXPECT_TRUE(log.endsWith("destroyed"));
    }
}

TEST_F(Input, AFileNameThatIsNotUtf8IsOpenedByItsBytes)
{
    const QByteArray path = QFile::encodeName(dir.path()) + "/script\xFF\xC0\xAF.txt";
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    const QByteArray commands = "help ping\n";
    ASSERT_EQ(::write(fd, commands.constData(), size_t(commands.size())), commands.size());
    ::close(fd);

    const ProgramResult result = runProgram(program(), {"--json", "-f", path});
    EXPECT_EQ(result.exitCode, 0) << result.out.toStdString();
    EXPECT_TRUE(result.out.startsWith("{\"command\":\"help\",\"data\":")) << result.out.toStdString();
    EXPECT_TRUE(result.err.isEmpty());
}

TEST_F(Input, APortNameHoldingANulByteIsRefusedBeforeTheBackend)
{
    QStringList log;
    const ProgramResult result = runDriver({"--json", "-f", file(QByteArray("open /dev/null\0x 57600\n", 24)).toUtf8()}, &log);
    EXPECT_EQ(result.exitCode, 2);
    const QJsonObject error = QJsonDocument::fromJson(result.out).object()["error"].toObject();
    EXPECT_EQ(error["code"].toString(), "invalid_argument");
    EXPECT_TRUE(error["message"].toString().startsWith("Port name must not contain a NUL byte.\n"));
    EXPECT_TRUE(result.err.isEmpty());
    for (const QString &call : log)
        EXPECT_FALSE(call.startsWith("open")) << call.toStdString();
}

TEST_F(Input, TheProgramRunsAcceptedInputLineByLine)
{
    const QByteArray comments = QByteArray(1023, '#') + '\n';
    const struct
    {
        const char *what;
        QByteArray bytes;
        int exitCode;
        QByteArrayList records; // "<command> <success>" per JSON record
    } cases[] = {
        {"exactly 1 MiB", comments.repeated(1023) + "help ping" + QByteArray(1014, ' ') + '\n', 0, {"help true"}},
        {"byte-order mark and CR LF", "\xEF\xBB\xBFhelp ping\r\n# help x\r\n\r\n  help scan  \r\n", 0,
         {"help true", "help true"}},
        {"two marks and bare CRs", "\xEF\xBB\xBF\xEF\xBB\xBFhelp get\rhelp set", 0, {"help true", "help true"}},
        // Accepted as input; the topic is then unknown.
        {"a line of 16 KiB", "help \"" + QByteArray(16377, 'x') + "\"\n", 2, {"help false"}},
        {"nothing but comments", "# a\n\n   # b\n", 0, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const ProgramResult result = runProgram(program(), {"--json", "-f", file(c.bytes).toUtf8()});
        EXPECT_EQ(result.exitCode, c.exitCode);
        QByteArrayList records;
        for (const QByteArray &line : result.out.split('\n')) {
            if (line.isEmpty())
                continue;
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            records.append(record["command"].toString().toUtf8() + (record["success"].toBool() ? " true" : " false"));
        }
        EXPECT_EQ(records, c.records);
        EXPECT_TRUE(result.err.isEmpty());
    }
}

TEST(Permissions, NothingReachesTheDeviceWithoutItsFlag)
{
    const struct
    {
        QList<QByteArray> arguments;
        int exitCode;
        QByteArray err;
        QString call; // empty: the command must not reach the backend
    } cases[] = {
        {{"-e", "set 1 LED 1"}, 3, "[Error] set requires --allow-write.\n", {}},
        {{"-e", "reset 1", "--allow-write"}, 3, "[Error] reset requires --allow-destructive.\n", {}},
        {{"-e", "reboot 1"}, 3, "[Error] reboot requires --allow-destructive.\n", {}},
        {{"-e", "clear 1 2", "--allow-write"}, 3, "[Error] clear requires --allow-destructive.\n", {}},
        {{"-e", "set 1 LED 1", "--allow-write"}, 0, "", "set 1 LED 1"},
        {{"-e", "set 1 LED 1", "--allow-destructive"}, 0, "", "set 1 LED 1"},
        {{"-e", "clear 1 10", "--allow-destructive"}, 0, "", "clear 1 10"},
        {{"-e", "reset 1", "--allow-destructive"}, 0, "", "reset 1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        QStringList log;
        const ProgramResult result = runDriver(c.arguments, &log);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.err, c.err);
        QStringList deviceCalls = log.filter(QRegularExpression("^(set|reset|reboot|clear) "));
        EXPECT_EQ(deviceCalls, c.call.isEmpty() ? QStringList() : QStringList{c.call});
    }
}

// Writes `lines` into the FIFO at `path` slowly: the reader sees nothing for a
// while, then the lines one by one. Gives up when no reader comes.
void slowWriter(const QString &path, const QByteArray &lines)
{
    int fd = -1;
    for (int i = 0; i < 2000 && fd < 0; ++i) {
        fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            QThread::msleep(5); // ENXIO: no reader yet
    }
    ASSERT_GE(fd, 0) << "the program never opened the FIFO";
    QThread::msleep(300);
    for (const QByteArray &line : lines.split('\n')) {
        const QByteArray bytes = line + '\n';
        if (::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size())
            break; // the reader is gone
        QThread::msleep(100);
    }
    ::close(fd);
}

TEST(PipedInput, IsReadUntilTheWriterCloses)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath("commands");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);

    ChildProcess child(program(), {"-f", fifo.toUtf8()});
    slowWriter(fifo, "help ping\nhelp scan");
    EXPECT_EQ(child.wait(), 0) << child.err().toStdString();
    EXPECT_EQ(child.out(), "Ping one device.\nUsage: ping <id> [-v|--verbose]\n"
                           "Scan for devices.\nUsage: scan [start-end] [-v|--verbose]\n");

    ChildProcess fromStdin(program(), {"--json", "-f", "/dev/stdin"});
    QThread::msleep(300);
    fromStdin.write("help ping\n");
    QThread::msleep(100);
    fromStdin.write("help get\n");
    fromStdin.closeInput();
    EXPECT_EQ(fromStdin.wait(), 0) << fromStdin.err().toStdString();
    EXPECT_EQ(fromStdin.out().count('\n'), 2);
    EXPECT_TRUE(fromStdin.out().contains("\"topic\":\"get\"")) << fromStdin.out().toStdString();
}

int waitForCall(const QString &logPath, const QString &call)
{
    for (int i = 0; i < 2000; ++i) {
        QFile file(logPath);
        if (file.open(QIODevice::ReadOnly) && QString::fromUtf8(file.readAll()).split('\n').contains(call))
            return 0;
        QThread::msleep(5);
    }
    return -1;
}

TEST(Signals, InterruptAndBreakEndARunningCommandWith130)
{
    for (const int signal : {SIGINT, SIGQUIT}) {
        SCOPED_TRACE(signal);
        QTemporaryDir dir;
        const QString logPath = dir.filePath("calls.log");
        ChildProcess child(driver(), {"--json", "-e", "ping 1", "-e", "scan", "-e", "ping 2"},
                           {"ZEPHLET_FAKE_LOG=" + logPath.toUtf8(), "ZEPHLET_FAKE_WAIT=1"});
        // ping 1 waits like a silent device until the signal comes.
        ASSERT_EQ(waitForCall(logPath, "ping 1"), 0);
        child.signal(signal);
        // Well inside the 30 s deadline: only the signal can have ended it.
        EXPECT_EQ(child.wait(10000), 130);
        EXPECT_EQ(child.termSignal(), 0);
        EXPECT_EQ(child.out(), "{\"command\":\"ping\",\"error\":{\"code\":\"interrupted\",\"message\":"
                               "\"Interrupted by user.\"},\"success\":false}\n");
        QFile file(logPath);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QStringList calls = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        EXPECT_FALSE(calls.contains("scan 0 252 all"));
        EXPECT_EQ(calls.mid(calls.size() - 3), (QStringList{"close", "endCommand", "destroyed"}));
    }
}

TEST(Deadline, ACommandThatOutlivesItEndsTheRunWith124)
{
    QStringList calls;
    const ProgramResult result = runDriver({"--json", "-e", "ping 1", "-e", "ping 2"}, &calls,
                                           {"ZEPHLET_FAKE_WAIT=1", "ZEPHLET_DEADLINE_MS=500"});
    EXPECT_EQ(result.exitCode, 124);
    EXPECT_EQ(result.out, R"({"command":"ping","error":{"code":"command_timeout","message":)"
                          R"("Command exceeded its deadline."},"success":false})" "\n");
    EXPECT_FALSE(calls.contains("ping 2"));
    EXPECT_EQ(calls.mid(calls.size() - 3), (QStringList{"close", "endCommand", "destroyed"}));
}

TEST(Signals, KeepTheirDefaultActionBeforeTheCommandsRun)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath("commands");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    for (const int signal : {SIGINT, SIGQUIT}) {
        ChildProcess child(driver(), {"-f", fifo.toUtf8()});
        // Once our end opens, the program is reading its input, which never ends.
        int writer = -1;
        for (int i = 0; i < 2000 && writer < 0; ++i) {
            writer = ::open(fifo.toLocal8Bit().constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer < 0)
                QThread::msleep(5);
        }
        ASSERT_GE(writer, 0);
        QThread::msleep(50);
        child.signal(signal);
        child.wait(10000);
        ::close(writer);
        EXPECT_EQ(child.termSignal(), signal);
    }
}

TEST(ClosedOutput, NeverEndsTheRunOrChangesItsExitCode)
{
    ChildProcess schema(program(), {"--command-schema"});
    schema.closeOutput();
    EXPECT_EQ(schema.wait(), 0);
    EXPECT_EQ(schema.termSignal(), 0);

    QList<QByteArray> arguments{"--json"};
    for (int i = 0; i < 200; ++i)
        arguments << "-e" << "help";
    arguments << "-e" << "ping 999";
    ChildProcess run(program(), arguments);
    run.closeOutput();
    EXPECT_EQ(run.wait(), 2);
    EXPECT_EQ(run.termSignal(), 0);
}

} // namespace
