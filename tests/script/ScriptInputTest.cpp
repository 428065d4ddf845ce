// Script input: tokenizer, line splitting, bounded integers, and collecting the
// commands of a run from --execute values and files, with their limits.

#include "script/ScriptInput.h"
#include "tests/support/QtPrinters.h"

#include <QTemporaryDir>
#include <QTemporaryFile>
#include <gtest/gtest.h>

using script::ScriptOptions;

namespace {

const QString DQ = QStringLiteral("\"");
const QString SQ = QStringLiteral("'");
const QString BS = QStringLiteral("\\");

struct TokenCase
{
    QString line;
    QStringList words;
    QString error; // empty: the line must tokenize
};

TEST(Tokenizer, SplitsQuotesAndEscapesAsScriptsWriteThem)
{
    const TokenCase cases[] = {
        {"set 1 " + DQ + "Goal Position" + DQ + " 100", {"set", "1", "Goal Position", "100"}, {}},
        {"get 1 " + SQ + "Present Position" + SQ, {"get", "1", "Present Position"}, {}},
        {SQ + "a" + BS + "b" + SQ, {"a\\b"}, {}},
        {"a" + BS + "b", {"a\\b"}, {}},
        {DQ + "a" + BS + DQ + "b" + DQ, {"a\"b"}, {}},
        {DQ + "a" + BS + BS + "b" + DQ, {"a\\b"}, {}},
        {DQ + "a" + BS + "nb" + DQ, {}, "Only a quote or backslash may be escaped."},
        {DQ + "abc" + BS, {}, "Trailing escape character."},
        {SQ + "abc", {}, "Unterminated quoted string."},
        {"a  b", {"a", "b"}, {}},
        {"set 1 " + DQ + DQ + " 5", {"set", "1", "", "5"}, {}},
        {DQ + "a" + SQ + "b" + DQ, {"a'b"}, {}},
        // A quoted section inside a word joins it.
        {"ab" + DQ + "c d" + DQ + "e", {"abc de"}, {}},
        // Tabs, no-break and ideographic spaces separate words too.
        {QStringLiteral("ping\t1\u00A02\u30003"), {"ping", "1", "2", "3"}, {}},
        {QString(), {}, {}},
        {SQ + SQ, {""}, {}},
    };
    for (const TokenCase &c : cases) {
        SCOPED_TRACE(c.line.toStdString());
        QStringList words{"stale"};
        QString error;
        const bool ok = script::tokenize(c.line, words, error);
        EXPECT_EQ(ok, c.error.isEmpty());
        EXPECT_EQ(error, c.error);
        if (ok) {
            EXPECT_EQ(words, c.words);
        }
    }
}

TEST(SplitCommands, BreaksAtEveryLineEndAndDropsBlanksAndComments)
{
    QStringList commands{"earlier"};
    QString error;
    ASSERT_TRUE(script::splitCommands("a\rb\r\nc\n\n   \n  # note\n  ping 1 # not a comment  \n#x", commands, error));
    EXPECT_EQ(commands, (QStringList{"earlier", "a", "b", "c", "ping 1 # not a comment"}));
}

TEST(SplitCommands, HoldsEachLineTo16KiBBeforeTrimming)
{
    const struct
    {
        QString line;
        bool fits;
    } cases[] = {
        {QString(16384, 'x'), true},
        {QString(16385, 'x'), false},
        {QString(16384, 'x') + ' ', false},        // the trailing blank counts
        {QString(8192, QChar(0x00E9)), true},      // 2 bytes each: 16384
        {QString(8192, QChar(0x00E9)) + 'x', false},
    };
    for (const auto &c : cases) {
        QStringList commands;
        QString error;
        EXPECT_EQ(script::splitCommands("ok\n" + c.line, commands, error), c.fits) << c.line.size();
        EXPECT_EQ(error, c.fits ? QString() : QStringLiteral("Command exceeds the 16 KiB limit."));
    }
}

TEST(ParseIntInRange, AcceptsOnlyBase10WithinTheBounds)
{
    const struct
    {
        QString text;
        int minimum;
        int maximum;
        bool ok;
        int value;
    } cases[] = {
        {"252", 0, 252, true, 252},
        {"0", 0, 252, true, 0},
        {"253", 0, 252, false, 0},
        {"-1", 0, 252, false, 0},
        {"0x10", 0, 252, false, 0},
        {"+7", 0, 252, true, 7},
        {"", 0, 252, false, 0},
        {"1.0", 0, 252, false, 0},
        {"-2147483648", INT_MIN, INT_MAX, true, INT_MIN},
        {"2147483647", INT_MIN, INT_MAX, true, INT_MAX},
        {"2147483648", INT_MIN, INT_MAX, false, 0},
        // Bigger than 64 bits: refused, never wrapped into range.
        {"18446744073709551617", 0, INT_MAX, false, 0},
        {"4294967297", 0, 252, false, 0},
        // Blanks around the digits are no part of a number.
        {" 1", 0, 252, false, 0},
        {"7 ", 0, 252, false, 0},
        {"\t7", 0, 252, false, 0},
        {"- 7", INT_MIN, INT_MAX, false, 0},
    };
    for (const auto &c : cases) {
        int value = -99;
        EXPECT_EQ(script::parseIntInRange(c.text, c.minimum, c.maximum, value), c.ok) << c.text.toStdString();
        EXPECT_EQ(value, c.ok ? c.value : -99) << c.text.toStdString();
    }
}

ScriptOptions executeOptions(const QStringList &values)
{
    ScriptOptions options;
    options.valid = true;
    options.commands = values;
    return options;
}

TEST(ExecuteInput, EachValueIsOneLineAndAllOfThemAtMostOneMiB)
{
    const QString full(16384, 'x');
    const struct
    {
        const char *what;
        QStringList values;
        QString error;
        qsizetype commands;
    } cases[] = {
        {"two values", {"ping 1", "  get 1 LED  "}, {}, 2},
        {"an empty value", {""}, {}, 0},
        {"a line feed", {"ping 1", "ping 2\nping 3"}, "--execute accepts exactly one command per occurrence.", 0},
        {"a carriage return", {"ping 1\r"}, "--execute accepts exactly one command per occurrence.", 0},
        {"a value over 16 KiB", {QString(20000, 'x')}, "Command exceeds the 16 KiB limit.", 0},
        {"64 full values", QStringList(64, full), {}, 64},
        {"65 full values", QStringList(65, full), "Input exceeds the 1 MiB limit.", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QStringList commands;
        QString error;
        EXPECT_EQ(script::collectCommands(executeOptions(c.values), commands, error), c.error.isEmpty());
        EXPECT_EQ(error, c.error);
        if (c.error.isEmpty()) {
            EXPECT_EQ(commands.size(), c.commands);
        }
    }
}

TEST(ExecuteInput, RefusesValuesThatWereNotUtf8)
{
    // U+DC80 + byte: how the command line keeps bytes that are not UTF-8.
    const QString undecodable = QStringLiteral("get 1 ") + QChar(0xDCFF);
    QStringList commands;
    QString error;
    EXPECT_FALSE(script::collectCommands(executeOptions({"ping 1", undecodable}), commands, error));
    EXPECT_EQ(error, QStringLiteral("Input is not valid UTF-8."));

    // A replacement character the user typed is ordinary text.
    error.clear();
    commands.clear();
    EXPECT_TRUE(script::collectCommands(executeOptions({QStringLiteral("get 1 \uFFFD")}), commands, error));
    EXPECT_EQ(commands, QStringList{QStringLiteral("get 1 \uFFFD")});
}

class FileInput : public ::testing::Test
{
protected:
    // Collects the commands of a file holding `bytes`.
    bool collect(const QByteArray &bytes)
    {
        QTemporaryFile file(dir.filePath(QStringLiteral("script-XXXXXX")));
        EXPECT_TRUE(file.open());
        file.write(bytes);
        file.close();
        ScriptOptions options;
        options.valid = true;
        options.readFile = true;
        options.filePath = file.fileName();
        commands.clear();
        error.clear();
        return script::collectCommands(options, commands, error);
    }

    QTemporaryDir dir;
    QStringList commands;
    QString error;
};

TEST_F(FileInput, ReadsLinesAndDropsOneOrTwoByteOrderMarks)
{
    const QByteArray bom("\xEF\xBB\xBF");
    for (const QByteArray &prefix : {QByteArray(), bom, bom + bom}) {
        ASSERT_TRUE(collect(prefix + "ping 1\r\n# comment\r\n\r\nget 1 \"Present Position\"\n")) << error.toStdString();
        EXPECT_EQ(commands, (QStringList{"ping 1", "get 1 \"Present Position\""}));
    }
}

TEST_F(FileInput, EmptyOrCommentOnlyFilesGiveNoCommands)
{
    for (const QByteArray &bytes : {QByteArray(), QByteArray("\n\n  \n"), QByteArray("# a\n   # b\n")}) {
        ASSERT_TRUE(collect(bytes));
        EXPECT_TRUE(commands.isEmpty());
    }
}

TEST_F(FileInput, RefusesWhatIsNotUtf8)
{
    for (const QByteArray &bytes : {QByteArray("ping 1\n\xE2\x82"), QByteArray("ping \xFF\n"),
                                    QByteArray("get 1 \xC0\xAF\n"), QByteArray("get 1 \xED\xA0\x80\n")}) {
        EXPECT_FALSE(collect(bytes)) << bytes.toHex().toStdString();
        EXPECT_EQ(error, QStringLiteral("Input is not valid UTF-8."));
    }
}

TEST_F(FileInput, HoldsTheFileToOneMiBAsStored)
{
    const QByteArray line = QByteArray(1023, 'x') + '\n';
    EXPECT_TRUE(collect(line.repeated(1024))) << error.toStdString(); // exactly 1,048,576 bytes
    EXPECT_EQ(commands.size(), 1024);
    EXPECT_FALSE(collect(line.repeated(1024) + '\n'));
    EXPECT_EQ(error, QStringLiteral("Input exceeds the 1 MiB limit."));
    EXPECT_FALSE(collect(line.repeated(3000)));
    EXPECT_EQ(error, QStringLiteral("Input exceeds the 1 MiB limit."));
}

TEST_F(FileInput, NamesTheFileItCannotOpen)
{
    ScriptOptions options;
    options.valid = true;
    options.readFile = true;
    for (const QString &path : {dir.filePath(QStringLiteral("missing.txt")), dir.path()}) {
        options.filePath = path;
        EXPECT_FALSE(script::collectCommands(options, commands, error));
        EXPECT_TRUE(error.startsWith(QStringLiteral("Cannot open %1: ").arg(path))) << error.toStdString();
    }
}

} // namespace
