#pragma once
// Runs a program the way a shell would, with arguments as raw bytes (so a test
// can pass bytes that are not UTF-8), its standard streams on pipes, optional
// extra environment, and signals on request. Output is collected while the
// program runs, so a large output never blocks it.

#include <QByteArray>
#include <QList>
#include <QString>
#include <sys/types.h>

class ChildProcess
{
public:
    // `environment` entries are "NAME=value", added to this process's environment.
    ChildProcess(const QString &program, const QList<QByteArray> &arguments,
                 const QList<QByteArray> &environment = {});
    ~ChildProcess(); // kills what is still running
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool started() const { return pid_ > 0; }

    void write(const QByteArray &bytes); // to the program's standard input
    void closeInput();
    // Stops reading standard output and closes our end: the program's next
    // write there meets a closed pipe.
    void closeOutput();
    void signal(int number);

    // Reads until `text` shows on standard output or standard error; false after `timeoutMs`.
    bool waitForOutput(const QByteArray &text, int timeoutMs = 20000);
    // Waits for the end: the exit code, or 128 + the signal that ended it;
    // -1 when it has not ended within `timeoutMs` (it is then killed).
    int wait(int timeoutMs = 60000);

    // The signal that ended the program, 0 when it exited by itself.
    int termSignal() const;

    QByteArray out() const { return out_; }
    QByteArray err() const { return err_; }

private:
    void pump(int timeoutMs);

    pid_t pid_ = -1;
    int in_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    QByteArray out_;
    QByteArray err_;
    int status_ = -1;
};

// Runs to the end with the given standard input (closed after it is written).
struct ProgramResult
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
ProgramResult runProgram(const QString &program, const QList<QByteArray> &arguments, const QByteArray &input = {},
                         const QList<QByteArray> &environment = {});
