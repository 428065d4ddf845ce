#pragma once
// The script-mode command line: the declared options, and the outcome of
// parsing them: an answer to print at once, an error, or the settings of a run.

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

namespace script {

struct ScriptOptions
{
    bool valid = false;        // false: errorText holds the reason
    bool exitNow = false;      // print outputText and end with exitCode
    bool textToStderr = false; // outputText belongs on standard error
    int exitCode = 2;
    QString outputText;
    QString errorText;
    bool readFile = false;     // commands come from filePath (no --execute given)
    QStringList commands;      // the --execute values in command-line order
    QString filePath;
    bool json = false;
    bool allowWrite = false;   // also granted by allowDestructive
    bool allowDestructive = false;
};

void configureOptions(QCommandLineParser &parser);
// `arguments` is the whole argument list, program path first.
ScriptOptions parseOptions(const QStringList &arguments);

} // namespace script
