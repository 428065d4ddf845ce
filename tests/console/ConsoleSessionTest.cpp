// The whole interactive console (shell, worker thread, loop) as a program:
// with standard input from a pipe, and on a terminal.
#include "ConsoleTexts.h"
#include "PtySession.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimProgram.h"
#include "tests/support/ChildProcess.h"

#include "tests/support/QtPrinters.h"

#include <QElapsedTimer>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>

namespace {

QString console()
{
    return qEnvironmentVariable("ZEPHLET_CLI");
}

// The console with `input` on standard input, run until it ends by itself.
ProgramResult runPiped(const QByteArray &input)
{
    return runProgram(console(), {}, input);
}

TEST(PipedConsole, ASessionRunsFromBannerToTheClosingLines)
{
    ASSERT_FALSE(console().isEmpty()) << "ZEPHLET_CLI names the program";
    struct Case
    {
        const char *name;
        QByteArray input;
        QByteArray ending; // what the prompt shows after the last command
    };
    const QList<Case> cases = {
        {"ended by exit", "help\ntest\nhelp GET\nexit\nhelp\n", ">>> exit\n"},
        {"ended by the end of input", "help\ntest\nhelp GET\n", ">>> \n"},
        {"the last line without its line end", "help\ntest\nhelp GET", ">>> \n"},
    };
    for (const Case &c : cases) {
        const ProgramResult run = runPiped(c.input);
        EXPECT_EQ(run.exitCode, 0) << c.name;
        EXPECT_EQ(run.err, QByteArray()) << c.name;
        EXPECT_EQ(run.out, kBanner + ">>> help\n" + kHelpSummary +
                                  ">>> test\n"
                                  "[Error] Command not found - Unknown command: test\n"
                                  ">>> help GET\n"
                                  "[Error] GET is unknown command.\n" +
                                  c.ending + kClosing)
            << c.name;
    }
}

TEST(PipedConsole, AnEmptyInputEndsAtOnce)
{
    const ProgramResult run = runPiped({});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, kBanner + ">>> \n" + kClosing);
}

// ---- on a terminal ----

std::unique_ptr<PtySession> startConsole()
{
    auto session = std::make_unique<PtySession>(console(), QStringList{});
    EXPECT_TRUE(session->started());
    EXPECT_TRUE(session->waitFor(">>> ")) << session->output().toStdString();
    return session;
}

#define EXPECT_SHOWS(session, text) EXPECT_TRUE((session)->waitFor(text)) << (session)->output().toStdString()

TEST(TerminalConsole, CtrlCAtThePromptReportsAndTheConsoleGoesOn)
{
    auto session = startConsole();
    EXPECT_TRUE(session->waitForKeyMode());
    session->type("help ex");
    EXPECT_SHOWS(session, "help ex");
    session->type("\x03");
    EXPECT_SHOWS(session, "[INFO] KeyboardInterrupt\r\n>>> ");
    session->type("help exit\r");
    EXPECT_SHOWS(session, "exit : Quit the program.");
    session->type("exit\r");
    EXPECT_SHOWS(session, "Shutting down...\r\nProgram terminated successfully.\r\n");
    EXPECT_EQ(session->waitExit(), 0);
}

TEST(TerminalConsole, KeysTypedWhileTheConsoleStartsAreEchoedOnce)
{
    auto session = std::make_unique<PtySession>(console(), QStringList{});
    ASSERT_TRUE(session->started());
    // The banner is out; the editor may not read yet (the console is still
    // getting its device descriptions ready).
    EXPECT_SHOWS(session, "Type \"help\" or \"license\" for more information.\r\n");
    session->type("help exit");
    EXPECT_SHOWS(session, ">>> help exit");
    session->type("\r");
    EXPECT_SHOWS(session, "exit : Quit the program.");
    session->type("exit\r");
    EXPECT_EQ(session->waitExit(), 0);
    const QByteArray output = session->output();
    EXPECT_EQ(output.count("help exit"), 1) << "the terminal echoed the keys before the editor did\n"
                                             << output.toStdString();
    EXPECT_TRUE(sameMode(session->mode(), session->initialMode()));
}

TEST(TerminalConsole, TabCompletesACommandWord)
{
    auto session = startConsole();
    session->type("hel\t exi\t\r");
    EXPECT_SHOWS(session, "exit : Quit the program.");
    session->type("exit\r");
    EXPECT_EQ(session->waitExit(), 0);
}

TEST(TerminalConsole, TheTerminalModeIsRestoredAfterExitAndAfterCtrlBreak)
{
    struct Case
    {
        const char *name;
        QByteArray keys;
        int exitCode;
        const char *closing; // printed on the way out, or nullptr for none
    };
    const QList<Case> cases = {
        {"exit", "exit\r", 0, "Program terminated successfully."},
        {"EXIT with words", "EXIT now\r", 0, "Program terminated successfully."},
        // Ctrl+\ stands for Ctrl+Break: the process ends by the signal, without the closing lines.
        {"Ctrl+\\", "\x1c", 128 + SIGQUIT, nullptr},
    };
    for (const Case &c : cases) {
        auto session = startConsole();
        ASSERT_TRUE(session->waitForKeyMode()) << c.name;
        session->type(c.keys);
        EXPECT_EQ(session->waitExit(), c.exitCode) << c.name << '\n' << session->output().toStdString();
        EXPECT_TRUE(sameMode(session->mode(), session->initialMode())) << c.name;
        if (c.closing)
            EXPECT_TRUE(session->output().contains(c.closing)) << c.name;
        else
            EXPECT_FALSE(session->output().contains("Shutting down")) << c.name;
    }
}

TEST(TerminalConsole, CtrlCInAMenuReturnsToThePromptWithNothingOpenedOrSet)
{
    struct Case
    {
        const char *line;
        QByteArray question;
    };
    const QList<Case> cases = {
        {"open\r", "Choose serial port ("},
        {"open /dev/no-such-port\r", "Choose baudrate (1-10, press Ctrl+C to cancel): "},
        {"protocol\r", "Choose protocol version (1-2, press Ctrl+C to cancel): "},
        {"ping\r", "Enter device ID (0-252, press Ctrl+C to cancel): "},
    };
    for (const Case &c : cases) {
        auto session = startConsole();
        session->type(c.line);
        EXPECT_SHOWS(session, c.question);
        // Ctrl+C once the answer's keys were taken: keys still unread when it
        // comes wait for the next line.
        session->type("12");
        EXPECT_SHOWS(session, "12");
        session->type("\x03");
        EXPECT_SHOWS(session, "\r\n[INFO] KeyboardInterrupt\r\n>>> ");
        session->type("exit\r");
        EXPECT_EQ(session->waitExit(), 0) << c.line << '\n' << session->output().toStdString();
        const QByteArray output = session->output();
        EXPECT_EQ(output.count("KeyboardInterrupt"), 1) << c.line;
        EXPECT_FALSE(output.contains("[Error]")) << c.line << '\n' << output.toStdString();
        EXPECT_FALSE(output.contains("[Success]")) << c.line << '\n' << output.toStdString();
    }
}

TEST(TerminalConsole, TabCompletesAnItemName)
{
    auto session = startConsole();
    session->type("get 1 present posi\t");
    EXPECT_SHOWS(session, ">>> get 1 Present Position");
    session->type("\x03");
    EXPECT_SHOWS(session, "[INFO] KeyboardInterrupt");
    session->type("goal posi\t");
    EXPECT_SHOWS(session, ">>> Goal Position");
    session->type("\x03");
    EXPECT_SHOWS(session, "[INFO] KeyboardInterrupt");
    session->type("exit\r");
    EXPECT_EQ(session->waitExit(), 0);
}

TEST(TerminalConsole, CtrlCEndsARunningCommandAndStillReachesThePromptAfterIt)
{
    SimProgram bus({QStringLiteral("id=1,model=1020")});
    auto session = startConsole();
    session->type("timeout " + QByteArray::number(sim::kReplySlackMs) + "\r"); // room for a late reply
    EXPECT_SHOWS(session, "[Success] set timeout");
    session->type("open " + bus.portName().toUtf8() + " 57600\r");
    EXPECT_SHOWS(session, "[Success] Port opened successfully");
    // Each silent ID waits out its reply time: the scan runs for seconds.
    session->type("scan 0-252\r");
    EXPECT_SHOWS(session, "ID 1 : ACK");
    session->type("\x03");
    EXPECT_SHOWS(session, "[INFO] KeyboardInterrupt\r\n" + bus.portName().toUtf8() + ", 57600bps > ");
    session->type("ab");
    EXPECT_SHOWS(session, "ab");
    session->type("\x03");
    EXPECT_SHOWS(session, "[INFO] KeyboardInterrupt");
    session->type("exit\r");
    EXPECT_EQ(session->waitExit(), 0);
    EXPECT_FALSE(session->output().contains("Scan completed"));
}

TEST(TerminalConsole, AContinuousGetRewritesOneLineUntilCtrlC)
{
    SimProgram bus({QStringLiteral("id=1,model=1020")});
    auto session = startConsole();
    session->type("timeout " + QByteArray::number(sim::kReplySlackMs) + "\r"); // room for a late reply
    EXPECT_SHOWS(session, "[Success] set timeout");
    session->type("open " + bus.portName().toUtf8() + " 57600\r");
    EXPECT_SHOWS(session, "[Success] Port opened successfully");
    session->type("get 1 Present Position -c\r");
    EXPECT_SHOWS(session, "Press Ctrl+C to stop continuous reading...\r\n");
    const QByteArray row = "\r132  : Present Position          :          0 : 0x00000000 :     0.00 [\xC2\xB0]   ";
    for (int reading = 0; reading < 3; ++reading)
        EXPECT_SHOWS(session, row);
    session->type("\x03");
    EXPECT_SHOWS(session, "[INFO] KeyboardInterrupt\r\n");
    const QByteArray output = session->output();
    const qsizetype first = output.indexOf(row);
    const qsizetype last = output.lastIndexOf(row);
    ASSERT_GE(first, 0);
    EXPECT_FALSE(output.mid(first, last - first).contains('\n')) << "every reading overwrites the one before";
    EXPECT_TRUE(isKeyMode(session->mode())) << "the line editor has its key mode again";
    session->type("exit\r");
    EXPECT_EQ(session->waitExit(), 0);
    EXPECT_TRUE(sameMode(session->mode(), session->initialMode()));
}

TEST(TerminalConsole, CtrlCEndsTheBusWaitOfACommandWhateverItsTimeout)
{
    SimProgram bus({QStringLiteral("id=1,model=1020")});
    const QByteArray prompt = bus.portName().toUtf8() + ", 57600bps > ";
    auto session = startConsole();
    session->type("timeout 2147483647\r"); // ID 7 is silent: its ping would wait for ever
    EXPECT_SHOWS(session, "[Success] set timeout");
    session->type("open " + bus.portName().toUtf8() + " 57600\r");
    EXPECT_SHOWS(session, "[Success] Port opened successfully");
    session->type("get 7 LED\r");
    ASSERT_TRUE(bus.waitForInstruction("2.0 7 PING")) << bus.received().join('\n').toStdString();
    QElapsedTimer sinceCtrlC;
    sinceCtrlC.start();
    session->type("\x03");
    EXPECT_SHOWS(session, "\r\n[INFO] KeyboardInterrupt\r\n" + prompt);
    // A sanity bound only: without the interrupt the wait would never end.
    EXPECT_LT(sinceCtrlC.elapsed(), 10000);
    // The next command runs with a clear token (after the quiet time the late reply might take).
    session->type("timeout " + QByteArray::number(sim::kReplySlackMs) + "\r");
    EXPECT_SHOWS(session, "[Success] set timeout");
    session->type("ping 1\r");
    EXPECT_SHOWS(session, "ID 1 : ACK\r\n");
    session->type("exit\r");
    EXPECT_EQ(session->waitExit(), 0);
    const QByteArray output = session->output();
    EXPECT_EQ(output.count("KeyboardInterrupt"), 1) << output.toStdString();
    EXPECT_FALSE(output.contains("[Error]")) << "the interrupted ping has no error line of its own\n"
                                             << output.toStdString();
}

TEST(TerminalConsole, AnIdleConsoleUsesNoMeasurableCpu)
{
    auto session = startConsole();
    ASSERT_TRUE(session->waitForKeyMode());
    const double before = processCpuSeconds(session->programPid());
    QThread::sleep(3);
    const double used = processCpuSeconds(session->programPid()) - before;
    ASSERT_GE(before, 0);
    // Two threads wait here: the main thread's event loop and the editor's
    // key wait; a busy poll in either would use the whole 3 s.
    EXPECT_LT(used, 0.15) << "CPU seconds over 3 s idle";
}

} // namespace
