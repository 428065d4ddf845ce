#undef _FORTIFY_SOURCE // the open functions below are defined, not wrapped
#include "tests/support/OpenRecord.h"

#include <atomic>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>

namespace {

std::atomic<bool> recording{false};
std::mutex lock;
QList<QByteArray> *noted = nullptr; // while recording

void note(const char *path)
{
    if (!recording.load() || !path)
        return;
    const std::lock_guard guard(lock);
    if (noted)
        noted->append(QByteArray(path));
}

using Open = int (*)(const char *, int, ...);

} // namespace

OpenRecord::OpenRecord()
{
    const std::lock_guard guard(lock);
    noted = new QList<QByteArray>;
    recording.store(true);
}

OpenRecord::~OpenRecord()
{
    recording.store(false);
    const std::lock_guard guard(lock);
    delete noted;
    noted = nullptr;
}

QList<QByteArray> OpenRecord::paths() const
{
    const std::lock_guard guard(lock);
    return noted ? *noted : QList<QByteArray>();
}

// Qt asks for open64, our own code for open: in a 64-bit C library they are
// one function, and so they are here.
extern "C" {

int open(const char *path, int flags, ...)
{
    // The mode argument is there only when the flags create a file.
    mode_t mode = 0;
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    note(path);
    static const Open real = reinterpret_cast<Open>(::dlsym(RTLD_NEXT, "open"));
    return real(path, flags, mode);
}

int open64(const char *path, int flags, ...) __attribute__((alias("open")));

} // extern "C"
