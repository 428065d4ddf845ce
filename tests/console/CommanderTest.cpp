// The read-eval-print loop and its prompts, with keys from a pipe.
#include "ConsoleTexts.h"

#include "console/app/Commander.h"
#include "licenses/LicenseTexts.h"
#include "tests/support/KeyPipe.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/QtPrinters.h"

#include <QSignalSpy>
#include <csignal>
#include <gtest/gtest.h>
#include <optional>

namespace {


// A Commander whose keys come from a pipe that the test fills (and closes).
class CommanderTest : public ::testing::Test
{
protected:
    void SetUp() override { commander_.emplace(input_.keys()); }
    void TearDown() override { commander_.reset(); }

    // Types `keys`, ends the input, runs the loop to its end.
    QByteArray session(const QByteArray &keys)
    {
        input_.send(keys);
        input_.closeWriter();
        QSignalSpy exits(&*commander_, &Commander::exitCommand);
        commander_->run();
        exitCount_ = int(exits.count());
        return output_.take();
    }

    KeyPipe input_;
    OutputCapture output_;
    std::optional<Commander> commander_;
    int exitCount_ = -1;
};

TEST_F(CommanderTest, RunsCommandsUntilExit)
{
    // "test" is one of the two words that are neither commands nor item names.
    const QByteArray output = session("help\ntest\nhelp GET\nexit\nhelp\n");
    EXPECT_EQ(output, ">>> help\n" + kHelpSummary +
                          ">>> test\n"
                          "[Error] Command not found - Unknown command: test\n"
                          ">>> help GET\n"
                          "[Error] GET is unknown command.\n"
                          ">>> exit\n");
    EXPECT_EQ(exitCount_, 1);
}

TEST_F(CommanderTest, TheEndOfInputEndsTheConsoleLikeExit)
{
    const QByteArray output = session("help exit\nhelp port");
    EXPECT_EQ(output, ">>> help exit\n"
                      "exit : Quit the program.\n"
                      "use) exit\n"
                      ">>> help port\n"
                      "port : Prints a list of available serial ports on the system.\n"
                      "use) port\n"
                      ">>> \n");
    EXPECT_EQ(exitCount_, 1);
}

TEST_F(CommanderTest, ExitInAnyCaseAndWithWordsEndsTheLoop)
{
    for (const QByteArray &line : {QByteArray("EXIT\n"), QByteArray("Exit now please\n")}) {
        KeyPipe keys;
        Commander commander(keys.keys());
        keys.send(line + "help\n");
        QSignalSpy exits(&commander, &Commander::exitCommand);
        commander.run();
        EXPECT_EQ(exits.count(), 1) << line.toStdString();
        EXPECT_FALSE(output_.take().contains("Available commands")) << line.toStdString();
    }
}

TEST_F(CommanderTest, BlankLinesDoNothingAndRunsOfBlanksSeparateWordsOnce)
{
    const QByteArray output = session("\n   \nhelp   exit  \nexit\n");
    EXPECT_EQ(output, ">>> \n"
                      ">>>    \n"
                      ">>> help   exit  \n"
                      "exit : Quit the program.\n"
                      "use) exit\n"
                      ">>> exit\n");
}

TEST_F(CommanderTest, LicenseCopyrightAndUpgradeAnswerInTheConsole)
{
    const QByteArray output = session("copyright\ncopyright now\nLICENSE please\nupgrade --check\nUpgrade x\nlicense\n");
    const QByteArray expectedStart = ">>> copyright\n" + copyrightText().toUtf8() +
                                     ">>> copyright now\n"
                                     "[Error] Usage: copyright\n"
                                     ">>> LICENSE please\n"
                                     "[Error] Usage: LICENSE\n"
                                     ">>> upgrade --check\n"
                                     "upgrade is only supported on the Linux AppImage build.\n"
                                     ">>> Upgrade x\n"
                                     "upgrade is only supported on the Linux AppImage build.\n"
                                     ">>> license\n";
    EXPECT_EQ(output.left(expectedStart.size()), expectedStart);
    EXPECT_EQ(output.mid(expectedStart.size()), loadLicenseText().toUtf8() + ">>> \n");
}

TEST_F(CommanderTest, TestAndAgingAreNoCommandsAndNoItemLines)
{
    const QByteArray output = session("test\naging 1\nexit\n");
    EXPECT_EQ(output, ">>> test\n"
                      "[Error] Command not found - Unknown command: test\n"
                      ">>> aging 1\n"
                      "[Error] Command not found - Unknown command: aging\n"
                      ">>> exit\n");
}

TEST_F(CommanderTest, CtrlCAtThePromptDiscardsTheLineAndReportsOnce)
{
    const QByteArray output = session("help ex\x03help exit\n\x03\x03");
    EXPECT_EQ(output, ">>> help ex\n"
                      "[INFO] KeyboardInterrupt\n"
                      ">>> help exit\n"
                      "exit : Quit the program.\n"
                      "use) exit\n"
                      ">>> \n"
                      "[INFO] KeyboardInterrupt\n"
                      ">>> \n"
                      "[INFO] KeyboardInterrupt\n"
                      ">>> \n");
    EXPECT_EQ(exitCount_, 1);
}

TEST_F(CommanderTest, TheControlHandlerTakesCtrlCOnlyWhileACommanderExists)
{
    EXPECT_FALSE(commander_->checkInterrupted());
    EXPECT_FALSE(Commander::consoleCtrlHandler(platform::ControlEvent::Break)) << "Ctrl+Break keeps its default";
    EXPECT_FALSE(commander_->checkInterrupted());
    EXPECT_TRUE(Commander::consoleCtrlHandler(platform::ControlEvent::Interrupt));
    EXPECT_TRUE(commander_->checkInterrupted());

    // The real signal reaches the same flag (and the one the editor points at).
    commander_.emplace(input_.keys());
    ASSERT_FALSE(commander_->checkInterrupted());
    ASSERT_EQ(std::raise(SIGINT), 0);
    EXPECT_TRUE(commander_->checkInterrupted());

    commander_.reset();
    EXPECT_FALSE(Commander::consoleCtrlHandler(platform::ControlEvent::Interrupt));
}

TEST(CommanderItemLines, AFirstWordThatIsNoCommandStartsAnItemLine)
{
    struct Case
    {
        const char *word;
        bool itemLine;
    };
    const QList<Case> cases = {
        {"Goal", true},  {"Present", true}, {"7", true},     {"Test", true},  {"AGING", true},
        {"get", false},  {"GET", false},    {"Set", false},  {"exit", false}, {"status", false},
        {"test", false}, {"aging", false},  {"help", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Commander::isImplicitItemCommand(QString::fromLatin1(c.word)), c.itemLine) << c.word;
}

// ---- prompts ----

const QByteArray kIdPrompt = "Enter device ID (0-252, press Ctrl+C to cancel): ";
const QByteArray kInvalidId = "[Error] Invalid device ID. Device ID must be between 0 and 252\n";

TEST_F(CommanderTest, TheIdPromptAsksUntilItHasAValidId)
{
    input_.send("\nabc\n253\n-1\n7\n");
    uchar id = 0;
    ASSERT_TRUE(commander_->promptDeviceId(id));
    EXPECT_EQ(id, 7);
    EXPECT_EQ(output_.take(), kIdPrompt + "\n" + kIdPrompt + "abc\n" + kInvalidId + kIdPrompt + "253\n" + kInvalidId +
                                  kIdPrompt + "-1\n" + kInvalidId + kIdPrompt + "7\n");
}

TEST_F(CommanderTest, PromptsGiveUpSilentlyOnCtrlCAndAtTheEndOfInput)
{
    using Prompt = bool (*)(Commander &);
    const QList<QPair<const char *, Prompt>> prompts = {
        {"device ID", [](Commander &c) { uchar id = 0; return c.promptDeviceId(id); }},
        {"baud rate", [](Commander &c) { int rate = 0; return c.chooseBaudrate(rate); }},
        {"custom baud rate", [](Commander &c) { int rate = 0; return c.chooseBaudrate(rate); }},
        {"protocol", [](Commander &c) { QString version; return c.chooseProtocolVersion(version); }},
    };
    for (const auto &[name, prompt] : prompts) {
        const QByteArray lead = QByteArray(name) == "custom baud rate" ? "10\n" : "";
        {
            KeyPipe keys;
            Commander commander(keys.keys());
            keys.send(lead + "12\x03" "5\n");
            EXPECT_FALSE(prompt(commander)) << name;
            EXPECT_TRUE(commander.checkInterrupted()) << name << ": the flag stays for the loop's report";
            EXPECT_FALSE(output_.take().contains("[Error]")) << name;
        }
        {
            KeyPipe keys;
            Commander commander(keys.keys());
            keys.send(lead.isEmpty() ? QByteArray("\n\n") : lead); // empty answers first, where they are asked again
            keys.closeWriter();
            EXPECT_FALSE(prompt(commander)) << name << ": the end of input cancels";
            const QByteArray output = output_.take();
            EXPECT_FALSE(output.contains("[Error]")) << name;
            EXPECT_LT(output.size(), 2000) << name << ": asked again and again";
        }
    }
}

TEST_F(CommanderTest, APortNameHoldingANulByteIsRefusedUnopened)
{
    // The key decoder drops a typed NUL; a name from elsewhere is checked all the same.
    commander_->onOpenCommand({QStringLiteral("open"), QStringLiteral("/dev/null") + QChar(u'\0') + "x",
                               QStringLiteral("57600")});
    EXPECT_EQ(output_.take(), "[Error] Port name must not contain a NUL byte\n");
}

TEST_F(CommanderTest, TheBaudRateMenuListsOnceAndRepeatsOnlyItsPrompt)
{
    const QByteArray &prompt = kBaudRateQuestion;
    const QByteArray custom = "Enter custom baudrate (press Ctrl+C to cancel): ";
    const QByteArray badIndex = "[Error] Invalid baudrate index\n";
    const QByteArray badRate = "[Error] Invalid baudrate. Must be a positive integer\n";
    struct Case
    {
        QByteArray answers;
        int rate;
        QByteArray afterMenu;
    };
    const QList<Case> cases = {
        {"4\n", 1000000, prompt + "4\n"},
        {"9\n", 6000000, prompt + "9\n"},
        {"\n0\n-1\n11\nabc\n1\n", 9600,
         prompt + "\n" + prompt + "0\n" + badIndex + prompt + "-1\n" + badIndex + prompt + "11\n" + badIndex + prompt +
             "abc\n" + badIndex + prompt + "1\n"},
        {"10\n0\n10\nabc\n10\n250000\n", 250000,
         prompt + "10\n" + custom + "0\n" + badRate + prompt + "10\n" + custom + "abc\n" + badRate + prompt + "10\n" +
             custom + "250000\n"},
    };
    for (const Case &c : cases) {
        commander_.emplace(input_.keys());
        output_.take();
        input_.send(c.answers);
        int rate = 0;
        ASSERT_TRUE(commander_->chooseBaudrate(rate)) << c.answers.toStdString();
        EXPECT_EQ(rate, c.rate) << c.answers.toStdString();
        EXPECT_EQ(output_.take(), kBaudRateMenu + c.afterMenu) << c.answers.toStdString();
    }
}

TEST_F(CommanderTest, TheProtocolMenuIsWrittenWholeForEveryQuestion)
{
    const QByteArray menu = "----- Protocol Version Options -----\n"
                            "  1 : Protocol 1.0\n"
                            "  2 : Protocol 2.0\n"
                            "Choose protocol version (1-2, press Ctrl+C to cancel): ";
    const QByteArray invalid = "[Error] Invalid choice\n";
    struct Case
    {
        QByteArray answers;
        QString version;
        QByteArray output;
    };
    const QList<Case> cases = {
        {"1\n", QStringLiteral("1.0"), menu + "1\n"},
        // "2.0" is no menu number.
        {"\n3\nabc\n2.0\n2\n", QStringLiteral("2.0"),
         menu + "\n" + menu + "3\n" + invalid + menu + "abc\n" + invalid + menu + "2.0\n" + invalid + menu + "2\n"},
    };
    for (const Case &c : cases) {
        input_.send(c.answers);
        QString version;
        ASSERT_TRUE(commander_->chooseProtocolVersion(version)) << c.answers.toStdString();
        EXPECT_EQ(version, c.version) << c.answers.toStdString();
        EXPECT_EQ(output_.take(), c.output) << c.answers.toStdString();
    }
}

} // namespace
