#pragma once
// One command line of a script, as words, turned into exactly one record:
// refusals of what script mode does not run, permissions, argument checks, the
// answers given here ("help", "license", "copyright") and one backend call for
// every device command. Never prints.

#include "script/backend/IQvxCommandBackend.h"
#include "script/ScriptResult.h"

#include <QString>
#include <QStringList>

namespace script {

struct CommandContext
{
    QString name;     // the first word, lower-cased
    QStringList args; // the other words as tokenized
};

ScriptResult executeCommand(const CommandContext &context, IQvxCommandBackend &backend, bool allowWrite,
                            bool allowDestructive);

} // namespace script
