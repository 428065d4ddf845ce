// The line editor in a real terminal (a pseudo-terminal run like a shell's
// foreground job) and with standard input from a pipe, through the driver
// program that reads lines in a loop.
#include "PtySession.h"

#include "tests/support/QtPrinters.h"

#include <QProcess>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString driver()
{
    return qEnvironmentVariable("ZEPHLET_LINE_DRIVER");
}

const QString kItems = QStringLiteral("Goal Position,Present Position,Present Velocity");

// A driver on a terminal, ready at its first prompt.
std::unique_ptr<PtySession> startDriver(QStringList arguments = {}, int rows = 30)
{
    EXPECT_FALSE(driver().isEmpty()) << "ZEPHLET_LINE_DRIVER names the driver program";
    arguments << QStringLiteral("--items") << kItems;
    auto session = std::make_unique<PtySession>(driver(), arguments, rows);
    EXPECT_TRUE(session->started());
    EXPECT_TRUE(session->waitFor("READY")) << session->output().toStdString();
    EXPECT_TRUE(session->waitFor(">>> ")) << session->output().toStdString();
    return session;
}

#define EXPECT_SHOWS(session, text) EXPECT_TRUE((session)->waitFor(text)) << (session)->output().toStdString()

TEST(TerminalSession, EditsWithCursorKeysHomeEndDeleteAndBackspace)
{
    auto session = startDriver();
    EXPECT_TRUE(isKeyMode(session->mode()));
    // abc, Left, Left, X, End, Z, Home, Q, Delete, Backspace, Right, Enter.
    session->type("abc\x1b[D\x1b[DX\x1b[FZ\x1bOHQ\x1b[3~\x7f\x1bOC\r");
    EXPECT_SHOWS(session, "LINE[XbcZ]");
    // The terminal itself echoed nothing: no "^[" of a key sequence shows.
    EXPECT_FALSE(session->output().contains("^["));
}

TEST(TerminalSession, BrowsesHistoryWithUpAndDown)
{
    auto session = startDriver();
    session->type("first\r");
    EXPECT_SHOWS(session, "LINE[first]");
    session->type("second\r");
    EXPECT_SHOWS(session, "LINE[second]");
    session->type("\x1b[A\x1b[A\r");
    EXPECT_SHOWS(session, "LINE[first]");
    session->type("draft\x1b[A\x1b[B\r"); // Down past the newest entry brings the draft back
    EXPECT_SHOWS(session, "LINE[draft]");
}

TEST(TerminalSession, TabCompletesCommandWordsAndItemNames)
{
    auto session = startDriver();
    session->type("he\t\r");
    EXPECT_SHOWS(session, "LINE[help]");
    session->type("get 1 present p\t\r");
    EXPECT_SHOWS(session, "LINE[get 1 Present Position]");
    session->type("get 1 pres\t");
    EXPECT_SHOWS(session, "\"Present Position\" \"Present Velocity\" ");
    session->type("v\t\r");
    EXPECT_SHOWS(session, "LINE[get 1 Present Velocity]");
}

TEST(TerminalSession, CtrlCSetsTheFlagAndReturnsAnEmptyLine)
{
    auto session = startDriver();
    session->type("abc");
    EXPECT_SHOWS(session, "abc");
    session->type("\x03");
    EXPECT_SHOWS(session, "INTERRUPTED");
    EXPECT_SHOWS(session, "LINE[]");
    session->type("next\r");
    EXPECT_SHOWS(session, "LINE[next]");
}

TEST(TerminalSession, KeysTypedAheadWaitForTheNextLine)
{
    auto session = startDriver();
    session->type("one\rtwo\rthr");
    EXPECT_SHOWS(session, "LINE[one]");
    EXPECT_SHOWS(session, "LINE[two]");
    session->type("ee\r");
    EXPECT_SHOWS(session, "LINE[three]");
}

TEST(TerminalSession, RestoresTheTerminalModeOnEveryWayOut)
{
    struct Case
    {
        const char *name;
        QStringList arguments;
        QByteArray keys; // typed, or empty to send the signal
        int signal;
        int exitCode;
    };
    const QList<Case> cases = {
        {"exit", {}, "exit\r", 0, 0},
        {"SIGTERM", {}, {}, SIGTERM, 128 + SIGTERM},
        {"SIGHUP", {}, {}, SIGHUP, 128 + SIGHUP},
        {"Ctrl+\\ (SIGQUIT), declined by the handler", {}, "\x1c", 0, 128 + SIGQUIT},
        {"Ctrl+C with no control handler", {QStringLiteral("--no-handler")}, "\x03", 0, 128 + SIGINT},
    };
    for (const Case &c : cases) {
        auto session = startDriver(c.arguments);
        ASSERT_TRUE(isKeyMode(session->mode())) << c.name;
        ASSERT_FALSE(isKeyMode(session->initialMode())) << c.name;
        if (c.signal)
            kill(session->programPid(), c.signal);
        else
            session->type(c.keys);
        EXPECT_EQ(session->waitExit(), c.exitCode) << c.name << '\n' << session->output().toStdString();
        EXPECT_TRUE(sameMode(session->mode(), session->initialMode())) << c.name;
    }
}

TEST(TerminalSession, StopsWithTheTerminalRestoredAndContinuesInKeyMode)
{
    auto session = startDriver();
    session->type("ab\x1a"); // Ctrl+Z
    EXPECT_TRUE(session->waitForInitialMode());
    EXPECT_TRUE(session->waitForState('T'));
    kill(session->programPid(), SIGCONT);
    EXPECT_TRUE(session->waitForKeyMode());
    session->type("c\r");
    EXPECT_SHOWS(session, "LINE[abc]");
}

TEST(TerminalSession, TheEditorTakesKeyModeAtItsFirstReadAndGivesItBack)
{
    auto session = startDriver({QStringLiteral("--no-key-mode")});
    EXPECT_TRUE(session->waitForKeyMode());
    session->type("exit\r");
    EXPECT_EQ(session->waitExit(), 0);
    EXPECT_TRUE(sameMode(session->mode(), session->initialMode()));
}

TEST(TerminalSession, ReportsTheWindowHeight)
{
    auto session = std::make_unique<PtySession>(driver(), QStringList{}, 33);
    EXPECT_SHOWS(session, "READY");
    EXPECT_SHOWS(session, "rows=33");
}

TEST(TerminalSession, KeyPeekTakesEnterAndLeavesOtherKeysForTheEditor)
{
    auto session = startDriver();
    session->type("watch\r");
    EXPECT_SHOWS(session, "WATCHING");
    session->type("\r");
    EXPECT_SHOWS(session, "ENTER-SEEN");
    session->type("x");
    session->type("\x03");
    EXPECT_SHOWS(session, "WATCH-END");
    session->type("yz\r");
    EXPECT_SHOWS(session, "LINE[xyz]");
}

TEST(TerminalSession, AnIdlePromptUsesNoMeasurableCpu)
{
    auto session = startDriver();
    const double before = processCpuSeconds(session->programPid());
    QThread::sleep(3);
    const double used = processCpuSeconds(session->programPid()) - before;
    ASSERT_GE(before, 0);
    // A busy poll would use the whole 3 s; the editor sleeps until a key comes.
    EXPECT_LT(used, 0.15) << "CPU seconds over 3 s idle";
}

// ---- standard input from a pipe ----

QByteArrayList reportedLines(const QByteArray &output)
{
    QByteArrayList reported;
    for (const QByteArray &line : output.split('\n')) {
        for (const char *mark : {"LINE[", "INTERRUPTED", "END"}) {
            const qsizetype at = line.indexOf(mark);
            if (at >= 0)
                reported.append(line.mid(at));
        }
    }
    return reported;
}

TEST(PipedInput, GivesEveryLineAndEndsAtTheEndOfInput)
{
    struct Case
    {
        QByteArray input;
        QByteArrayList reported;
    };
    const QList<Case> cases = {
        {"one\ntwo\r\nthree", {"LINE[one]", "LINE[two]", "LINE[three]", "END"}},
        {"", {"END"}},
        {"\n\n", {"LINE[]", "LINE[]", "END"}},
        {"ab\x03" "cd\n", {"INTERRUPTED", "LINE[]", "LINE[cd]", "END"}},
        {"abc\x1b[D\x1b[DX\n", {"LINE[aXbc]", "END"}},
        {"first\nsecond\n\x1b[A\x1b[A\n", {"LINE[first]", "LINE[second]", "LINE[first]", "END"}},
        {"exit\nnever read\n", {"LINE[exit]"}},
    };
    for (const Case &c : cases) {
        QProcess process;
        process.start(driver(), {});
        ASSERT_TRUE(process.waitForStarted());
        process.write(c.input);
        process.closeWriteChannel();
        ASSERT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0);
        const QByteArray output = process.readAllStandardOutput();
        EXPECT_EQ(reportedLines(output), c.reported) << output.toStdString();
    }
}

TEST(PipedInput, AClosedOutputPipeDoesNotEndTheProgram)
{
    int input[2];
    int output[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(pipe(output), 0);
    ASSERT_EQ(write(input[1], "a\nb\n", 4), 4);
    close(input[1]);
    close(output[0]); // nobody will read what the driver prints
    const QByteArray path = driver().toLocal8Bit();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        signal(SIGPIPE, SIG_DFL);
        execl(path.constData(), path.constData(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
