#include "platform/RegularFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool openRegularFile(const QString &path, QFile &file, QString &error)
{
    const QByteArray name = QFile::encodeName(path);
    // The system would read a name cut at its first NUL byte.
    if (name.contains('\0')) {
        error = qt_error_string(EINVAL);
        return false;
    }
    // Without O_NONBLOCK, opening a FIFO waits until some writer opens it.
    int fd = -1;
    do {
        fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = qt_error_string(errno);
        return false;
    }
    // Checked on the open file, so that nothing can be put in its place between
    // the check and the open.
    struct stat status{};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = QStringLiteral("not a regular file");
        ::close(fd);
        return false;
    }
    // Reads of a regular file never wait; the flag only matters for the open.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        error = file.errorString();
        ::close(fd);
        return false;
    }
    return true;
}

} // namespace platform
