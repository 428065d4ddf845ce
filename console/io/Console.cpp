#include "console/io/Console.h"

#include "device/ConsoleConstants.h"
#include "platform/OutputSink.h"

namespace {

// The width that a redraw blanks out to: the console's classic 80 columns.
constexpr qsizetype kRedrawWidth = 80;

// One write per line, so lines from two threads never mix within a line.
void writeLine(const char *prefix, const QString &text)
{
    QByteArray bytes(prefix);
    bytes += text.toUtf8();
    bytes += '\n';
    platform::OutputSink::write(bytes);
}

} // namespace

Console &Console::instance()
{
    static Console console;
    return console;
}

void Console::printLine(const QString &text) const { writeLine("", text); }
void Console::printError(const QString &text) const { writeLine("[Error] ", text); }
void Console::printWarning(const QString &text) const { writeLine("[WARN] ", text); }
void Console::printInfo(const QString &text) const { writeLine("[INFO] ", text); }
void Console::printSuccess(const QString &text) const { writeLine("[Success] ", text); }

void Console::print(const QString &text)
{
    platform::OutputSink::write(text);
}

QString Console::defaultPrompt()
{
    return kPrompt;
}

void Console::formatPrompt(QString &prompt, const QString &portName, const QString &baudText)
{
    // One pass over both arguments: a port name holding "%2" stays as it is.
    prompt = QStringLiteral("%1, %2 > ").arg(portName, baudText);
}

void Console::setPrompt(QString &prompt, const QString &text)
{
    prompt = text;
}

void Console::redrawLine(const QString &prompt, const QString &line)
{
    const QByteArray shown = '\r' + prompt.toUtf8() + line.toUtf8();
    QByteArray bytes = shown;
    const qsizetype blanks = kRedrawWidth - (prompt.size() + line.size());
    if (blanks > 0) {
        bytes += QByteArray(blanks, ' ');
        bytes += shown;
    }
    platform::OutputSink::write(bytes);
}
