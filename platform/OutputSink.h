#pragma once
// The program's standard output. Every printer, value row, prompt and packet
// trace line goes through here rather than to stdout directly, so that script
// mode can take one command's output into a buffer.

#include <QByteArray>
#include <QString>

namespace platform {

class OutputSink
{
public:
    // Writes at once (no buffering of our own, so nothing needs a flush).
    static void write(const QString &text);
    static void write(const QByteArray &utf8);
    static void write(const char *data, qsizetype size);

    // While a capture is active everything written is appended to `buffer`
    // instead of reaching standard output. Captures do not nest.
    static void beginCapture(QByteArray *buffer);
    static void endCapture();
    static bool isCapturing();
};

// The program's standard error. Never captured: script mode writes its error
// lines and a command's forwarded diagnostics here while standard output
// carries nothing but records.
class ErrorSink
{
public:
    static void write(const QString &text);
    static void write(const QByteArray &utf8);
};

// Writes all bytes to a file descriptor, retrying short writes and EINTR.
// A closed reader (EPIPE) drops the rest silently: output loss never ends the program
// (the first call makes the process ignore SIGPIPE).
bool writeAll(int fd, const char *data, qsizetype size);

} // namespace platform
