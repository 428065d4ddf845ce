#pragma once
// Opening a file that must be an ordinary file of data, such as a settings
// file read at every start: a FIFO, a device or a folder under its name is
// refused at once, never waited on (opening a FIFO for reading waits for a
// writer, and a device may deliver bytes without end).

#include <QFile>
#include <QString>

namespace platform {

// Opens `path` (links followed) for reading into `file` when it is a regular
// file. False with the reason in `error` otherwise.
bool openRegularFile(const QString &path, QFile &file, QString &error);

} // namespace platform
