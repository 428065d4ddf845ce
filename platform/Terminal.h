#pragma once
// The terminal behind the standard streams: whether a stream is one, its
// height, and the key mode that the line editor needs.
//
// Key mode: standard input (when it is a terminal) reads key by key, without
// line buffering and without the terminal's echo; Ctrl+C, Ctrl+\ and Ctrl+Z
// still raise their signals but no longer flush keys typed ahead, and output
// processing (LF written as CR LF) stays as it was. KeyMode objects own the mode: the first one alive saves the mode
// found and switches to key mode, the last one to go puts the saved mode back.
// KeyMode objects nest and may live on any thread. While key mode holds, the
// saved mode is also restored
//   - at exit() (also when a KeyMode is never destroyed),
//   - on SIGTERM, SIGHUP, and on SIGINT/SIGQUIT that no control handler takes
//     (ConsoleControl.h), each followed by the signal's default action,
//   - on SIGTSTP before the process stops; SIGCONT brings key mode back when
//     the process is in the foreground again.
// The console takes a KeyMode before it prints its banner; the line editor
// takes one itself at its first read from standard input and holds it while
// it exists; the continuous get takes one for its loop (nothing changes when
// another one is already held). With standard input
// not a terminal, a KeyMode changes nothing.

namespace platform {

enum class StandardStream { Input, Output, Error };

// Whether the stream is connected to a terminal.
bool isTerminal(StandardStream stream);

// Visible rows of the terminal that standard output writes to; 0 when
// standard output is no terminal or the terminal does not tell its size.
int terminalRows();

class KeyMode
{
public:
    KeyMode();
    ~KeyMode();
    KeyMode(const KeyMode &) = delete;
    KeyMode &operator=(const KeyMode &) = delete;

    // True while standard input is a terminal held in key mode.
    static bool isActive();
};

} // namespace platform
