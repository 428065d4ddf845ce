#include "platform/FileDescriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

int openDescriptor(const QByteArray &name, int flags, QString &error)
{
    if (name.contains('\0')) {
        error = qt_error_string(EINVAL);
        return -1;
    }
    int fd = -1;
    do {
        fd = ::open(name.constData(), flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        error = qt_error_string(errno);
    return fd;
}

bool adoptForReading(int fd, QFile &file, QString &error)
{
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        error = file.errorString();
        ::close(fd);
        return false;
    }
    return true;
}

} // namespace platform
