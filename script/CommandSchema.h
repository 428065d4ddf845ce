#pragma once
// The contract document of script mode (--command-schema): the application,
// how results are printed, which flags unlock which commands, the deadline,
// the exit codes, the whole command catalogue and the refused features.

#include "script/CommandCatalogue.h"

#include <QJsonObject>
#include <QString>

namespace script {

// Built anew at every call; depends only on the catalogue and `version`.
QJsonObject commandSchema(const QString &version);
QJsonObject formToJson(const CommandForm &form);
QJsonObject unsupportedFeatureJson(const QString &feature, const QString &reason, const QString &alternative);

// The per-command deadline the runner arms and the contract publishes.
constexpr int kCommandDeadlineMs = 30000;

} // namespace script
