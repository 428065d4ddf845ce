#include "platform/ConsoleControl.h"
#include "platform/Signals_unix.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace platform {

namespace {

static_assert(std::atomic<ControlHandler>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

std::atomic<ControlHandler> controlHandler{nullptr};
std::atomic<int> wakeWriteFd{-1};
int wakeReadEnd = -1;
std::once_flag wakeOnce;

// One of the signals we may take over. `installed` is read by the stop
// handler, which puts itself back after the process is continued.
struct Slot
{
    int signal;
    void (*handler)(int);
    std::atomic<bool> installed{false};
    struct sigaction previous{};
};

void onControlSignal(int signal);
void onTerminateSignal(int signal);
void onStopSignal(int signal);
void onContinueSignal(int signal);

Slot slots[] = {
    {SIGINT, onControlSignal},     {SIGQUIT, onControlSignal}, {SIGTERM, onTerminateSignal},
    {SIGHUP, onTerminateSignal},   {SIGTSTP, onStopSignal},    {SIGCONT, onContinueSignal},
};

std::mutex installMutex;
bool keyModeWantsSignals = false;

struct sigaction ourAction(void (*handler)(int))
{
    struct sigaction action{};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    // One of our handlers at a time: a SIGTERM never cuts into a SIGTSTP restore.
    sigemptyset(&action.sa_mask);
    for (const Slot &slot : slots)
        sigaddset(&action.sa_mask, slot.signal);
    return action;
}

void setDisposition(int signal, void (*handler)(int))
{
    struct sigaction action{};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// The signal's default action, after the terminal has its own mode back. The
// signal is blocked while its handler runs, so the raise takes effect as soon
// as the handler returns.
void defaultAction(int signal)
{
    detail::restoreTerminalFromSignal();
    setDisposition(signal, SIG_DFL);
    raise(signal);
}

void onControlSignal(int signal)
{
    const int savedErrno = errno;
    const ControlHandler handler = controlHandler.load();
    if (handler && handler(signal == SIGINT ? ControlEvent::Interrupt : ControlEvent::Break))
        wakeKeyInput();
    else
        defaultAction(signal);
    errno = savedErrno;
}

void onTerminateSignal(int signal)
{
    const int savedErrno = errno;
    defaultAction(signal);
    errno = savedErrno;
}

void onStopSignal(int signal)
{
    const int savedErrno = errno;
    detail::restoreTerminalFromSignal();
    setDisposition(signal, SIG_DFL);
    raise(signal);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, signal);
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr); // the process stops here until SIGCONT
    for (Slot &slot : slots) {
        if (slot.signal == signal && slot.installed.load()) {
            const struct sigaction action = ourAction(onStopSignal);
            sigaction(signal, &action, nullptr);
        }
    }
    detail::reapplyKeyModeFromSignal();
    errno = savedErrno;
}

void onContinueSignal(int)
{
    const int savedErrno = errno;
    detail::reapplyKeyModeFromSignal();
    errno = savedErrno;
}

bool isDefault(const struct sigaction &action)
{
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL;
}

// Takes over exactly the signals that are wanted and still have their default
// disposition: a signal that was ignored when we started (nohup, a background
// job) or that someone else handles is left alone.
void updateInstalled()
{
    const bool control = controlHandler.load() != nullptr || keyModeWantsSignals;
    for (Slot &slot : slots) {
        const bool controlSignal = slot.signal == SIGINT || slot.signal == SIGQUIT;
        const bool wanted = controlSignal ? control : keyModeWantsSignals;
        if (wanted && !slot.installed.load()) {
            const struct sigaction action = ourAction(slot.handler);
            struct sigaction previous{};
            sigaction(slot.signal, &action, &previous);
            if (!isDefault(previous)) {
                sigaction(slot.signal, &previous, nullptr);
                continue;
            }
            slot.previous = previous;
            slot.installed.store(true);
        } else if (!wanted && slot.installed.load()) {
            slot.installed.store(false);
            sigaction(slot.signal, &slot.previous, nullptr);
        }
    }
}

} // namespace

void setControlHandler(ControlHandler handler)
{
    ignoreBrokenPipe();
    detail::wakeReadFd();
    std::lock_guard lock(installMutex);
    controlHandler.store(handler);
    updateInstalled();
}

void wakeKeyInput()
{
    const int fd = wakeWriteFd.load();
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds a wake-up; nothing is lost by failing.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
}

void ignoreBrokenPipe()
{
    static std::once_flag once;
    std::call_once(once, [] { setDisposition(SIGPIPE, SIG_IGN); });
}

namespace detail {

int wakeReadFd()
{
    std::call_once(wakeOnce, [] {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            wakeReadEnd = fds[0];
            wakeWriteFd.store(fds[1]);
        }
    });
    return wakeReadEnd;
}

void drainWake()
{
    char buffer[64];
    while (wakeReadEnd >= 0 && ::read(wakeReadEnd, buffer, sizeof buffer) > 0) {
    }
}

void setKeyModeSignals(bool on)
{
    wakeReadFd();
    std::lock_guard lock(installMutex);
    keyModeWantsSignals = on;
    updateInstalled();
}

} // namespace detail

} // namespace platform
