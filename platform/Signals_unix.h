#pragma once
// Shared between the terminal and control-event code of this platform; not
// for use outside platform/.

namespace platform::detail {

// Read end of the pipe that wakeKeyInput() writes to (created on first use).
int wakeReadFd();
// Empties the wake pipe after a wake-up was seen.
void drainWake();

// Installs or removes the handlers that key mode needs (terminal restore on
// SIGTERM, SIGHUP, SIGQUIT/SIGINT without a control handler, SIGTSTP/SIGCONT).
void setKeyModeSignals(bool on);

// Async-signal-safe: put the saved terminal mode back / apply key mode again
// (only while key mode holds, and only from the foreground).
void restoreTerminalFromSignal();
void reapplyKeyModeFromSignal();

} // namespace platform::detail
