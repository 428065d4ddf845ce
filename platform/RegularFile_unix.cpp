#include "platform/RegularFile.h"

#include "platform/FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool openRegularFile(const QString &path, QFile &file, QString &error)
{
    // Without O_NONBLOCK, opening a FIFO waits until some writer opens it.
    const int fd = openDescriptor(QFile::encodeName(path), O_RDONLY | O_NONBLOCK | O_NOCTTY, error);
    if (fd < 0)
        return false;
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
    return adoptForReading(fd, file, error);
}

} // namespace platform
