#include "console/io/InputProcessor.h"

#include "console/io/InputManager.h"

UnixInputProcessor::UnixInputProcessor(InputManager *manager, platform::KeyInput &keys)
    : manager_(manager)
    , keys_(keys)
{
}

bool UnixInputProcessor::readInput(QString &line, bool simple)
{
    if (keys_.isStandardInput() && !keyMode_)
        keyMode_.emplace();
    if (keys_.pending().isEmpty())
        keys_.waitHandlingEvents();
    return manager_->processConsoleInput(keys_.pending(), line, simple);
}

void UnixInputProcessor::handleSpecialKey(int virtualKey, QString &line)
{
    switch (virtualKey) {
    case platform::kVkEnd: manager_->moveCursorToBoundary(false, line); break;
    case platform::kVkHome: manager_->moveCursorToBoundary(true, line); break;
    case platform::kVkLeft: manager_->moveCursor(-1, line); break;
    case platform::kVkUp: manager_->historyPrevious(line); break;
    case platform::kVkRight: manager_->moveCursor(1, line); break;
    case platform::kVkDown: manager_->historyNext(line); break;
    case platform::kVkDelete: manager_->deleteChar(line); break;
    default: break;
    }
}

bool UnixInputProcessor::atEndOfInput() const
{
    return keys_.atEnd();
}
