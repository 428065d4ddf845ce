#include "console/io/Console.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

TEST(ConsolePrinters, EachPrinterWritesItsPrefixTheTextAndOneLineEnd)
{
    struct Case
    {
        void (Console::*printer)(const QString &) const;
        QString text;
        QByteArray expected;
    };
    const QList<Case> cases = {
        {&Console::printLine, QStringLiteral("Port closed"), "Port closed\n"},
        {&Console::printError, QStringLiteral("Failed to open port"), "[Error] Failed to open port\n"},
        {&Console::printError, QString(), "[Error] \n"},
        {&Console::printWarning, QStringLiteral("Invalid input: x"), "[WARN] Invalid input: x\n"},
        {&Console::printInfo, QStringLiteral("KeyboardInterrupt"), "[INFO] KeyboardInterrupt\n"},
        {&Console::printSuccess, QStringLiteral("set timeout 50[ms] OK"), "[Success] set timeout 50[ms] OK\n"},
        // Only the first line of a multi-line text carries the prefix; text is UTF-8.
        {&Console::printInfo, QStringLiteral("two\nlines \u00B0"), "[INFO] two\nlines \xC2\xB0\n"},
    };
    for (const Case &c : cases) {
        OutputCapture output;
        (Console::instance().*c.printer)(c.text);
        EXPECT_EQ(output.take(), c.expected) << c.text.toStdString();
    }
}

TEST(ConsolePrompt, DefaultFormattedAndSetPrompts)
{
    EXPECT_EQ(Console::defaultPrompt(), QStringLiteral(">>> "));
    QString prompt = Console::defaultPrompt();
    Console::formatPrompt(prompt, QStringLiteral("COM3"), QStringLiteral("1Mbps"));
    EXPECT_EQ(prompt, QStringLiteral("COM3, 1Mbps > "));
    EXPECT_EQ(prompt.size(), 14);
    Console::formatPrompt(prompt, QStringLiteral("/dev/odd%2"), QStringLiteral("9600bps"));
    EXPECT_EQ(prompt, QStringLiteral("/dev/odd%2, 9600bps > "));
    Console::setPrompt(prompt, QStringLiteral("? "));
    EXPECT_EQ(prompt, QStringLiteral("? "));

    OutputCapture output;
    Console::print(QStringLiteral(">>> "));
    EXPECT_EQ(output.take(), QByteArray(">>> "));
}

TEST(ConsolePrompt, RedrawBlanksOutToColumnEighty)
{
    struct Case
    {
        const char *name;
        QString prompt;
        QString line;
        QByteArray expected;
    };
    const QString ten = QStringLiteral("0123456789");
    const QString seventySix = QString(76, QLatin1Char('x'));
    const QString astral = QStringLiteral("\U0001F600"); // two UTF-16 units, four UTF-8 bytes
    const QList<Case> cases = {
        {"short line", QStringLiteral(">>> "), ten,
         "\r>>> 0123456789" + QByteArray(66, ' ') + "\r>>> 0123456789"},
        {"exactly eighty", QStringLiteral(">>> "), seventySix, "\r>>> " + seventySix.toUtf8()},
        {"beyond eighty", QStringLiteral(">>> "), seventySix + ten, "\r>>> " + (seventySix + ten).toUtf8()},
        {"units, not bytes", QStringLiteral(">>> "), astral,
         "\r>>> \xF0\x9F\x98\x80" + QByteArray(74, ' ') + "\r>>> \xF0\x9F\x98\x80"},
        {"empty line", QStringLiteral(">>> "), QString(), "\r>>> " + QByteArray(76, ' ') + "\r>>> "},
    };
    for (const Case &c : cases) {
        OutputCapture output;
        Console::redrawLine(c.prompt, c.line);
        EXPECT_EQ(output.take(), c.expected) << c.name;
    }
}

} // namespace
