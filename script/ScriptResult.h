#pragma once
// One record of a script run: every command ends in exactly one, and so does a
// run that fails before its first command (its command is then empty).

#include "script/backend/CommandResult.h"

#include <QString>
#include <QVariantMap>

namespace script {

struct ScriptResult
{
    QString command;     // the command word, lower-cased; empty when no single command is meant
    bool success = false;
    int exitCode = 1;    // 0 for a success; for a failure the code the run ends with
    QVariantMap data;    // payload of a success
    QString errorCode;   // of a failure (ErrorCodes.h)
    QString message;     // of a failure; may span lines
    QVariantMap details; // of a failure

    static ScriptResult failure(const QString &command, int exitCode, const QString &errorCode,
                                const QString &message, const QVariantMap &details = {});
    // A backend answer: success with exit code 0, or failure with exit code 1
    // ("communication_error" when the backend gave no code).
    static ScriptResult fromCommandResult(const QString &command, const CommandResult &result);
    // Words that do not fit the command: "invalid_argument", exit code 2, the
    // reason (when given) and then the command's usage text.
    static ScriptResult usageError(const QString &command, const QString &message = {});
};

} // namespace script
