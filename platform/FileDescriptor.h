#pragma once
// The steps both file openers of this layer share (openForReading,
// openRegularFile): opening a name exactly as the system sees it, and handing
// the open descriptor to a QFile.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace platform {

// Opens `name` with the open flags `flags` (close-on-exec added), again after
// an interrupted call. -1 with the system's reason in `error` when it cannot
// be opened or holds a NUL byte (the system would read the name cut there).
int openDescriptor(const QByteArray &name, int flags, QString &error);

// Hands the open descriptor `fd` to `file` for reading; the file closes it
// from then on. False with the reason in `error`, the descriptor closed.
bool adoptForReading(int fd, QFile &file, QString &error);

} // namespace platform
