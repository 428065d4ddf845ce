#include "script/ScriptOutput.h"

#include "platform/OutputSink.h"
#include "script/TextRendering.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace script {

QString recordJson(const ScriptResult &record)
{
    QJsonObject object{
        {QStringLiteral("command"), record.command},
        {QStringLiteral("success"), record.success},
    };
    if (record.success) {
        object.insert(QStringLiteral("data"), QJsonObject::fromVariantMap(record.data));
    } else {
        QJsonObject error{
            {QStringLiteral("code"), record.errorCode},
            {QStringLiteral("message"), record.message},
        };
        if (!record.details.isEmpty())
            error.insert(QStringLiteral("details"), QJsonObject::fromVariantMap(record.details));
        object.insert(QStringLiteral("error"), error);
    }
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
}

void writeRecord(const ScriptResult &record, bool json)
{
    if (json)
        writeOutput(platform::StandardStream::Output, recordJson(record));
    else if (record.success)
        writeOutput(platform::StandardStream::Output, formatText(record));
    else
        writeOutput(platform::StandardStream::Error, QStringLiteral("[Error] %1\n").arg(record.message));
}

void writeOutput(platform::StandardStream stream, const QString &text)
{
    if (stream == platform::StandardStream::Error)
        platform::ErrorSink::write(text);
    else
        platform::OutputSink::write(text);
}

} // namespace script
