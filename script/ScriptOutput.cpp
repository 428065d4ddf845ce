#include "script/ScriptOutput.h"

#include "platform/CommandLine.h"
#include "platform/OutputSink.h"
#include "script/TextRendering.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace script {

namespace {

QJsonValue displayable(const QJsonValue &value);

// Every text of the record as it may be shown: a byte of the user's that is
// not UTF-8 becomes U+FFFD instead of a lone surrogate escape.
QJsonObject displayable(const QJsonObject &object)
{
    QJsonObject shown;
    for (auto it = object.begin(); it != object.end(); ++it)
        shown.insert(platform::displayable(it.key()), displayable(it.value()));
    return shown;
}

QJsonValue displayable(const QJsonValue &value)
{
    if (value.isString())
        return platform::displayable(value.toString());
    if (value.isObject())
        return displayable(value.toObject());
    if (value.isArray()) {
        QJsonArray shown;
        for (const QJsonValue &element : value.toArray())
            shown.append(displayable(element));
        return shown;
    }
    return value;
}

} // namespace

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
    return QString::fromUtf8(QJsonDocument(displayable(object)).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
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
    // A byte of the user's that is not UTF-8 is written as U+FFFD, never as "?".
    if (stream == platform::StandardStream::Error)
        platform::ErrorSink::write(platform::displayable(text));
    else
        platform::OutputSink::write(platform::displayable(text));
}

} // namespace script
