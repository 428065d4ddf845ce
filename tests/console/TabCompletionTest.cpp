#include "EditorKeys.h"

#include "tests/support/QtPrinters.h"

namespace {

using namespace editor_keys;

const QStringList kItems = {
    QStringLiteral("Goal Position"),   QStringLiteral("LED Green"),       QStringLiteral("LED Red"),
    QStringLiteral("Present Current"), QStringLiteral("Present Position"), QStringLiteral("Present Velocity"),
    QStringLiteral("Torque Enable"),
};

// The list that Tab prints for the three "Present" items.
const QByteArray kPresents = "\n\"Present Current\" \"Present Position\" \"Present Velocity\" \n";

QByteArray redrawn(const QByteArray &line)
{
    return "\r>>> " + line + QByteArray(80 - 4 - line.size(), ' ') + "\r>>> " + line;
}

struct TabCase
{
    const char *typed;
    QString line;      // after Tab
    QByteArray output; // written by Tab
};

class TabCompletion : public EditorTest
{
protected:
    // Types the text (its echo is dropped), presses Tab, and checks the result.
    void check(const TabCase &c)
    {
        startLine();
        QString line;
        press(line, text(c.typed));
        output_.take();
        EXPECT_FALSE(press(line, keys({kTab}))) << c.typed;
        EXPECT_EQ(line, c.line) << '"' << c.typed << '"';
        EXPECT_EQ(output_.take(), c.output) << '"' << c.typed << '"';
        EXPECT_EQ(editor_->cursorPosition(), c.output.isEmpty() ? int(qstrlen(c.typed)) : int(line.size()))
            << c.typed;
    }
};

TEST_F(TabCompletion, CompletesCommandWords)
{
    editor_->setItemNames(kItems);
    const QByteArray allCommands = "clear close copyright exit get help license open ping port protocol reboot "
                                   "reset scan set status table timeout update upgrade ";
    const QByteArray helpPages = "clear close copyright exit get license open ping port protocol reboot reset "
                                 "scan set table timeout update upgrade ";
    const QList<TabCase> cases = {
        {"", "", "\n" + allCommands + "\n>>> "},
        {"   ", "   ", "\n" + allCommands + "\n>>>    "},
        {"he", "help", redrawn("help")},
        {"p", "p", "\nping port protocol \n>>> p"},
        {"help", "help", "\n" + helpPages + "\n>>> help"},
        {"HELP", "HELP", "\n" + helpPages + "\n>>> HELP"},
        {"help st", "help st", ""}, // "status" has no help page
        {"help re", "help re", "\nreboot reset \n>>> help re"},
        {"help  ex", "help exit", redrawn("help exit")},
        {"sta", "status", redrawn("status")},
        {"zz", "zz", ""},
    };
    for (const TabCase &c : cases)
        check(c);
}

TEST_F(TabCompletion, CompletesItemNamesAfterGetAndSet)
{
    editor_->setItemNames(kItems);
    const QList<TabCase> cases = {
        {"get 5", "get 5", ""},
        {"get", "get", redrawn("get")}, // one word: the command names that start with it
        {"get 5 pres", "get 5 Present ", kPresents + ">>> get 5 Present "},
        {"get 5 present p", "get 5 Present Position", redrawn("get 5 Present Position")},
        {"get 0 pres", "get 0 pres", ""}, // 0 is no device ID: the item text is "0 pres"
        {"GET pres", "GET Present ", kPresents + ">>> GET Present "},
        {"set   tor  ", "set Torque Enable", redrawn("set Torque Enable")},
        {"get led", "get LED ", "\n\"LED Green\" \"LED Red\" \n>>> get LED "},
        {"get 7 PRESENT POSITION", "get 7 Present Position", redrawn("get 7 Present Position")},
        {"get x", "get x", ""},
    };
    for (const TabCase &c : cases)
        check(c);
}

TEST_F(TabCompletion, CompletesImplicitItemCommands)
{
    editor_->setItemNames(kItems);
    const QList<TabCase> cases = {
        {"goal", "Goal Position", redrawn("Goal Position")},
        {"P", "Present ", kPresents + ">>> Present "}, // no command starts with a capital P
        {"5 goal", "5 Goal Position", redrawn("5 Goal Position")},
        {"5 pres", "5 Present ", kPresents + ">>> 5 Present "},
        {"present  vel", "Present Velocity", redrawn("Present Velocity")},
        {"torque enable 1", "torque enable 1", ""},
    };
    for (const TabCase &c : cases)
        check(c);
}

TEST_F(TabCompletion, KeepsTypedTextWhenTheNamesDisagreeInCase)
{
    editor_->setItemNames({QStringLiteral("Abc One"), QStringLiteral("abc Two")});
    check({"get ab", "get ab", "\n\"Abc One\" \"abc Two\" \n>>> get ab"});
}

TEST_F(TabCompletion, ListsTwentyItemNamesAndSaysWhenThereMayBeMore)
{
    QStringList many;
    for (int i = 0; i < 25; ++i)
        many.append(QStringLiteral("Item %1").arg(i, 2, 10, QLatin1Char('0')));
    editor_->setItemNames(many);
    QByteArray twenty;
    for (int i = 0; i < 20; ++i)
        twenty += "\"" + many.at(i).toUtf8() + "\" ";
    const QByteArray more = "[INFO] More results available. Please be more specific.\n";
    check({"item", "Item ", "\n" + twenty + "\n" + more + ">>> Item "});
    check({"3 item", "3 Item ", "\n" + twenty + "\n" + more + ">>> 3 Item "});
    check({"get item", "get Item ", "\n" + twenty + "\n>>> get Item "}); // get is a known command
}

TEST_F(TabCompletion, LeavesTheCursorAloneWhenNothingMatches)
{
    editor_->setItemNames(kItems);
    QString line;
    press(line, text("get 5") + kLeft + kLeft);
    output_.take();
    press(line, keys({kTab}));
    EXPECT_EQ(output_.take(), QByteArray());
    EXPECT_EQ(editor_->cursorPosition(), 3);
    EXPECT_EQ(editor_->itemNames(), kItems);
}

} // namespace
