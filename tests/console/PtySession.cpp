#include "PtySession.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// After fork() in a threaded process only async-signal-safe calls are made until exec.
[[noreturn]] void runProgram(int slave, int goAhead, const std::vector<char *> &argv)
{
    setpgid(0, 0);
    char go;
    while (read(goAhead, &go, 1) < 0 && errno == EINTR) {
    }
    dup2(slave, STDIN_FILENO);
    dup2(slave, STDOUT_FILENO);
    dup2(slave, STDERR_FILENO);
    if (slave > STDERR_FILENO)
        close(slave);
    for (int signal : {SIGINT, SIGQUIT, SIGTSTP, SIGTERM, SIGHUP, SIGCONT, SIGPIPE})
        ::signal(signal, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    execv(argv[0], argv.data());
    _exit(127);
}

[[noreturn]] void leadSession(int slave, int reportPid, const std::vector<char *> &argv)
{
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    int goAhead[2];
    if (pipe(goAhead) != 0)
        _exit(126);
    const pid_t program = fork();
    if (program == 0) {
        close(goAhead[1]);
        runProgram(slave, goAhead[0], argv);
    }
    setpgid(program, program);
    tcsetpgrp(slave, program);
    [[maybe_unused]] ssize_t n = write(goAhead[1], "g", 1);
    n = write(reportPid, &program, sizeof program);
    int status = 0;
    while (waitpid(program, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

} // namespace

PtySession::PtySession(const QString &program, const QStringList &arguments, int rows, int columns)
{
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(columns);
    if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0)
        return;
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    tcgetattr(slave_, &initialMode_);

    QList<QByteArray> storage{program.toLocal8Bit()};
    for (const QString &argument : arguments)
        storage.append(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &bytes : storage)
        argv.push_back(bytes.data());
    argv.push_back(nullptr);

    int report[2];
    if (pipe(report) != 0)
        return;
    leader_ = fork();
    if (leader_ == 0) {
        close(master_);
        close(report[0]);
        leadSession(slave_, report[1], argv);
    }
    close(report[1]);
    pid_t pid = -1;
    if (read(report[0], &pid, sizeof pid) == sizeof pid)
        program_ = pid;
    close(report[0]);
}

PtySession::~PtySession()
{
    if (program_ > 0 && exitCode_ < 0)
        kill(program_, SIGKILL);
    if (leader_ > 0 && exitCode_ < 0)
        waitpid(leader_, nullptr, 0);
    if (master_ >= 0)
        close(master_);
    if (slave_ >= 0)
        close(slave_);
}

void PtySession::type(const QByteArray &keys)
{
    qsizetype done = 0;
    while (done < keys.size()) {
        const ssize_t n = write(master_, keys.constData() + done, size_t(keys.size() - done));
        if (n > 0)
            done += n;
        else if (errno != EINTR && errno != EAGAIN)
            return;
    }
}

void PtySession::readFor(int milliseconds)
{
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, milliseconds) <= 0)
        return;
    char buffer[4096];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n > 0)
        output_.append(buffer, n);
}

template<typename Condition>
bool PtySession::waitUntil(Condition condition, int patienceMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > patienceMs)
            return false;
        readFor(10); // keep the terminal drained so the program never blocks on output
    }
    return true;
}

bool PtySession::waitFor(const QByteArray &text, int patienceMs)
{
    return waitUntil(
        [&] {
            const qsizetype at = output_.indexOf(text, consumed_);
            if (at < 0)
                return false;
            consumed_ = at + text.size();
            return true;
        },
        patienceMs);
}

termios PtySession::mode() const
{
    termios now{};
    tcgetattr(slave_, &now);
    return now;
}

bool PtySession::waitForKeyMode()
{
    return waitUntil([&] { return isKeyMode(mode()); });
}

bool PtySession::waitForInitialMode()
{
    return waitUntil([&] { return sameMode(mode(), initialMode_); });
}

bool PtySession::waitForState(char state)
{
    return waitUntil([&] { return processState(program_) == state; });
}

int PtySession::waitExit()
{
    waitUntil([&] {
        int status = 0;
        if (waitpid(leader_, &status, WNOHANG) != leader_)
            return false;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    });
    return exitCode_;
}

bool isKeyMode(const termios &mode)
{
    return !(mode.c_lflag & ICANON) && !(mode.c_lflag & ECHO) && (mode.c_lflag & ISIG) && (mode.c_lflag & NOFLSH)
        && (mode.c_oflag & OPOST)
        && mode.c_cc[VMIN] == 1;
}

bool sameMode(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag && a.c_cflag == b.c_cflag
        && a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

namespace {
QList<QByteArray> statFields(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.readAll();
    // The command name in parentheses may hold blanks; the fields follow the last ')'.
    return text.mid(text.lastIndexOf(')') + 2).split(' ');
}
} // namespace

char processState(pid_t pid)
{
    const QList<QByteArray> fields = statFields(pid);
    return fields.isEmpty() || fields.first().isEmpty() ? '?' : fields.first().at(0);
}

double processCpuSeconds(pid_t pid)
{
    // utime and stime are fields 14 and 15 of the line, 12th and 13th after the name.
    const QList<QByteArray> fields = statFields(pid);
    if (fields.size() < 13)
        return -1;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}
