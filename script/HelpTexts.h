#pragma once
// The texts by which script mode explains itself besides its contract
// document: the guidance for automated agents (--ai-help), the usage line of
// a command and the answer of the script command "help".

#include <QString>

namespace script {

// Sixteen lines, each ended by a line feed.
QString aiHelpText();
// "Usage: <usage of each form>", later forms on lines of their own indented
// under the first; empty for a name outside the catalogue.
QString usageText(const QString &name);
// Empty topic: the listing of every command. A command's name: its
// description and usage. Anything else: empty.
QString helpText(const QString &topic);

} // namespace script
