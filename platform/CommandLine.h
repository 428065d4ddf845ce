#pragma once
// The program's command-line arguments as text.
//
// Arguments arrive as bytes and are read as UTF-8. A byte that is not part of
// a well-formed UTF-8 sequence is kept as the lone surrogate U+DC80..U+DCFF
// (U+DC00 plus the byte) instead of a replacement character: valid text never
// holds a lone surrogate, so later stages can still tell that the user's bytes
// were not UTF-8 and refuse them rather than act on a guess.

#include <QString>
#include <QStringList>

namespace platform {

// Entry 0 is the program path, the user's arguments follow.
QStringList commandLineArguments(int argc, const char *const *argv);

// True when the argument held bytes that are not UTF-8.
bool hasUndecodableBytes(const QString &argument);

} // namespace platform
