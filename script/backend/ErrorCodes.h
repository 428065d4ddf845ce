#pragma once
// Script error codes: the names under which every script-mode failure is
// reported, in JSON records and in the contract published to automation.
// Never change a value; callers match on them.

#include <QString>

namespace script {

const QString kErrorInvalidCli = QStringLiteral("invalid_cli");
const QString kErrorInvalidInput = QStringLiteral("invalid_input");
const QString kErrorParse = QStringLiteral("parse_error");
const QString kErrorUnsupportedCommand = QStringLiteral("unsupported_command");
const QString kErrorUnknownCommand = QStringLiteral("unknown_command");
const QString kErrorInvalidArgument = QStringLiteral("invalid_argument");
const QString kErrorPermissionDenied = QStringLiteral("permission_denied");
const QString kErrorPortNotOpen = QStringLiteral("port_not_open");
const QString kErrorPortOpenFailed = QStringLiteral("port_open_failed");
const QString kErrorControlTableNotFound = QStringLiteral("control_table_not_found");
const QString kErrorItemNotFound = QStringLiteral("item_not_found");
const QString kErrorAmbiguousItem = QStringLiteral("ambiguous_item");
const QString kErrorDeviceTimeout = QStringLiteral("device_timeout");
const QString kErrorCommunication = QStringLiteral("communication_error");
const QString kErrorPacket = QStringLiteral("packet_error");
const QString kErrorCommandTimeout = QStringLiteral("command_timeout");
const QString kErrorInterrupted = QStringLiteral("interrupted");

// Exit codes of a script run.
constexpr int kExitSuccess = 0;
constexpr int kExitRuntimeError = 1;
constexpr int kExitUsageError = 2;
constexpr int kExitPermissionError = 3;
constexpr int kExitCommandTimeout = 124;
constexpr int kExitInterrupted = 130;

} // namespace script
