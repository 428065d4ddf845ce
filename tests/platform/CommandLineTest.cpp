// Reading the command line: UTF-8 arguments as text, bytes that are not UTF-8
// kept recognisable instead of being replaced.

#include "platform/CommandLine.h"
#include "tests/support/QtPrinters.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace {

TEST(CommandLine, DecodesUtf8AndMarksEveryOtherByte)
{
    const struct
    {
        const char *bytes;
        QString text;
        bool undecodable;
    } cases[] = {
        {"ping 1", "ping 1", false},
        {"", "", false},
        {"get 1 \"Pr\xC3\xA9sent\"", QStringLiteral("get 1 \"Pr\u00E9sent\""), false},
        {"\xF0\x9F\x98\x80", QString::fromUtf8("\xF0\x9F\x98\x80"), false},
        {"\xEF\xBF\xBD", QStringLiteral("\uFFFD"), false}, // a replacement character typed by the user
        {"a\xFF" "b", QStringLiteral("a") + QChar(0xDCFF) + QStringLiteral("b"), true},
        {"\xC0\xAF", QString(QChar(0xDCC0)) + QChar(0xDCAF), true},          // overlong "/"
        {"\xED\xA0\x80", QString(QChar(0xDCED)) + QChar(0xDCA0) + QChar(0xDC80), true}, // a surrogate
        {"x\xE2\x82", QStringLiteral("x") + QChar(0xDCE2) + QChar(0xDC82), true},   // cut off
        {"\xF4\x90\x80\x80", QString(QChar(0xDCF4)) + QChar(0xDC90) + QChar(0xDC80) + QChar(0xDC80), true},
        // U+10080 is the pair D800 DC80: its low half is no undecodable byte.
        {"\xF0\x90\x82\x80\xFF", QString::fromUtf8("\xF0\x90\x82\x80") + QChar(0xDCFF), true},
    };
    for (const auto &c : cases) {
        const char *argv[] = {"zephlet-cli", c.bytes, nullptr};
        const QStringList arguments = platform::commandLineArguments(2, argv);
        ASSERT_EQ(arguments.size(), 2);
        EXPECT_EQ(arguments.at(0), "zephlet-cli");
        EXPECT_EQ(arguments.at(1), c.text) << QByteArray(c.bytes).toHex().toStdString();
        EXPECT_EQ(platform::hasUndecodableBytes(arguments.at(1)), c.undecodable);
        // The user's bytes come back exactly, and the shown text is valid.
        EXPECT_EQ(platform::argumentBytes(arguments.at(1)), QByteArray(c.bytes));
        const QString shown = platform::displayable(arguments.at(1));
        EXPECT_TRUE(shown.isValidUtf16());
        EXPECT_EQ(shown.size(), arguments.at(1).size());
        EXPECT_EQ(shown.count(QChar::ReplacementCharacter) > arguments.at(1).count(QChar::ReplacementCharacter),
                  c.undecodable);
    }
}

TEST(CommandLine, OpensAFileByItsBytesAndRefusesWhatIsNoFile)
{
    QFile file;
    QString error;
    EXPECT_FALSE(platform::openForReading(QByteArray("/tmp\0/passwd", 12), file, error));
    EXPECT_FALSE(file.isOpen());
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(platform::openForReading("/tmp", file, error));
    EXPECT_EQ(error, qt_error_string(EISDIR));
    EXPECT_FALSE(platform::openForReading("/nonexistent/\xFF", file, error));
    EXPECT_EQ(error, qt_error_string(ENOENT));
}

} // namespace
