#pragma once
// What this process asks the system to open, from any thread, while a record
// runs: the witness that a name never reached the system. The C library's
// open functions (open and open64, which Qt calls) are defined ahead of it in
// the test program, note the path they are given, and pass every call on
// unchanged. One record at a time.

#include <QByteArray>
#include <QList>

class OpenRecord
{
public:
    OpenRecord();  // starts recording
    ~OpenRecord(); // stops
    OpenRecord(const OpenRecord &) = delete;
    OpenRecord &operator=(const OpenRecord &) = delete;

    // Every path given to an open, in order, as the system read it (a name
    // holding a NUL byte is read up to it).
    QList<QByteArray> paths() const;
    // Whether `path` was opened (tried) exactly so.
    bool opened(const QByteArray &path) const { return paths().contains(path); }
};
