#include "platform/OutputSink.h"
#include "platform/ConsoleControl.h"

#include <QMutex>

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace platform {

namespace {
// The bridge server prints from its own thread; a mutex keeps a capture switch
// and a write from crossing.
QMutex sinkMutex;
QByteArray *captureBuffer = nullptr;
} // namespace

bool writeAll(int fd, const char *data, qsizetype size)
{
    ignoreBrokenPipe(); // a closed reader must give EPIPE here, not end the process
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n > 0) {
            data += n;
            size -= n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Someone made the descriptor non-blocking; wait until it drains.
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        return false; // EPIPE and other hard errors: the reader is gone
    }
    return true;
}

void OutputSink::write(const QString &text)
{
    write(text.toUtf8());
}

void OutputSink::write(const QByteArray &utf8)
{
    write(utf8.constData(), utf8.size());
}

void OutputSink::write(const char *data, qsizetype size)
{
    if (size <= 0)
        return;
    QMutexLocker lock(&sinkMutex);
    if (captureBuffer) {
        captureBuffer->append(data, size);
        return;
    }
    writeAll(STDOUT_FILENO, data, size);
}

void OutputSink::beginCapture(QByteArray *buffer)
{
    QMutexLocker lock(&sinkMutex);
    captureBuffer = buffer;
}

void OutputSink::endCapture()
{
    QMutexLocker lock(&sinkMutex);
    captureBuffer = nullptr;
}

bool OutputSink::isCapturing()
{
    QMutexLocker lock(&sinkMutex);
    return captureBuffer != nullptr;
}

void ErrorSink::write(const QString &text)
{
    write(text.toUtf8());
}

void ErrorSink::write(const QByteArray &utf8)
{
    writeAll(STDERR_FILENO, utf8.constData(), utf8.size());
}

} // namespace platform
