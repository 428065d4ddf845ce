#pragma once
// What a device operation of script mode answers: success with a data map, or
// failure with an error code (ErrorCodes.h), a readable message and details.
// The runner turns it into a record without looking into the device layer.

#include <QString>
#include <QVariantMap>

namespace script {

struct CommandResult
{
    bool ok = false;
    QString code;     // error code of a failure; empty on success
    QString message;  // readable text of a failure
    QVariantMap data; // payload on success, details on failure (keys in lower snake case)

    static CommandResult success(const QVariantMap &data = {}, const QString &message = {});
    static CommandResult failure(const QString &code, const QString &message, const QVariantMap &details = {});
};

// The one rule by which a bus call's outcome reaches script mode:
//   COMM_CANCELLED        -> "communication_error", "Operation cancelled"
//   COMM_RX_TIMEOUT       -> "device_timeout", "Device <id> did not respond"
//   any other failure     -> "communication_error" named by `resultName`
//   COMM_OK, status error -> "packet_error" with `statusErrorText`
//   COMM_OK otherwise     -> success with an empty map
// Every failure carries {"id", "communication_result", "packet_error"}.
// The device layer names the result code and judges the status byte for the
// link's protocol; it passes those texts in (resultName is read only for a
// failing result, statusErrorText only when hasStatusError is set).
CommandResult resultFromBus(int id, int result, quint8 error, const QString &resultName, bool hasStatusError,
                            const QString &statusErrorText);

} // namespace script
