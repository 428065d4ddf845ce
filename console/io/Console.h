#pragma once
// The interactive side's message lines and prompt operations. Everything goes
// to standard output through platform::OutputSink as UTF-8, written at once.
// Printers take the level by their choice, never inside the text:
//   Console::instance().printError("Failed to open port")
// writes "[Error] Failed to open port" and a line end. A multi-line text is
// written unchanged, so only its first line carries the prefix.

#include <QString>

class Console
{
public:
    static Console &instance();

    void printLine(const QString &text) const;    // text, line end
    void printError(const QString &text) const;   // "[Error] ", text, line end
    void printWarning(const QString &text) const; // "[WARN] ", text, line end
    void printInfo(const QString &text) const;    // "[INFO] ", text, line end
    void printSuccess(const QString &text) const; // "[Success] ", text, line end

    // Writes the text as it is, without a line end.
    static void print(const QString &text);

    // ">>> ", the prompt of a console without an open port.
    static QString defaultPrompt();
    // Makes the prompt "<port>, <baud text> > ", e.g. "COM3, 1Mbps > ".
    static void formatPrompt(QString &prompt, const QString &portName, const QString &baudText);
    static void setPrompt(QString &prompt, const QString &text);

    // Rewrites the input line in place: CR, prompt, line; then, when prompt
    // and line together are shorter than 80 UTF-16 units, blanks up to column
    // 80 and CR, prompt, line again, so that the cursor ends behind the line
    // and what was left of a longer line is blanked out.
    static void redrawLine(const QString &prompt, const QString &line);

private:
    Console() = default;
};
