#pragma once
// Script input: collecting every command of a run before the first one runs,
// splitting text into command lines, splitting a line into words, and the
// bounded integer reading that every numeric argument goes through.

#include "script/ScriptOptions.h"

#include <QString>
#include <QStringList>

namespace script {

// Limits in bytes of UTF-8.
constexpr qint64 kMaxInputBytes = 1024 * 1024;  // all --execute values, or the file as stored
constexpr qint64 kMaxLineBytes = 16 * 1024;     // one line, before trimming
constexpr qint64 kReadChunkBytes = 64 * 1024;

// Appends the usable lines of `text` (trimmed, not empty, not a "#" comment);
// false when a line is too long.
bool splitCommands(const QString &text, QStringList &commands, QString &error);
// Splits a line at blanks; double and single quotes group, and inside double
// quotes a backslash escapes a quote or a backslash.
bool tokenize(const QString &line, QStringList &words, QString &error);
// A base-10 integer within [minimum, maximum]; `value` is untouched otherwise.
bool parseIntInRange(const QString &text, int minimum, int maximum, int &value);

// The command lines of a file's bytes: UTF-8 throughout (a leading byte-order
// mark skipped), cut into lines as splitCommands does.
bool commandsFromBytes(const QByteArray &bytes, QStringList &commands, QString &error);

// The input stage: the command lines of the run, from the --execute values or
// from the file the options name.
bool collectCommands(const ScriptOptions &options, QStringList &commands, QString &error);

} // namespace script
