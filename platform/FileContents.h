#pragma once
// A whole file's bytes with as few system calls as can be: open, read until
// the end, close. QFile asks the system seven times for a small file (open,
// three looks at its status, two reads, close); a start that looks at
// hundreds of description files spends much of its time on those calls.

#include <QByteArray>
#include <QString>

class QIODevice;

namespace platform {

// The rest of an open file, but no more than `most` bytes, read in pieces so
// that a small file never costs a buffer of the bound's size: a file a user
// hands the program is read up to its bound plus one byte, and no further.
QByteArray readAtMost(QIODevice &device, qint64 most);

// Reads the file named `path` into `buffer`, which grows as needed and is
// meant to be reused from file to file; `*size` gets the file's length (the
// buffer may be longer), but no more than `limit` + 1 bytes are read: a size
// above `limit` tells a larger file. False when it cannot be opened or read.
bool readFileContents(const QString &path, QByteArray &buffer, qsizetype *size, qsizetype limit);

} // namespace platform
