#include "console/app/CommandParser.h"
#include "device/ConsoleConstants.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/QtPrinters.h"

#include <QMetaMethod>
#include <QSignalSpy>
#include <gtest/gtest.h>
#include <memory>

namespace {

// The parser's signal of a command word: "<word>Command".
QMetaMethod signalOf(const QString &word)
{
    const QMetaObject &meta = CommandParser::staticMetaObject;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        if (method.methodType() == QMetaMethod::Signal && method.name() == word.toLatin1() + "Command")
            return method;
    }
    return {};
}

TEST(CommandParser, EachOfTheTwentyWordsInAnyCaseEmitsOnlyItsOwnSignal)
{
    ASSERT_EQ(kCommandNames.size(), 20);
    const QStringList withoutWords{QStringLiteral("exit"), QStringLiteral("port"), QStringLiteral("close")};
    for (const QString &word : kCommandNames) {
        for (const QString &typed : {word, word.toUpper(), word.left(1).toUpper() + word.mid(1)}) {
            CommandParser parser;
            std::vector<std::unique_ptr<QSignalSpy>> spies;
            for (const QString &other : kCommandNames) {
                const QMetaMethod signal = signalOf(other);
                ASSERT_TRUE(signal.isValid()) << other.toStdString();
                spies.push_back(std::make_unique<QSignalSpy>(&parser, signal));
            }
            const QStringList fields{typed, QStringLiteral("1"), QStringLiteral("Goal"), QStringLiteral("-c")};
            OutputCapture output;
            parser.executeCommand(typed, fields);
            EXPECT_EQ(output.take(), QByteArray()) << typed.toStdString();
            for (qsizetype i = 0; i < kCommandNames.size(); ++i) {
                QSignalSpy &spy = *spies.at(size_t(i));
                if (kCommandNames.at(i) != word) {
                    EXPECT_EQ(spy.count(), 0) << typed.toStdString() << " emitted " << kCommandNames.at(i).toStdString();
                    continue;
                }
                ASSERT_EQ(spy.count(), 1) << typed.toStdString();
                if (withoutWords.contains(word))
                    EXPECT_TRUE(spy.first().isEmpty()) << typed.toStdString();
                else
                    EXPECT_EQ(spy.first().value(0).toStringList(), fields) << "the words go on unchanged";
            }
        }
    }
}

TEST(CommandParser, AnUnknownWordIsReportedAsTypedAndEmitsNothing)
{
    for (const QString &word : {QStringLiteral("foo"), QStringLiteral("FOO"), QStringLiteral("test"),
                                QStringLiteral("aging"), QStringLiteral("gett")}) {
        CommandParser parser;
        QSignalSpy get(&parser, &CommandParser::getCommand);
        QSignalSpy exit(&parser, &CommandParser::exitCommand);
        OutputCapture output;
        parser.executeCommand(word, {word});
        EXPECT_EQ(output.take(), "[Error] Command not found - Unknown command: " + word.toUtf8() + '\n');
        EXPECT_EQ(get.count() + exit.count(), 0);
    }
}

TEST(CommandParser, ErrorKindsChooseTheirPrefix)
{
    const QList<QPair<int, QByteArray>> cases = {
        {0, "[Error] Invalid parameter - x\n"},
        {1, "[Error] Command not found - x\n"},
        {2, "[Error] Server error - x\n"},
        {3, ""},
        {-1, ""},
    };
    for (const auto &[kind, expected] : cases) {
        OutputCapture output;
        CommandParser::reportError(kind, QStringLiteral("x"));
        EXPECT_EQ(output.take(), expected) << kind;
    }
}

} // namespace
