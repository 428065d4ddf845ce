#include "console/app/CommandParser.h"

#include "console/io/Console.h"

#include <iterator>

CommandParser::CommandParser(QObject *parent)
    : QObject(parent)
{
    initializeCommandHandlers();
}

CommandParser::~CommandParser() = default;

void CommandParser::initializeCommandHandlers()
{
    using Words = const QStringList &;
    auto ignoringWords = [this](void (CommandParser::*signal)()) {
        return [this, signal](Words) { emit(this->*signal)(); };
    };
    auto withWords = [this](void (CommandParser::*signal)(Words)) {
        return [this, signal](Words fields) { emit(this->*signal)(fields); };
    };
    commandHandlers_.emplace(QStringLiteral("exit"), ignoringWords(&CommandParser::exitCommand));
    commandHandlers_.emplace(QStringLiteral("port"), ignoringWords(&CommandParser::portCommand));
    commandHandlers_.emplace(QStringLiteral("open"), withWords(&CommandParser::openCommand));
    commandHandlers_.emplace(QStringLiteral("close"), ignoringWords(&CommandParser::closeCommand));
    commandHandlers_.emplace(QStringLiteral("scan"), withWords(&CommandParser::scanCommand));
    commandHandlers_.emplace(QStringLiteral("ping"), withWords(&CommandParser::pingCommand));
    commandHandlers_.emplace(QStringLiteral("timeout"), withWords(&CommandParser::timeoutCommand));
    commandHandlers_.emplace(QStringLiteral("protocol"), withWords(&CommandParser::protocolCommand));
    commandHandlers_.emplace(QStringLiteral("table"), withWords(&CommandParser::tableCommand));
    commandHandlers_.emplace(QStringLiteral("help"), withWords(&CommandParser::helpCommand));
    commandHandlers_.emplace(QStringLiteral("update"), withWords(&CommandParser::updateCommand));
    commandHandlers_.emplace(QStringLiteral("upgrade"), withWords(&CommandParser::upgradeCommand));
    commandHandlers_.emplace(QStringLiteral("license"), withWords(&CommandParser::licenseCommand));
    commandHandlers_.emplace(QStringLiteral("copyright"), withWords(&CommandParser::copyrightCommand));
    commandHandlers_.emplace(QStringLiteral("reset"), withWords(&CommandParser::resetCommand));
    commandHandlers_.emplace(QStringLiteral("reboot"), withWords(&CommandParser::rebootCommand));
    commandHandlers_.emplace(QStringLiteral("clear"), withWords(&CommandParser::clearCommand));
    commandHandlers_.emplace(QStringLiteral("get"), withWords(&CommandParser::getCommand));
    commandHandlers_.emplace(QStringLiteral("set"), withWords(&CommandParser::setCommand));
    commandHandlers_.emplace(QStringLiteral("status"), withWords(&CommandParser::statusCommand));
}

void CommandParser::executeCommand(const QString &command, const QStringList &fields)
{
    const auto found = commandHandlers_.find(command.toLower());
    if (found != commandHandlers_.end())
        found->second(fields);
    else
        reportError(1, QStringLiteral("Unknown command: ") + command);
}

void CommandParser::reportError(int kind, const QString &message)
{
    static const char *const prefixes[] = {"Invalid parameter - ", "Command not found - ", "Server error - "};
    if (kind < 0 || kind >= int(std::size(prefixes)))
        return;
    Console::instance().printError(QString::fromLatin1(prefixes[kind]) + message);
}
