#include "script/ScriptInput.h"

#include "platform/CommandLine.h"

#include <QFile>
#include <QStringDecoder>

namespace script {

namespace {

const QString kTooMuchInput = QStringLiteral("Input exceeds the 1 MiB limit.");
const QString kNotUtf8 = QStringLiteral("Input is not valid UTF-8.");

// The separators of the tokenizer: the characters that trimming removes.
bool isSeparator(QChar c)
{
    const char16_t unit = c.unicode();
    if ((unit >= 0x09 && unit <= 0x0D) || unit == 0x20 || unit == 0x85 || unit == 0xA0)
        return true;
    if (unit <= 0x7F)
        return false;
    const QChar::Category category = c.category();
    return category == QChar::Separator_Space || category == QChar::Separator_Line
           || category == QChar::Separator_Paragraph;
}

bool collectExecuteValues(const QStringList &values, QStringList &commands, QString &error)
{
    qint64 total = 0;
    for (const QString &value : values) {
        if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r'))) {
            error = QStringLiteral("--execute accepts exactly one command per occurrence.");
            return false;
        }
        // Judged on the bytes the user gave, like a file: never run a guess.
        if (platform::hasUndecodableBytes(value)) {
            error = kNotUtf8;
            return false;
        }
        total += value.toUtf8().size();
        if (total > kMaxInputBytes) {
            error = kTooMuchInput;
            return false;
        }
        if (!splitCommands(value, commands, error))
            return false;
    }
    return true;
}

// Reads until the end of the data. A pipe or FIFO is read until its writer
// closes it: only a read that returns nothing marks the end, never an "at
// end" test, which a slow writer's pipe can pass before any data arrived.
bool readInputFile(const QString &path, QByteArray &bytes, QString &error)
{
    // Opened by the bytes the user gave: a name that is not UTF-8 still names its file.
    QFile file;
    QString reason;
    if (path.isEmpty())
        reason = QStringLiteral("No file name given.");
    else
        platform::openForReading(platform::argumentBytes(path), file, reason);
    if (!file.isOpen()) {
        error = QStringLiteral("Cannot open %1: %2").arg(path, reason);
        return false;
    }
    // Never read past one byte beyond the limit.
    while (bytes.size() <= kMaxInputBytes) {
        const qint64 want = qMin(kReadChunkBytes, kMaxInputBytes + 1 - bytes.size());
        const qsizetype before = bytes.size();
        bytes.resize(before + want);
        const qint64 got = file.read(bytes.data() + before, want);
        if (got < 0) {
            bytes.resize(before);
            error = file.errorString();
            if (error.isEmpty())
                error = QStringLiteral("Failed to read input.");
            return false;
        }
        bytes.resize(before + got);
        if (got == 0)
            return true;
    }
    error = kTooMuchInput;
    return false;
}

bool collectFile(const QString &path, QStringList &commands, QString &error)
{
    QByteArray bytes;
    return readInputFile(path, bytes, error) && commandsFromBytes(bytes, commands, error);
}

} // namespace

bool commandsFromBytes(const QByteArray &bytes, QStringList &commands, QString &error)
{
    // Stateless: a sequence cut off at the end counts as an error, too. A
    // leading byte-order mark is skipped by the decoder.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        error = kNotUtf8;
        return false;
    }
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    return splitCommands(text, commands, error);
}

bool splitCommands(const QString &text, QStringList &commands, QString &error)
{
    // A line ends at CR LF, LF or a lone CR. Cut by hand: a regular expression
    // would be compiled at every start for this one split.
    QStringList pieces;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\n') && c != QLatin1Char('\r'))
            continue;
        pieces.append(text.mid(start, i - start));
        if (c == QLatin1Char('\r') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
            ++i;
        start = i + 1;
    }
    pieces.append(text.mid(start));
    for (const QString &piece : std::as_const(pieces)) {
        if (piece.toUtf8().size() > kMaxLineBytes) {
            error = QStringLiteral("Command exceeds the 16 KiB limit.");
            return false;
        }
        const QString line = piece.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        commands.append(line);
    }
    return true;
}

bool tokenize(const QString &line, QStringList &words, QString &error)
{
    words.clear();
    QString word;
    bool started = false;
    QChar quote; // null outside quotes
    bool escaping = false;

    for (const QChar c : line) {
        if (escaping) {
            if (c != QLatin1Char('"') && c != QLatin1Char('\\')) {
                error = QStringLiteral("Only a quote or backslash may be escaped.");
                return false;
            }
            word.append(c);
            escaping = false;
            continue;
        }
        if (c == QLatin1Char('\\') && quote == QLatin1Char('"')) {
            escaping = true;
            started = true;
            continue;
        }
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            else
                word.append(c);
            continue;
        }
        if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            quote = c;
            started = true;
            continue;
        }
        if (isSeparator(c)) {
            if (started) {
                words.append(word);
                word.clear();
                started = false;
            }
            continue;
        }
        word.append(c);
        started = true;
    }

    if (escaping) {
        error = QStringLiteral("Trailing escape character.");
        return false;
    }
    if (!quote.isNull()) {
        error = QStringLiteral("Unterminated quoted string.");
        return false;
    }
    if (started)
        words.append(word);
    return true;
}

bool parseIntInRange(const QString &text, int minimum, int maximum, int &value)
{
    // An optional sign and decimal digits, nothing else: the conversion
    // below would also take blanks around the number.
    const qsizetype digitsFrom = text.startsWith(QLatin1Char('+')) || text.startsWith(QLatin1Char('-')) ? 1 : 0;
    if (text.size() == digitsFrom)
        return false;
    for (qsizetype i = digitsFrom; i < text.size(); ++i)
        if (text.at(i) < QLatin1Char('0') || text.at(i) > QLatin1Char('9'))
            return false;
    bool ok = false;
    // Read as 64 bits: anything that does not fit fails the conversion, so no
    // number is ever cut down before the bounds are tested.
    const qint64 number = text.toLongLong(&ok, 10);
    if (!ok || number < minimum || number > maximum)
        return false;
    value = int(number);
    return true;
}

bool collectCommands(const ScriptOptions &options, QStringList &commands, QString &error)
{
    if (options.readFile)
        return collectFile(options.filePath, commands, error);
    return collectExecuteValues(options.commands, commands, error);
}

} // namespace script
