#include "platform/FileContents.h"

#include "platform/FileDescriptor.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr qsizetype kFirstBufferSize = 64 * 1024; // most description files fit in one read

} // namespace

bool readFileContents(const QString &path, QByteArray &buffer, qsizetype *size, qsizetype limit)
{
    *size = 0;
    QString unused;
    const int fd = openDescriptor(QFile::encodeName(path), O_RDONLY, unused);
    if (fd < 0)
        return false;
    bool ok = true;
    qsizetype got = 0;
    while (got <= limit) {
        if (got == buffer.size())
            buffer.resize(std::min(std::max(buffer.size() * 2, kFirstBufferSize), limit + 1));
        const qsizetype room = std::min(buffer.size(), limit + 1) - got;
        const ssize_t n = ::read(fd, buffer.data() + got, size_t(room));
        if (n > 0) {
            got += n;
            continue;
        }
        if (n == 0)
            break;
        if (errno != EINTR) {
            ok = false; // a folder, a file that went bad: no contents to give
            break;
        }
    }
    ::close(fd);
    *size = got;
    return ok;
}

} // namespace platform
