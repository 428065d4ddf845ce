#include "EditorKeys.h"

#include "tests/support/QtPrinters.h"
#include "tests/support/WaitRescue.h"

#include <QTimer>
#include <chrono>
#include <thread>

namespace {

using namespace editor_keys;

struct EditCase
{
    const char *name;
    Keys setup;    // typed first; its echo is not checked
    Keys pressed;  // the keys under test
    bool simple;
    QString line;
    int cursor;
    QByteArray echo;
};

TEST_F(EditorTest, EditsEchoExactlyWhatTheTerminalNeeds)
{
    const QList<EditCase> cases = {
        {"insert mid-line", text("abc"), keys({kLeft, kLeft}) + text("X"), false, "aXbc", 2,
         "\b\bXbc\b\b"},
        {"backspace mid-line", text("abcd") + kLeft + kLeft, keys({kBackspace}), false, "acd", 1,
         "\b \bcd \b\b\b"},
        {"backspace at the end", text("ab"), keys({kBackspace}), false, "a", 1, "\b \b"},
        {"delete mid-line", text("abcd") + kLeft + kLeft, keys({kDelete}), false, "abd", 2, "\x1b[Kd\b"},
        {"delete the last character", text("abc") + kLeft, keys({kDelete}), false, "ab", 2, "\x1b[K"},
        {"right writes the character passed", text("abc") + kLeft + kLeft, keys({kRight}), false, "abc", 2, "b"},
        {"home reprints the prompt", text("abc"), keys({kHome}), false, "abc", 0, "\r>>> "},
        {"end writes the rest", text("abc") + kHome, keys({kEnd}), false, "abc", 3, "abc"},
        {"keys in simple mode", text("abc"), keys({kLeft, kBackspace, kDelete}) + text("Z"), true, "aZ", 2,
         "\b\b \bc \b\b\x1b[KZ"},
        // Keys that change nothing write nothing.
        {"backspace on an empty line", {}, keys({kBackspace}), false, "", 0, ""},
        {"backspace at the start", text("ab") + kHome, keys({kBackspace}), false, "ab", 0, ""},
        {"delete at the end", text("ab"), keys({kDelete}), false, "ab", 2, ""},
        {"left at the start", text("ab") + kHome, keys({kLeft}), false, "ab", 0, ""},
        {"right and end at the end", text("ab"), keys({kRight, kEnd}), false, "ab", 2, ""},
        {"home at the start", text("ab") + kHome, keys({kHome}), false, "ab", 0, ""},
        {"simple mode ignores tab, up, down, home, end", text("he"), keys({kTab, kUp, kDown, kHome, kEnd}), true,
         "he", 2, ""},
        {"non-ASCII and control characters are not inserted",
         text("a"), keys({KeyEvent{0xE9, 0, false}, KeyEvent{0x1F600, 0, false}, KeyEvent{0x01, 'A', true}}), false,
         "a", 1, ""},
    };
    for (const EditCase &c : cases) {
        editor_.emplace(&prompt_, input_.keys()); // a fresh editor: cursor at 0
        QString line;
        ASSERT_FALSE(press(line, c.setup, c.simple)) << c.name;
        output_.take();
        EXPECT_FALSE(press(line, c.pressed, c.simple)) << c.name;
        EXPECT_EQ(line, c.line) << c.name;
        EXPECT_EQ(editor_->cursorPosition(), c.cursor) << c.name;
        EXPECT_EQ(output_.take(), c.echo) << c.name;
    }
}

TEST_F(EditorTest, EnterEndsTheLineAndKeepsTheKeysBehindIt)
{
    QString line;
    platform::KeyQueue queue = queueOf(text("ab") + kEnter + text("cd") + kEnter);
    EXPECT_TRUE(editor_->processConsoleInput(queue, line, true));
    EXPECT_EQ(line, QStringLiteral("ab"));
    EXPECT_EQ(output_.take(), QByteArray("ab\n"));
    ASSERT_EQ(queue.size(), 3); // c, d, Enter wait for the next line
    EXPECT_EQ(queue.head().character, U'c');
}

TEST_F(EditorTest, LinefeedAndCarriageReturnEndTheLineEvenWithCtrlHeld)
{
    // Ctrl+M and Ctrl+J act through their characters: a C key code with Ctrl
    // and a CR or LF character is Enter, not Ctrl+C.
    std::atomic<bool> flag{false};
    editor_->setInterruptFlag(&flag);
    for (char32_t end : {U'\r', U'\n'}) {
        startLine();
        QString line;
        EXPECT_TRUE(press(line, text("x") + KeyEvent{end, platform::kVkC, true}));
        EXPECT_EQ(line, QStringLiteral("x"));
    }
    EXPECT_FALSE(flag.load());
}

TEST_F(EditorTest, AppliesAtMost128KeysPerPoll)
{
    QString line;
    platform::KeyQueue queue = queueOf(Keys(200, KeyEvent{U'a', 'A', false}));
    EXPECT_FALSE(editor_->processConsoleInput(queue, line, true));
    EXPECT_EQ(line.size(), 128);
    EXPECT_EQ(queue.size(), 72);
}

TEST_F(EditorTest, HistoryKeepsTrimmedUniqueEntriesAndAtMostAHundred)
{
    editor_->addToHistory(QStringLiteral("  ping 1 "));
    editor_->addToHistory(QStringLiteral("   "));
    editor_->addToHistory(QStringLiteral("scan"));
    editor_->addToHistory(QStringLiteral("ping 1"));
    EXPECT_EQ(editor_->history(), (QStringList{QStringLiteral("scan"), QStringLiteral("ping 1")}));
    EXPECT_EQ(editor_->historyPosition(), -1);

    for (int i = 0; i < 101; ++i)
        editor_->addToHistory(QStringLiteral("line %1").arg(i));
    EXPECT_EQ(editor_->history().size(), 100);
    EXPECT_EQ(editor_->history().first(), QStringLiteral("line 1"));
    EXPECT_EQ(editor_->history().last(), QStringLiteral("line 100"));
}

TEST_F(EditorTest, UpAndDownBrowseHistoryAndBringBackTheUnfinishedLine)
{
    QString line;
    press(line, keys({kUp, kDown})); // empty history: nothing at all
    EXPECT_EQ(output_.take(), QByteArray());

    editor_->addToHistory(QStringLiteral("first"));
    editor_->addToHistory(QStringLiteral("second"));
    press(line, keys({kDown})); // a fresh line: Down does nothing
    EXPECT_EQ(output_.take(), QByteArray());

    press(line, text("par"));
    output_.take();
    press(line, keys({kUp}));
    EXPECT_EQ(line, QStringLiteral("second"));
    EXPECT_EQ(editor_->cursorPosition(), 6);
    EXPECT_EQ(output_.take(), "\r>>> second" + QByteArray(70, ' ') + "\r>>> second");

    press(line, keys({kUp, kUp})); // the second Up is at the oldest entry: nothing
    EXPECT_EQ(line, QStringLiteral("first"));
    EXPECT_EQ(output_.take(), "\r>>> first" + QByteArray(71, ' ') + "\r>>> first");

    press(line, keys({kDown, kDown}));
    EXPECT_EQ(line, QStringLiteral("par"));
    EXPECT_EQ(editor_->historyPosition(), -1);
    EXPECT_EQ(editor_->cursorPosition(), 3);
    press(line, keys({kDown}));
    EXPECT_EQ(line, QStringLiteral("par"));
}

TEST_F(EditorTest, AnAbandonedLineLeavesTheHistoryPositionWhereBrowsingLeftIt)
{
    for (const char *entry : {"one", "two", "three"})
        editor_->addToHistory(QString::fromLatin1(entry));
    std::atomic<bool> flag{false};
    editor_->setInterruptFlag(&flag);
    QString line;
    EXPECT_TRUE(press(line, keys({kUp, kCtrlC})));
    EXPECT_TRUE(flag.load());
    EXPECT_EQ(editor_->historyPosition(), 0);
    line.clear();
    press(line, keys({kUp}));
    EXPECT_EQ(line, QStringLiteral("two"));
}

TEST_F(EditorTest, CtrlCKeyWithALentFlagCancelsWithoutOneItEndsTheLine)
{
    send(QByteArray("abc\x03"));
    EXPECT_EQ(editor_->readLine(false), QStringLiteral("abc"));
    EXPECT_EQ(output_.take(), QByteArray("abc\n"));

    std::atomic<bool> flag{false};
    editor_->setInterruptFlag(&flag);
    send(QByteArray("abc\x03"));
    EXPECT_EQ(editor_->readLine(false), QString());
    EXPECT_TRUE(flag.load()); // the editor never clears a lent flag
    EXPECT_EQ(output_.take(), QByteArray("abc\n"));
}

TEST_F(EditorTest, AReadWithTheLentFlagSetReturnsAtOnceAndLeavesTheKeys)
{
    std::atomic<bool> flag{true};
    editor_->setInterruptFlag(&flag);
    send(QByteArray("next\n"));
    EXPECT_EQ(editor_->readLine(true), QString());
    EXPECT_EQ(output_.take(), QByteArray("\n"));
    flag = false;
    EXPECT_EQ(editor_->readLine(true), QStringLiteral("next"));
    editor_->clearInterruptFlag();
    EXPECT_EQ(editor_->interruptFlag(), nullptr);
}

TEST_F(EditorTest, LinesOfOneReadComeOneByOneAndTheEndCancels)
{
    std::atomic<bool> flag{false};
    editor_->setInterruptFlag(&flag);
    send(QByteArray("first\nsecond\r\n\nthi\x1b[Dx\x1b[Crd"));
    closeInput();
    EXPECT_EQ(editor_->readLine(false), QStringLiteral("first"));
    EXPECT_EQ(editor_->readLine(false), QStringLiteral("second"));
    EXPECT_EQ(editor_->readLine(false), QString());
    EXPECT_FALSE(flag.load()); // an empty line is an answer, not the end
    EXPECT_FALSE(editor_->atEndOfInput());
    output_.take();
    EXPECT_EQ(editor_->readLine(false), QStringLiteral("thxird")); // the last line had no line end
    EXPECT_EQ(output_.take(), QByteArray("thi\bxi\bird\n"));
    EXPECT_FALSE(flag.load());
    EXPECT_FALSE(editor_->atEndOfInput()); // that line is the last one, not the end

    EXPECT_EQ(editor_->readLine(true), QString());
    EXPECT_TRUE(flag.load()); // a waiting prompt ends as cancelled
    EXPECT_TRUE(editor_->atEndOfInput());
    EXPECT_EQ(output_.take(), QByteArray("\n"));
}

TEST_F(EditorTest, TheEndWithoutALentFlagIsToldByAtEndOfInput)
{
    closeInput();
    EXPECT_EQ(editor_->readLine(false), QString());
    EXPECT_TRUE(editor_->atEndOfInput());
}

TEST_F(EditorTest, PunctuationIsTypedNotTakenForCursorKeys)
{
    send(QByteArray("%&'(.$#\n"));
    EXPECT_EQ(editor_->readLine(false), QStringLiteral("%&'(.$#"));
}

TEST_F(EditorTest, AStopRequestReturnsThePartialLineWithoutALineEnd)
{
    send(QByteArray("ab"));
    QTimer watcher; // runs inside the read, which keeps Qt events flowing
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (editor_->cursorPosition() == 2)
            editor_->requestStop();
    });
    watcher.start(1);
    EXPECT_EQ(editor_->readLine(false), QStringLiteral("ab"));
    EXPECT_EQ(output_.take(), QByteArray("ab"));
    send(QByteArray("cd\n"));
    EXPECT_EQ(editor_->readLine(false), QString()); // every later read returns at once
}

TEST_F(EditorTest, AStopRequestFromAnotherThreadEndsAWaitingRead)
{
    std::thread stopper([this] {
        ::usleep(50 * 1000);
        editor_->requestStop();
    });
    EXPECT_EQ(editor_->readLine(false), QString());
    stopper.join();
    EXPECT_EQ(output_.take(), QByteArray());
}

TEST_F(EditorTest, AWaitingReadHandlesTheTimersAndQueuedCallsOfItsThread)
{
    // The read sleeps until keys come; a timer or a queued call meanwhile is
    // handled at once, here by typing the line the read then returns.
    QObject context;
    auto typeLine = [this](const char *line) { send(QByteArray(line) + '\n'); };
    std::thread caller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        QMetaObject::invokeMethod(&context, [&] { typeLine("queued"); }, Qt::QueuedConnection);
    });
    {
        const WaitRescue rescue([&] { typeLine("rescued"); });
        EXPECT_EQ(editor_->readLine(false), QStringLiteral("queued"));
    }
    caller.join();

    QTimer::singleShot(20, &context, [&] { typeLine("timer"); });
    {
        const WaitRescue rescue([&] { typeLine("rescued"); });
        EXPECT_EQ(editor_->readLine(true), QStringLiteral("timer"));
    }
}

} // namespace
