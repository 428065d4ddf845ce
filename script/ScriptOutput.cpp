#include "script/ScriptOutput.h"

#include "platform/CommandLine.h"
#include "platform/OutputSink.h"
#include "script/RecordJson.h"
#include "script/TextRendering.h"

namespace script {

QByteArray recordJsonLine(const ScriptResult &record)
{
    // The keys of each object in ascending order, as in every JSON object we write.
    QByteArray line;
    line.reserve(256);
    line.append("{\"command\":");
    json::appendString(line, record.command);
    if (record.success) {
        line.append(",\"data\":");
        json::appendObject(line, record.data);
    } else {
        line.append(",\"error\":{\"code\":");
        json::appendString(line, record.errorCode);
        if (!record.details.isEmpty()) {
            line.append(",\"details\":");
            json::appendObject(line, record.details);
        }
        line.append(",\"message\":");
        json::appendString(line, record.message);
        line.append('}');
    }
    line.append(record.success ? ",\"success\":true}\n" : ",\"success\":false}\n");
    return line;
}

QString recordJson(const ScriptResult &record)
{
    return QString::fromUtf8(recordJsonLine(record));
}

void writeRecord(const ScriptResult &record, bool json)
{
    if (json)
        platform::OutputSink::write(recordJsonLine(record)); // UTF-8 already, every text displayable
    else if (record.success)
        writeOutput(platform::StandardStream::Output, formatText(record));
    else
        writeOutput(platform::StandardStream::Error, QStringLiteral("[Error] %1\n").arg(record.message));
}

void writeOutput(platform::StandardStream stream, const QString &text)
{
    // A byte of the user's that is not UTF-8 is written as U+FFFD, never as "?".
    if (stream == platform::StandardStream::Error)
        platform::ErrorSink::write(platform::displayable(text));
    else
        platform::OutputSink::write(platform::displayable(text));
}

} // namespace script
