#pragma once
// Runs a program on a pseudo-terminal the way an interactive shell runs a
// foreground job: a session leader holds the terminal as its controlling
// terminal and the program runs in a process group of its own, in the
// foreground. Keys typed into the terminal (Ctrl+C, Ctrl+\, Ctrl+Z) thus reach
// the program as signals, and a stopped program can be continued.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <sys/types.h>
#include <termios.h>

class PtySession
{
public:
    PtySession(const QString &program, const QStringList &arguments, int rows = 30, int columns = 100);
    ~PtySession(); // kills what is still running
    PtySession(const PtySession &) = delete;
    PtySession &operator=(const PtySession &) = delete;

    bool started() const { return program_ > 0; }
    pid_t programPid() const { return program_; }

    void type(const QByteArray &keys);

    // Reads the terminal until `text` appears behind what earlier waits
    // consumed; false (with the output for the failure message) after 20 s,
    // or after `patienceMs` for what takes longer (a firmware update).
    bool waitFor(const QByteArray &text, int patienceMs = kPatienceMs);
    QByteArray output() const { return output_; }

    termios initialMode() const { return initialMode_; }
    termios mode() const;
    // Waits until the terminal is in the key mode of the line editor, or back
    // in its initial mode; false after 20 s.
    bool waitForKeyMode();
    bool waitForInitialMode();
    // Waits until the program's state letter in /proc is `state` ('T': stopped).
    bool waitForState(char state);

    // Waits for the program to end: its exit code, or 128 + the signal that
    // ended it; -1 when it has not ended after 20 s.
    int waitExit();

private:
    void readFor(int milliseconds);
    static constexpr int kPatienceMs = 20000; // guards against a hang; no test measures time with it

    template<typename Condition>
    bool waitUntil(Condition condition, int patienceMs = kPatienceMs);

    int master_ = -1;
    int slave_ = -1;
    pid_t leader_ = -1;
    pid_t program_ = -1;
    termios initialMode_{};
    QByteArray output_;
    qsizetype consumed_ = 0;
    int exitCode_ = -1;
};

// Key mode: key by key, no echo, signals from the keyboard (without flushing) and output processing kept.
bool isKeyMode(const termios &mode);
bool sameMode(const termios &a, const termios &b);

// Fields of /proc/<pid>/stat: the state letter and the CPU time used so far in seconds.
char processState(pid_t pid);
double processCpuSeconds(pid_t pid);
