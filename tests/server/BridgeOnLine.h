#pragma once
// The TCP-to-serial bridge on a bare pseudo-terminal line whose far end the
// test holds: it reads only when asked, and it can hang up under the bridge,
// as a pulled USB adapter does.

#include "BridgeRecord.h"

#include <QString>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

struct PtyLine
{
    int master = -1; // the far end
    int slave = -1;  // held open, as a serial driver holds its tty
    QString name;

    PtyLine()
    {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return;
        termios t{};
        ::tcgetattr(slave, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
        char path[128] = {};
        ::ttyname_r(slave, path, sizeof path);
        name = QString::fromLocal8Bit(path);
    }
    ~PtyLine()
    {
        for (int fd : {master, slave}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;

    bool isOpen() const { return master >= 0; }

    // The far end goes away: whoever has the line open sees a hang-up.
    void hangUp()
    {
        ::close(master);
        master = -1;
    }

    // How many bytes the line takes before a writer must wait; it is empty again afterwards.
    qint64 capacity() const
    {
        const int writer = ::open(name.toLocal8Bit().constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        const QByteArray block(4096, 'x');
        qint64 held = 0;
        for (ssize_t n; (n = ::write(writer, block.constData(), size_t(block.size()))) > 0;)
            held += n;
        ::close(writer);
        read(held);
        return held;
    }

    // Reads at the far end until `count` bytes came or nothing more came for `quietMs`.
    QByteArray read(qint64 count, int quietMs = 5000) const
    {
        QByteArray out;
        char chunk[65536];
        while (out.size() < count) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, quietMs) <= 0)
                break;
            const ssize_t n = ::read(master, chunk, size_t(qMin<qint64>(sizeof chunk, count - out.size())));
            if (n <= 0)
                break;
            out.append(chunk, n);
        }
        return out;
    }

    // Sends from the far end.
    bool write(const QByteArray &bytes) const
    {
        return ::write(master, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
};

struct LineHolder
{
    PtyLine line;
};

// The line comes first, so that the bridge stops before it goes away.
struct BridgeOnLine : LineHolder, BridgeRecord
{
    bool start() { return startOn(line.name); }
};

// CPU seconds that every thread of this process but the calling one has
// used: the bridge's worker, while the test thread only waits and watches.
inline double otherThreadsCpuSeconds()
{
    const auto seconds = [](clockid_t clock) {
        timespec t{};
        ::clock_gettime(clock, &t);
        return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
    };
    return seconds(CLOCK_PROCESS_CPUTIME_ID) - seconds(CLOCK_THREAD_CPUTIME_ID);
}

// Sends `bytes` on a blocking socket until all went or none could go for
// `quietMs`; the bytes sent.
inline qint64 sendAll(int fd, const QByteArray &bytes, int quietMs = 10000)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, quietMs) <= 0 || !(p.revents & POLLOUT))
            break;
        const ssize_t n =
            ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EAGAIN)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}
