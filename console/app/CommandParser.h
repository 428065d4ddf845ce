#pragma once
// The console's command table: maps the first word of a line (without regard
// to case) to one of the 20 commands and announces it as a signal carrying the
// line's words. It checks no arguments; the receiving Commander slot does.

#include <QObject>
#include <QStringList>

#include <functional>
#include <map>

class CommandParser : public QObject
{
    Q_OBJECT

public:
    explicit CommandParser(QObject *parent = nullptr);
    ~CommandParser() override;

    // Emits the command's signal with the words as the loop built them (word 0
    // still as typed); an unknown command is an error line and emits nothing.
    void executeCommand(const QString &command, const QStringList &fields);

    // One error line: kind 0 "Invalid parameter - ", 1 "Command not found - ",
    // 2 "Server error - ", then the message; other kinds print nothing.
    static void reportError(int kind, const QString &message);

signals:
    void exitCommand();
    void portCommand();
    void openCommand(const QStringList &fields);
    void closeCommand();
    void scanCommand(const QStringList &fields);
    void pingCommand(const QStringList &fields);
    void timeoutCommand(const QStringList &fields);
    void protocolCommand(const QStringList &fields);
    void tableCommand(const QStringList &fields);
    void helpCommand(const QStringList &fields);
    void updateCommand(const QStringList &fields);
    void upgradeCommand(const QStringList &fields);
    void licenseCommand(const QStringList &fields);
    void copyrightCommand(const QStringList &fields);
    void resetCommand(const QStringList &fields);
    void rebootCommand(const QStringList &fields);
    void clearCommand(const QStringList &fields);
    void getCommand(const QStringList &fields);
    void setCommand(const QStringList &fields);
    void statusCommand(const QStringList &fields);

private:
    void initializeCommandHandlers();

    // Command word (lower case) -> emitter of its signal.
    std::map<QString, std::function<void(const QStringList &)>> commandHandlers_;
};
