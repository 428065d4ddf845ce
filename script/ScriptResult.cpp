#include "script/ScriptResult.h"

#include "script/backend/ErrorCodes.h"
#include "script/HelpTexts.h"

namespace script {

ScriptResult ScriptResult::failure(const QString &command, int exitCode, const QString &errorCode,
                                   const QString &message, const QVariantMap &details)
{
    ScriptResult record;
    record.command = command;
    record.success = false;
    record.exitCode = exitCode;
    record.errorCode = errorCode;
    record.message = message;
    record.details = details;
    return record;
}

ScriptResult ScriptResult::fromCommandResult(const QString &command, const CommandResult &result)
{
    if (!result.ok) {
        const QString code = result.code.isEmpty() ? kErrorCommunication : result.code;
        return failure(command, kExitRuntimeError, code, result.message, result.data);
    }
    ScriptResult record;
    record.command = command;
    record.success = true;
    record.exitCode = kExitSuccess;
    record.data = result.data;
    return record;
}

ScriptResult ScriptResult::usageError(const QString &command, const QString &message)
{
    const QString usage = usageText(command);
    const QString text = message.isEmpty() ? usage : message + QLatin1Char('\n') + usage;
    return failure(command, kExitUsageError, kErrorInvalidArgument, text);
}

} // namespace script
