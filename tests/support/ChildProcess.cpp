#include "tests/support/ChildProcess.h"

#include "tests/support/EndWithTest.h"

#include <QElapsedTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

ChildProcess::ChildProcess(const QString &program, const QList<QByteArray> &arguments,
                           const QList<QByteArray> &environment)
{
    ::signal(SIGPIPE, SIG_IGN); // a program that ends before reading its input must not end the test
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return;

    const QByteArray path = program.toLocal8Bit();
    QList<QByteArray> argumentStore{path};
    argumentStore.append(arguments);
    std::vector<char *> argv;
    for (QByteArray &argument : argumentStore)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    QList<QByteArray> environmentStore;
    for (char **entry = environ; *entry; ++entry)
        environmentStore.append(QByteArray(*entry));
    environmentStore.append(environment);
    std::vector<char *> envp;
    for (QByteArray &entry : environmentStore)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        testsupport::endWithParent(parent);
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        // The program starts with the default dispositions a shell gives it.
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGQUIT, SIG_DFL);
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(path.constData(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    outFd_ = out[0];
    errFd_ = err[0];
    if (pid_ < 0) {
        closeFd(in_);
        closeFd(outFd_);
        closeFd(errFd_);
    }
}

ChildProcess::~ChildProcess()
{
    if (pid_ > 0 && status_ < 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    closeFd(in_);
    closeFd(outFd_);
    closeFd(errFd_);
}

void ChildProcess::write(const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0 && in_ >= 0) {
        const ssize_t n = ::write(in_, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        left -= n;
    }
}

void ChildProcess::closeInput()
{
    closeFd(in_);
}

void ChildProcess::closeOutput()
{
    closeFd(outFd_);
}

void ChildProcess::signal(int number)
{
    if (pid_ > 0 && status_ < 0)
        ::kill(pid_, number);
}

void ChildProcess::pump(int timeoutMs)
{
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) <= 0)
        return;
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        int &fd = i == 0 ? outFd_ : errFd_;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            (i == 0 ? out_ : err_).append(buffer, n);
        else if (n == 0 || errno != EINTR)
            closeFd(fd);
    }
}

bool ChildProcess::waitForOutput(const QByteArray &text, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!out_.contains(text) && !err_.contains(text)) {
        if (clock.elapsed() > timeoutMs || (outFd_ < 0 && errFd_ < 0))
            return false;
        pump(20);
    }
    return true;
}

int ChildProcess::wait(int timeoutMs)
{
    if (pid_ <= 0)
        return -1;
    QElapsedTimer clock;
    clock.start();
    while (status_ < 0) {
        if (outFd_ >= 0 || errFd_ >= 0)
            pump(10);
        else
            ::usleep(2000);
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = status;
            break;
        }
        if (clock.elapsed() > timeoutMs) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            status_ = 0;
            return -1;
        }
    }
    while (outFd_ >= 0 || errFd_ >= 0)
        pump(100); // the rest of the output
    if (WIFEXITED(status_))
        return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_))
        return 128 + WTERMSIG(status_);
    return -1;
}

int ChildProcess::termSignal() const
{
    return status_ >= 0 && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

ProgramResult runProgram(const QString &program, const QList<QByteArray> &arguments, const QByteArray &input,
                         const QList<QByteArray> &environment)
{
    ChildProcess child(program, arguments, environment);
    child.write(input);
    child.closeInput();
    ProgramResult result;
    result.exitCode = child.wait();
    result.out = child.out();
    result.err = child.err();
    return result;
}
