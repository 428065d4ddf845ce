#pragma once
// How script mode prints: records as one compact JSON object per line on
// standard output, or as text (a success on standard output, a failure as an
// "[Error] " line on standard error); and the one routine everything printed
// goes through. Text is written as UTF-8 to a terminal, a file or a pipe alike;
// a reader that went away costs the output, never the run or its exit code.

#include "platform/Terminal.h"
#include "script/ScriptResult.h"

#include <QString>

namespace script {

void writeRecord(const ScriptResult &record, bool json);
// The record as its JSON line, line end included; as text and as the UTF-8
// bytes that writeRecord writes.
QString recordJson(const ScriptResult &record);
QByteArray recordJsonLine(const ScriptResult &record);

// `stream` is StandardStream::Output or StandardStream::Error.
void writeOutput(platform::StandardStream stream, const QString &text);

} // namespace script
