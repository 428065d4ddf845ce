#include "platform/Terminal.h"
#include "platform/ConsoleControl.h"
#include "platform/Signals_unix.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

namespace {

std::mutex modeMutex;
int holders = 0; // KeyMode objects alive
bool exitHookRegistered = false;

// Written before keyModeOn is set; read by signal handlers after they see it set.
termios savedMode{};
termios keySettings{};
std::atomic<bool> keyModeOn{false};

void restoreAtExit()
{
    if (keyModeOn.exchange(false))
        tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
}

int descriptorOf(StandardStream stream)
{
    switch (stream) {
    case StandardStream::Input: return STDIN_FILENO;
    case StandardStream::Output: return STDOUT_FILENO;
    case StandardStream::Error: return STDERR_FILENO;
    }
    return -1;
}

} // namespace

bool isTerminal(StandardStream stream)
{
    return ::isatty(descriptorOf(stream)) == 1;
}

int terminalRows()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_row;
}

KeyMode::KeyMode()
{
    std::lock_guard lock(modeMutex);
    if (holders++ > 0)
        return;
    ignoreBrokenPipe();
    termios current{};
    if (::isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &current) != 0)
        return;

    savedMode = current;
    keySettings = current;
    // Key by key and no echo: the editor echoes itself. ISIG stays, so Ctrl+C
    // raises SIGINT even while nobody reads; input and output flags stay.
    // NOFLSH: Ctrl+C, Ctrl+\ and Ctrl+Z do not throw away keys typed ahead
    // (they wait for the next line) nor output not yet shown.
    keySettings.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHOE | ECHOK | ECHONL);
    keySettings.c_lflag |= NOFLSH;
    keySettings.c_cc[VMIN] = 1;
    keySettings.c_cc[VTIME] = 0;

    if (!exitHookRegistered)
        exitHookRegistered = std::atexit(restoreAtExit) == 0;
    keyModeOn.store(true);
    detail::setKeyModeSignals(true);
    // TCSANOW: keys typed ahead stay in the input queue.
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keySettings) != 0) {
        keyModeOn.store(false);
        detail::setKeyModeSignals(false);
    }
}

KeyMode::~KeyMode()
{
    std::lock_guard lock(modeMutex);
    if (--holders > 0 || !keyModeOn.load())
        return;
    // Restore first: a signal arriving meanwhile still finds key mode on and restores too.
    tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
    keyModeOn.store(false);
    detail::setKeyModeSignals(false);
}

bool KeyMode::isActive()
{
    return keyModeOn.load();
}

namespace detail {

void restoreTerminalFromSignal()
{
    if (keyModeOn.load())
        tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
}

void reapplyKeyModeFromSignal()
{
    // In the background a mode change would stop us again (SIGTTOU); the next
    // SIGCONT that brings us to the foreground applies it.
    if (keyModeOn.load() && tcgetpgrp(STDIN_FILENO) == getpgrp())
        tcsetattr(STDIN_FILENO, TCSANOW, &keySettings);
}

} // namespace detail

} // namespace platform
