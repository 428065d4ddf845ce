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

// The mode argument is there only when the flags create a file.
mode_t modeOf(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

template <class Function>
Function next(const char *name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

using Open = int (*)(const char *, int, ...);
using OpenAt = int (*)(int, const char *, int, ...);

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

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    note(path);
    static const Open real = next<Open>("open");
    return real(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    note(path);
    static const Open real = next<Open>("open64");
    return real(path, flags, mode);
}

int openat(int folder, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    note(path);
    static const OpenAt real = next<OpenAt>("openat");
    return real(folder, path, flags, mode);
}

int openat64(int folder, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    note(path);
    static const OpenAt real = next<OpenAt>("openat64");
    return real(folder, path, flags, mode);
}

} // extern "C"
