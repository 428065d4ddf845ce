#pragma once
// The interactive "help" command: a summary of the commands, or one command's
// description, usage, arguments and examples. Script mode has its own help.

#include <QString>

#include <functional>
#include <map>

class HelpSystem
{
public:
    HelpSystem();

    // An empty name prints the summary; any other name that command's page.
    void showHelp(const QString &name) const;
    // Looks the name up exactly (case-sensitive); an unknown one is an error line.
    void showCommandHelp(const QString &name) const;
    void printSummary() const;

private:
    void initializeHelpCommands();

    // Topic (lower-case command word) -> printer of its page.
    std::map<QString, std::function<void()>> commands_;
};
