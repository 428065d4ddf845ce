#include "console/app/Commander.h"

#include "console/io/Console.h"
#include "control/QvxControl.h"
#include "device/ConsoleConstants.h"
#include "platform/KeyInput.h"

#include <QCoreApplication>
#include <QThread>

namespace {

// The Commander that the control handler reaches. The handler may run on any
// thread while the Commander goes away, so it announces itself in
// handlersRunning and the destructor waits for it after clearing the pointer.
std::atomic<Commander *> currentCommander{nullptr};
std::atomic<int> handlersRunning{0};

static_assert(std::atomic<Commander *>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

void reportInterrupt()
{
    Console::instance().printInfo(QStringLiteral("KeyboardInterrupt"));
}

} // namespace

Commander::Commander(QObject *parent)
    : Commander(platform::KeyInput::standardInput(), parent)
{
}

Commander::Commander(platform::KeyInput &keys, QObject *parent)
    : QObject(parent)
    , prompt_(Console::defaultPrompt())
    , editor_(&prompt_, keys)
{
    editor_.setInterruptFlag(&interrupted_);
    connectCommands();
    installCtrlHandler(this);
}

Commander::~Commander()
{
    removeCtrlHandler();
    stop_.exchange(true);
    editor_.requestStop();
    // Before the editor it was lent goes (the QObject base would delete it only after).
    delete control_;
    control_ = nullptr;
}

void Commander::installCtrlHandler(Commander *commander)
{
    currentCommander.store(commander);
    platform::setControlHandler(&Commander::consoleCtrlHandler);
}

void Commander::removeCtrlHandler()
{
    platform::setControlHandler(nullptr);
    currentCommander.store(nullptr);
    while (handlersRunning.load() != 0)
        QThread::yieldCurrentThread();
}

bool Commander::consoleCtrlHandler(platform::ControlEvent event)
{
    if (event != platform::ControlEvent::Interrupt)
        return false; // Ctrl+Break ends the process by its default action
    handlersRunning.fetch_add(1);
    Commander *commander = currentCommander.load();
    if (commander) {
        // The token first: once the loop sees the flag, clearing both loses nothing.
        int running = 0;
        commander->commandToken_.state.compare_exchange_strong(running, 1);
        commander->interrupted_.store(true);
        if (std::atomic<bool> *flag = commander->editor_.interruptFlag())
            flag->store(true);
    }
    handlersRunning.fetch_sub(1);
    return commander != nullptr;
}

void Commander::connectCommands()
{
    connect(&parser_, &CommandParser::exitCommand, this, &Commander::onExitCommand);
    connect(&parser_, &CommandParser::portCommand, this, &Commander::onPortCommand);
    connect(&parser_, &CommandParser::openCommand, this, &Commander::onOpenCommand);
    connect(&parser_, &CommandParser::closeCommand, this, &Commander::onCloseCommand);
    connect(&parser_, &CommandParser::scanCommand, this, &Commander::onScanCommand);
    connect(&parser_, &CommandParser::pingCommand, this, &Commander::onPingCommand);
    connect(&parser_, &CommandParser::timeoutCommand, this, &Commander::onTimeoutCommand);
    connect(&parser_, &CommandParser::protocolCommand, this, &Commander::onProtocolCommand);
    connect(&parser_, &CommandParser::tableCommand, this, &Commander::onTableCommand);
    connect(&parser_, &CommandParser::helpCommand, this, &Commander::onHelpCommand);
    connect(&parser_, &CommandParser::updateCommand, this, &Commander::onUpdateCommand);
    connect(&parser_, &CommandParser::upgradeCommand, this, &Commander::onUpgradeCommand);
    connect(&parser_, &CommandParser::licenseCommand, this, &Commander::onLicenseCommand);
    connect(&parser_, &CommandParser::copyrightCommand, this, &Commander::onCopyrightCommand);
    connect(&parser_, &CommandParser::resetCommand, this, &Commander::onResetCommand);
    connect(&parser_, &CommandParser::rebootCommand, this, &Commander::onRebootCommand);
    connect(&parser_, &CommandParser::clearCommand, this, &Commander::onClearCommand);
    connect(&parser_, &CommandParser::getCommand, this, &Commander::onGetCommand);
    connect(&parser_, &CommandParser::setCommand, this, &Commander::onSetCommand);
    connect(&parser_, &CommandParser::statusCommand, this, &Commander::onStatusCommand);
}

void Commander::createControl()
{
    if (control_)
        return;
    control_ = new QvxControl(&editor_, this);
    connect(control_, &QvxControl::qvxFound, this, &Commander::onQvxFound);
}

bool Commander::isImplicitItemCommand(const QString &command)
{
    if (command == QLatin1String("test") || command == QLatin1String("aging"))
        return false;
    return !kCommandNames.contains(command.toLower());
}

void Commander::run()
{
    createControl();
    for (;;) {
        if (stop_.load())
            return;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (takeInterrupt()) {
            reportInterrupt();
            continue;
        }
        Console::print(prompt_);
        const QString line = editor_.readLine(false);
        if (stop_.load())
            return;
        if (editor_.atEndOfInput()) {
            endAtEndOfInput();
            return;
        }
        if (takeInterrupt()) {
            reportInterrupt();
            continue;
        }
        if (line.isEmpty())
            continue;
        // Single blanks separate words; tabs stay inside them. No quoting.
        QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.isEmpty())
            continue;
        QString command = words.first().trimmed();
        if (command.isEmpty())
            continue;
        editor_.addToHistory(line);
        if (isImplicitItemCommand(command)) {
            const bool continuous =
                words.contains(QStringLiteral("-c")) || words.contains(QStringLiteral("--continuous"));
            command = continuous ? QStringLiteral("get") : QStringLiteral("set");
            words.prepend(command);
        }
        control_->beginCommand(&commandToken_);
        parser_.executeCommand(command, words);
        control_->endCommand();
        if (editor_.atEndOfInput()) {
            // A prompt of the command ran out of input: that was a cancel, not a Ctrl+C.
            interrupted_.store(false);
            endAtEndOfInput();
            return;
        }
        if (takeInterrupt())
            reportInterrupt();
        if (command == QLatin1String("exit"))
            return;
    }
}

bool Commander::takeInterrupt()
{
    if (!interrupted_.exchange(false))
        return false;
    commandToken_.state.store(0);
    return true;
}

void Commander::endAtEndOfInput()
{
    if (!stop_.load())
        onExitCommand();
}

void Commander::requestStop()
{
    stop_.exchange(true);
    editor_.requestStop();
}

void Commander::onExitCommand()
{
    stop_.exchange(true);
    editor_.requestStop();
    emit exitCommand();
}


bool Commander::checkInterrupted()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return interrupted_.load();
}
