#pragma once
// Where the line editor's keys come from. The editor asks its processor for
// input between its other duties (Qt events, Ctrl+C, stop requests); the
// processor reads keys from its source and has InputManager apply them. While
// there are none it sleeps until keys come, a wake-up (Ctrl+C, a stop
// request) or work for the thread's Qt event dispatcher, which it handles.

#include "platform/KeyInput.h"
#include "platform/Terminal.h"

#include <QString>
#include <optional>

class InputManager;

class InputProcessor
{
public:
    virtual ~InputProcessor() = default;

    // Applies the keys that are there, first waiting for keys, a wake-up or
    // Qt work when there are none; true when Enter or Ctrl+C completed the line.
    virtual bool readInput(QString &line, bool simple) = 0;

    // Applies one navigation key of the full mode (End, Home, Left, Up, Right,
    // Down, Delete) to the line; other codes are ignored.
    virtual void handleSpecialKey(int virtualKey, QString &line) = 0;

    // The key source has ended and every key was applied (a pipe or file ran
    // out). A terminal never ends.
    virtual bool atEndOfInput() const = 0;
};

// The processor of this platform: keys from a platform::KeyInput, standard
// input unless told otherwise. Reading standard input, it holds the terminal
// in key mode (platform::KeyMode) from its first read until it is destroyed.
class UnixInputProcessor final : public InputProcessor
{
public:
    UnixInputProcessor(InputManager *manager, platform::KeyInput &keys);

    bool readInput(QString &line, bool simple) override;
    void handleSpecialKey(int virtualKey, QString &line) override;
    bool atEndOfInput() const override;

private:
    InputManager *manager_;
    platform::KeyInput &keys_;
    std::optional<platform::KeyMode> keyMode_;
};
