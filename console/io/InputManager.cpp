#include "console/io/InputManager.h"

#include "console/io/Console.h"
#include "console/io/InputProcessor.h"
#include "device/ConsoleConstants.h"
#include "platform/ConsoleControl.h"
#include "platform/KeyInput.h"
#include "platform/OutputSink.h"

#include <QCoreApplication>

namespace {

constexpr int kHistoryLimit = 100;
constexpr int kKeysPerPoll = 128; // keys applied before the editor looks at its flags again

void echo(const QByteArray &bytes)
{
    platform::OutputSink::write(bytes);
}

void echo(const QString &text)
{
    platform::OutputSink::write(text);
}

QByteArray backspaces(qsizetype count)
{
    return QByteArray(count, '\b');
}

} // namespace

static_assert(std::atomic<std::atomic<bool> *>::is_always_lock_free);

InputManager::InputManager(const QString *prompt, QObject *parent)
    : InputManager(prompt, platform::KeyInput::standardInput(), parent)
{
}

InputManager::InputManager(const QString *prompt, platform::KeyInput &keys, QObject *parent)
    : QObject(parent)
    , prompt_(prompt)
    , keys_(keys)
    , processor_(std::make_unique<UnixInputProcessor>(this, keys))
{
    // The commands that have a help page: all but "help" and "status".
    for (const QString &name : kCommandNames) {
        if (name != QLatin1String("help") && name != QLatin1String("status"))
            completionCommands_.append(name);
    }
}

InputManager::~InputManager() = default;

QString InputManager::readLine(bool simple)
{
    QString line;
    cursor_ = 0;
    for (;;) {
        if (stopRequested_.load())
            return line;
        if (interruptSet()) {
            echo(QByteArrayLiteral("\n"));
            return QString();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (interruptSet()) {
            echo(QByteArrayLiteral("\n"));
            return QString();
        }
        if (processor_->readInput(line, simple))
            return interruptSet() ? QString() : line;
        if (processor_->atEndOfInput())
            return endOfInput(line);
    }
}

QString InputManager::endOfInput(const QString &line)
{
    echo(QByteArrayLiteral("\n"));
    if (!line.isEmpty())
        return line; // the last line had no line end: still a line
    endOfInput_ = true;
    if (std::atomic<bool> *flag = interruptFlag_.load())
        flag->store(true);
    return QString();
}

void InputManager::requestStop()
{
    stopRequested_.exchange(true);
    platform::wakeKeyInput();
}

bool InputManager::atEndOfInput() const
{
    return endOfInput_;
}

void InputManager::setInterruptFlag(std::atomic<bool> *flag)
{
    interruptFlag_.store(flag);
}

void InputManager::clearInterruptFlag()
{
    interruptFlag_.store(nullptr);
}

std::atomic<bool> *InputManager::interruptFlag() const
{
    return interruptFlag_.load();
}

bool InputManager::interruptSet() const
{
    const std::atomic<bool> *flag = interruptFlag_.load();
    return flag && flag->load();
}

void InputManager::setItemNames(const QStringList &names)
{
    itemNames_ = names;
}

QStringList InputManager::itemNames() const
{
    return itemNames_;
}

QStringList InputManager::history() const
{
    return history_;
}

int InputManager::historyPosition() const
{
    return historyPosition_;
}

int InputManager::cursorPosition() const
{
    return cursor_;
}

QString InputManager::promptText() const
{
    return prompt_ ? *prompt_ : QString();
}

bool InputManager::processConsoleInput(platform::KeyQueue &keys, QString &line, bool simple)
{
    for (int applied = 0; applied < kKeysPerPoll && !keys.isEmpty(); ++applied) {
        const platform::KeyEvent key = keys.dequeue();
        const bool enter = key.character == U'\r' || key.character == U'\n';
        if (key.virtualKey == platform::kVkC && key.ctrl && !enter) {
            if (std::atomic<bool> *flag = interruptFlag_.load())
                flag->store(true);
            echo(QByteArrayLiteral("\n"));
            return true;
        }
        if (enter) {
            echo(QByteArrayLiteral("\n"));
            return true;
        }
        applyKey(key, line, simple);
    }
    return false;
}

void InputManager::applyKey(const platform::KeyEvent &key, QString &line, bool simple)
{
    if (key.character == U'\t') {
        if (!simple)
            handleTab(line);
        return;
    }
    switch (key.virtualKey) {
    case platform::kVkBack:
        backspace(line);
        return;
    case platform::kVkEnd:
    case platform::kVkHome:
        if (!simple)
            moveCursorToBoundary(key.virtualKey == platform::kVkHome, line);
        return;
    case platform::kVkLeft:
        moveCursor(-1, line);
        return;
    case platform::kVkRight:
        moveCursor(1, line);
        return;
    case platform::kVkUp:
        if (!simple && !history_.isEmpty())
            historyPrevious(line);
        return;
    case platform::kVkDown:
        if (!simple)
            historyNext(line);
        return;
    case platform::kVkDelete:
        deleteChar(line);
        return;
    default:
        // Only printable ASCII enters the line: the echo counts one column per character.
        if (key.character >= 0x20 && key.character <= 0x7E)
            insertChar(line, QChar(char16_t(key.character)));
        return;
    }
}

void InputManager::insertChar(QString &line, QChar character)
{
    line.insert(cursor_, character);
    ++cursor_;
    echo(QString(character));
    const QString tail = line.mid(cursor_);
    if (!tail.isEmpty())
        echo(tail.toUtf8() + backspaces(tail.size()));
}

void InputManager::backspace(QString &line)
{
    if (line.isEmpty() || cursor_ == 0)
        return;
    line.remove(cursor_ - 1, 1);
    --cursor_;
    echo(QByteArrayLiteral("\b \b"));
    const QString tail = line.mid(cursor_);
    if (!tail.isEmpty())
        echo(tail.toUtf8() + ' ' + backspaces(tail.size() + 1));
}

void InputManager::deleteChar(QString &line)
{
    if (cursor_ >= line.size())
        return;
    line.remove(cursor_, 1);
    echo(QByteArrayLiteral("\x1b[K"));
    const QString tail = line.mid(cursor_);
    if (!tail.isEmpty())
        echo(tail.toUtf8() + backspaces(tail.size()));
}

void InputManager::moveCursor(int direction, QString &line)
{
    if (direction < 0 && cursor_ > 0) {
        --cursor_;
        echo(QByteArrayLiteral("\b"));
    } else if (direction > 0 && cursor_ < line.size()) {
        echo(QString(line.at(cursor_)));
        ++cursor_;
    }
}

void InputManager::moveCursorToBoundary(bool home, QString &line)
{
    if (home) {
        if (cursor_ > 0) {
            echo(QByteArrayLiteral("\r"));
            Console::print(promptText());
            cursor_ = 0;
        }
    } else if (cursor_ < line.size()) {
        echo(line.mid(cursor_));
        cursor_ = int(line.size());
    }
}

void InputManager::addToHistory(const QString &line)
{
    const QString entry = line.trimmed();
    if (entry.isEmpty())
        return;
    history_.removeOne(entry);
    history_.append(entry);
    if (history_.size() > kHistoryLimit)
        history_.removeFirst();
    historyPosition_ = -1;
}

void InputManager::historyPrevious(QString &line)
{
    if (historyPosition_ == -1)
        savedLine_ = line;
    if (historyPosition_ < history_.size() - 1) {
        ++historyPosition_;
        showHistoryEntry(line, history_.at(history_.size() - 1 - historyPosition_));
    }
}

void InputManager::historyNext(QString &line)
{
    if (history_.isEmpty() || historyPosition_ == -1)
        return;
    --historyPosition_;
    showHistoryEntry(line, historyPosition_ >= 0 ? history_.at(history_.size() - 1 - historyPosition_) : savedLine_);
}

void InputManager::showHistoryEntry(QString &line, const QString &entry)
{
    line = entry;
    cursor_ = int(line.size());
    Console::redrawLine(promptText(), line);
}
