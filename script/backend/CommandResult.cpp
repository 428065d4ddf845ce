#include "script/backend/CommandResult.h"

#include "comm/CommResult.h"
#include "script/backend/ErrorCodes.h"

namespace script {

CommandResult CommandResult::success(const QVariantMap &data, const QString &message)
{
    return {true, QString(), message, data};
}

CommandResult CommandResult::failure(const QString &code, const QString &message, const QVariantMap &details)
{
    return {false, code, message, details};
}

CommandResult resultFromBus(int id, int result, quint8 error, const QString &resultName, bool hasStatusError,
                            const QString &statusErrorText)
{
    const QVariantMap details{
        {QStringLiteral("id"), id},
        {QStringLiteral("communication_result"), result},
        {QStringLiteral("packet_error"), int(error)},
    };
    if (result == COMM_CANCELLED)
        return CommandResult::failure(kErrorCommunication, QStringLiteral("Operation cancelled"), details);
    if (result == COMM_RX_TIMEOUT)
        return CommandResult::failure(kErrorDeviceTimeout, QStringLiteral("Device %1 did not respond").arg(id),
                                      details);
    if (result != COMM_OK)
        return CommandResult::failure(kErrorCommunication, resultName, details);
    if (hasStatusError)
        return CommandResult::failure(kErrorPacket, statusErrorText, details);
    return CommandResult::success();
}

} // namespace script
