#pragma once
// Collects what the program writes through platform::OutputSink while it
// lives, so a test can compare the exact bytes.

#include "platform/OutputSink.h"

#include <QByteArray>

class OutputCapture
{
public:
    OutputCapture() { platform::OutputSink::beginCapture(&buffer_); }
    ~OutputCapture() { platform::OutputSink::endCapture(); }
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    // Everything written since the last take(), left in place.
    const QByteArray &peek() const { return buffer_; }

    // Everything written since the last take().
    QByteArray take()
    {
        QByteArray bytes = buffer_;
        buffer_.clear();
        return bytes;
    }

private:
    QByteArray buffer_;
};
