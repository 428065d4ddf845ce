// The questions the device operations ask: the item chooser and the three set
// dialogues, answered with typed keys through the real line editor.

#include "console/io/InputManager.h"
#include "control/ItemLookup.h"
#include "control/SetDialogue.h"
#include "device/QvxDeviceModel.h"
#include "tests/control/TestModel.h"
#include "tests/support/KeyPipe.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using control_test::TestModel;

const QByteArray kRule = QByteArray(30, '-') + '\n';

class PromptsTest : public ::testing::Test
{
protected:
    // What the dialogue wrote: (value, length) per write.
    struct Write
    {
        int value;
        int length;
        bool operator==(const Write &o) const { return value == o.value && length == o.length; }
    };

    void type(const QByteArray &keys) { pipe_.send(keys); }

    SetDialogue dialogue()
    {
        return SetDialogue(&editor_, flag_, [this](int value, int length) {
            writes_.append({value, length});
            return writeSucceeds_;
        });
    }

    QString prompt_ = QStringLiteral(">>> ");
    KeyPipe pipe_;
    InputManager editor_{&prompt_, pipe_.keys()};
    std::atomic<bool> flag_{false};
    OutputCapture output_;
    TestModel ts_;
    QList<Write> writes_;
    bool writeSucceeds_ = true;
};

TEST_F(PromptsTest, ExactNamesWinAndPartialNamesAreChosenByNumber)
{
    struct Case
    {
        const char *typed;
        const char *answers;
        bool result;
        const char *found; // null: no item
    };
    const Case cases[] = {
        {"goal pwm", "", true, "Goal PWM"},
        {"HIDDEN TRIM", "", true, "Hidden Trim"}, // hidden items are found by their exact name
        {"trim", "", true, nullptr},              // ... but never offered
        {"nothing like it", "", true, nullptr},
        {"limit", "2\r", true, "Velocity Limit"},
        {"Torque", "1\r", true, "Torque Enable"}, // one partial match is still offered
        {"limit", "\x03", false, nullptr},
    };
    for (const Case &c : cases) {
        type(c.answers);
        QvxControlItem *item = reinterpret_cast<QvxControlItem *>(1);
        EXPECT_EQ(lookUpItem(ts_.model(), QString::fromUtf8(c.typed), &item, &editor_, flag_), c.result) << c.typed;
        EXPECT_EQ(item ? item->name : QString(), c.found ? QString::fromUtf8(c.found) : QString()) << c.typed;
        EXPECT_EQ(editor_.interruptFlag(), nullptr) << c.typed;
        output_.take();
    }
}

TEST_F(PromptsTest, ASingleLetterIsAnUnknownItemNotAMenu)
{
    // Letters that many names hold: no chooser, so no line typed after them
    // is taken for one of its choices.
    for (const char *letter : {"y", "e", "T"}) {
        QvxControlItem *item = reinterpret_cast<QvxControlItem *>(1);
        EXPECT_TRUE(lookUpItem(ts_.model(), QString::fromLatin1(letter), &item, &editor_, flag_)) << letter;
        EXPECT_EQ(item, nullptr) << letter;
        EXPECT_TRUE(output_.take().isEmpty()) << letter;
    }
}

TEST_F(PromptsTest, ChooserListsSortedNamesAndAsksUntilAValidNumber)
{
    type("\r0\rx\r5\r3\r");
    QvxControlItem *item = nullptr;
    ASSERT_TRUE(lookUpItem(ts_.model(), QStringLiteral("present"), &item, &editor_, flag_));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->name, QStringLiteral("Present PWM"));
    const QByteArray ask = "Choose item number (1-4, press Ctrl+C to cancel): ";
    EXPECT_EQ(output_.take(), kRule + "1 : Motor Present Temperature\n2 : Present Current\n3 : Present PWM\n"
                                      "4 : Present Position\n"
                                  + kRule + ask + "\n" + ask + "0\n[Error] Invalid index\n" + ask
                                  + "x\n[Error] Invalid index\n" + ask + "5\n[Error] Invalid index\n" + ask + "3\n");
}

TEST_F(PromptsTest, ChooserEndsAtTheEndOfInput)
{
    type("7\r");
    pipe_.closeWriter();
    QvxControlItem *item = nullptr;
    EXPECT_FALSE(lookUpItem(ts_.model(), QStringLiteral("limit"), &item, &editor_, flag_));
    EXPECT_EQ(editor_.interruptFlag(), nullptr);
}

TEST_F(PromptsTest, ValueChoiceOffersNamedValuesAndRefusesEverythingElse)
{
    type("2\rx\r\r1\r");
    dialogue().chooseValue(ts_.item(QStringLiteral("Torque Enable")), 0, 1);
    EXPECT_EQ(writes_, (QList<Write>{{1, 1}}));
    const QByteArray ask = "Choose item number (0-1, press Ctrl+C to cancel): ";
    EXPECT_EQ(output_.take(), kRule + "  0 : OFF\n  1 : ON\n" + kRule + ask + "2\n[Error] Invalid item index\n" + ask
                                  + "x\n[Error] Invalid item index\n" + ask + "\n" + ask
                                  + "1\n[Success] change Torque Enable to ON\n");
    EXPECT_EQ(editor_.interruptFlag(), nullptr);
}

// Operating Mode (Min 0) names 0 Current, 1 "-", 2 Velocity, 3 Position, 4 PWM.
TEST_F(PromptsTest, ValueChoiceOffersTheNamedValuesWithinTheBounds)
{
    struct Case
    {
        int minimum;
        int maximum;
        const char *offered;
        const char *answers; // the last one is taken
        int written;
    };
    const Case cases[] = {
        // A "-" keeps its value but is not offered.
        {0, 4, "  0 : Current\n  2 : Velocity\n  3 : Position\n  4 : PWM\n", "1\r2\r", 2},
        // Bounds narrower than the labels: the names outside them are neither offered nor taken.
        {0, 2, "  0 : Current\n  2 : Velocity\n", "3\r4\r0\r", 0},
        {2, 3, "  2 : Velocity\n  3 : Position\n", "0\r4\r3\r", 3},
    };
    for (const Case &c : cases) {
        writes_.clear();
        type(c.answers);
        dialogue().chooseValue(ts_.item(QStringLiteral("Operating Mode")), c.minimum, c.maximum);
        EXPECT_EQ(writes_, (QList<Write>{{c.written, 1}})) << c.minimum << "-" << c.maximum;
        const QByteArray out = output_.take();
        EXPECT_TRUE(out.startsWith(kRule + c.offered + kRule)) << out.toStdString();
        const int refused = int(QByteArray(c.answers).count('\r')) - 1;
        EXPECT_EQ(out.count("[Error] Invalid item index\n"), refused) << out.toStdString();
    }
}

TEST_F(PromptsTest, ValueChoiceWithoutChoicesAsksNothing)
{
    type("0\r");
    dialogue().chooseValue(ts_.item(QStringLiteral("Empty Choice")), 0, 1);
    EXPECT_TRUE(writes_.isEmpty());
    EXPECT_EQ(output_.take(), "[Error] No values to choose from for Empty Choice\n");
}

TEST_F(PromptsTest, BitEntrySetsNamedBitsAndAsksAgainWhenNoneWasUsable)
{
    type("\r9\r1, x\r0, 2,2\r");
    dialogue().enterBits(ts_.item(QStringLiteral("Drive Mode")));
    EXPECT_EQ(writes_, (QList<Write>{{5, 1}}));
    const QByteArray ask = "Enter bit numbers (e.g., 0,1,2 or ',' to clear all, press Ctrl+C to cancel): ";
    EXPECT_EQ(output_.take(),
              kRule + "  Bit 7 : -\n  Bit 6 : -\n  Bit 5 : -\n  Bit 4 : -\n  Bit 3 : -\n  Bit 2 : Time-based Profile\n"
                      "  Bit 1 : -\n  Bit 0 : Reverse Mode\n"
                  + kRule + ask + "\n[Error] Input cannot be empty\n" + ask + "9\n[WARN] Invalid bit number: 9\n" + ask
                  + "1, x\n[WARN] Bit 1 cannot be set.\n[WARN] Invalid input:  x\n" + ask
                  + "0, 2,2\n[Success] change Drive Mode to Reverse Mode, Time-based Profile, \n");
}

TEST_F(PromptsTest, BitEntryCommaClearsEveryBit)
{
    type(" , \r");
    dialogue().enterBits(ts_.item(QStringLiteral("Status Flags")));
    EXPECT_EQ(writes_, (QList<Write>{{0, 1}}));
    EXPECT_TRUE(output_.take().endsWith("[Success] change Status Flags to (all bits cleared)\n"));
}

TEST_F(PromptsTest, ValueEntryKeepsToTheRangeAndNeverTakesTextForZero)
{
    int scaleLines = 0;
    type("abc\r886\r-886\r\r-885\r");
    dialogue().enterValue(ts_.item(QStringLiteral("Goal PWM")), -885, 885, [&] {
        ++scaleLines;
        return QStringLiteral("0.113 [%]");
    });
    EXPECT_EQ(writes_, (QList<Write>{{-885, 2}}));
    const QByteArray ask = "Scale :  0.113 [%]\nInput value (-885-885, press Ctrl+C to cancel): ";
    EXPECT_EQ(output_.take(), ask + "abc\n[Error] Invalid value\n" + ask + "886\n[Error] Invalid value\n" + ask
                                  + "-886\n[Error] Invalid value\n" + ask + "\n" + ask
                                  + "-885\n[Success] change Goal PWM to -885\n");
    EXPECT_EQ(scaleLines, 5);
}

TEST_F(PromptsTest, AFailedWriteEndsTheDialogueWithoutSuccessLine)
{
    writeSucceeds_ = false;
    type("0\r");
    dialogue().chooseValue(ts_.item(QStringLiteral("Torque Enable")), 0, 1);
    EXPECT_EQ(writes_.size(), 1);
    EXPECT_FALSE(output_.take().contains("[Success]"));
}

TEST_F(PromptsTest, CtrlCOrTheEndOfInputWritesNothing)
{
    using Run = std::function<void(SetDialogue &)>;
    const QList<QPair<const char *, Run>> dialogues = {
        {"value choice", [&](SetDialogue &d) { d.chooseValue(ts_.item(QStringLiteral("Torque Enable")), 0, 1); }},
        {"bit entry", [&](SetDialogue &d) { d.enterBits(ts_.item(QStringLiteral("Drive Mode"))); }},
        {"value entry",
         [&](SetDialogue &d) { d.enterValue(ts_.item(QStringLiteral("Goal PWM")), 0, 10, [] { return QString(); }); }},
    };
    for (const auto &[name, run] : dialogues) {
        type("3"); // typed, not entered
        type("\x03");
        SetDialogue d = dialogue();
        run(d);
        EXPECT_TRUE(writes_.isEmpty()) << name;
        EXPECT_TRUE(flag_.load()) << name;
        EXPECT_EQ(editor_.interruptFlag(), nullptr) << name;
        EXPECT_FALSE(output_.take().contains("[Success]")) << name;
    }
    pipe_.closeWriter();
    for (const auto &[name, run] : dialogues) {
        SetDialogue d = dialogue();
        run(d);
        EXPECT_TRUE(writes_.isEmpty()) << name << " at the end of input";
    }
}

} // namespace
