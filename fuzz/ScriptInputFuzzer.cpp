// Any bytes as a script file (-f): decoded, cut into command lines, each line
// split into words, and every word tried as a number. Whatever the bytes hold,
// nothing crashes; an accepted file was UTF-8, its lines hold no line break and
// are trimmed, the words of a line survive quoting and splitting again, and a
// number is taken only as a sign and digits.
#include "FuzzCheck.h"
#include "script/ScriptInput.h"

#include <QRegularExpression>
#include <QStringDecoder>

#include <cstddef>
#include <cstdint>
#include <limits>

namespace {

// The word inside double quotes, each quote and backslash escaped.
QString quoted(const QString &word)
{
    QString text = QStringLiteral("\"");
    for (const QChar c : word) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            text += QLatin1Char('\\');
        text += c;
    }
    return text + QLatin1Char('"');
}

void checkNumber(const QString &word)
{
    static const QRegularExpression integer(QStringLiteral("^[+-]?[0-9]+$"));
    int value = 12345;
    const bool taken = script::parseIntInRange(word, -1000, 1000, value);
    if (!taken) {
        FUZZ_CHECK(value == 12345);
        return;
    }
    FUZZ_CHECK(integer.match(word).hasMatch());
    FUZZ_CHECK(value >= -1000 && value <= 1000);
    FUZZ_CHECK(word.toLongLong() == value);
    int any = 0;
    FUZZ_CHECK(script::parseIntInRange(word, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), any));
    FUZZ_CHECK(any == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QStringList commands;
    QString error;
    if (!script::commandsFromBytes(bytes, commands, error)) {
        FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    (void)decoder.decode(bytes);
    FUZZ_CHECK(!decoder.hasError());

    for (const QString &line : std::as_const(commands)) {
        FUZZ_CHECK(!line.isEmpty() && line == line.trimmed() && !line.startsWith(QLatin1Char('#')));
        FUZZ_CHECK(!line.contains(QLatin1Char('\n')) && !line.contains(QLatin1Char('\r')));
        FUZZ_CHECK(line.toUtf8().size() <= script::kMaxLineBytes);

        QStringList words;
        QString tokenError;
        if (!script::tokenize(line, words, tokenError)) {
            FUZZ_CHECK(!tokenError.isEmpty());
            continue;
        }
        QStringList quotedWords;
        for (const QString &word : std::as_const(words)) {
            quotedWords << quoted(word);
            checkNumber(word);
        }
        QStringList again;
        FUZZ_CHECK(script::tokenize(quotedWords.join(QLatin1Char(' ')), again, tokenError));
        FUZZ_CHECK(again == words);
    }
    return 0;
}
