#pragma once
// Ctrl+C and its kin: the console control events of the two front ends.
//
// Ctrl+C (SIGINT) is the Interrupt event; Ctrl+\ (SIGQUIT) stands for
// Ctrl+Break and is the Break event. A control handler set with
// setControlHandler() sees each event and returns true when it has dealt with
// it; otherwise the terminal mode is restored (Terminal.h) and the signal's
// default action ends the process. Without a handler both signals keep their
// default action, apart from that terminal restore while key mode holds.
//
// The handler runs inside a signal handler, on whichever thread the signal
// lands: it may only load and store lock-free atomics (std::atomic<bool>,
// std::atomic<T*>, compare-and-swap on std::atomic<int>) and must return at
// once. After a handled event every KeyInput waiting for keys wakes up, so a
// flag set by the handler is seen by the line editor at once.
//
// SIGPIPE is ignored by the whole process from the first output on (see
// OutputSink.h): a closed reader of our output never ends the program.

namespace platform {

enum class ControlEvent { Interrupt, Break };

using ControlHandler = bool (*)(ControlEvent event);

// Sets the process's control handler (null removes it). Call it from normal
// code, not from a signal handler.
void setControlHandler(ControlHandler handler);

// Wakes every KeyInput::wait() now in progress (async-signal-safe; any thread).
void wakeKeyInput();

// Makes writes to a closed pipe fail with EPIPE instead of raising SIGPIPE.
void ignoreBrokenPipe();

} // namespace platform
