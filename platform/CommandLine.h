#pragma once
// The program's command-line arguments as text.
//
// Arguments arrive as bytes and are read as UTF-8. A byte that is not part of
// a well-formed UTF-8 sequence is kept as the lone surrogate U+DC80..U+DCFF
// (U+DC00 plus the byte) instead of a replacement character: valid text never
// holds a lone surrogate, so later stages can still tell that the user's bytes
// were not UTF-8 and refuse them rather than act on a guess.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

namespace platform {

// Entry 0 is the program path, the user's arguments follow.
QStringList commandLineArguments(int argc, const char *const *argv);

// True when the argument held bytes that are not UTF-8.
bool hasUndecodableBytes(const QString &argument);

// The bytes the user gave: the argument's text as UTF-8 with each undecodable
// byte put back, for a name the system must see exactly (a file path).
QByteArray argumentBytes(const QString &argument);

// The text as it may be shown: every lone surrogate, an undecodable byte of an
// argument among them, becomes U+FFFD, so the text is valid UTF-16 (and valid
// UTF-8 once converted).
QString displayable(const QString &text);

// Opens the file whose name is `path`, the file system's bytes, for reading
// into `file`. False with the system's reason in `error` when it cannot be
// opened or is a folder.
bool openForReading(const QByteArray &path, QFile &file, QString &error);

} // namespace platform
