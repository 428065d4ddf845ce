#pragma once
// Helper processes (socat, a peer server, the simulator, the program under
// test) end with the test process that started them: should the test abort,
// the kernel kills them, so that none lives on holding CTest's output pipe
// (CTest waits for every holder before it reports the test).

#include <QProcess>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace testsupport {

// In the child, between fork and exec.
inline void endWithParent(pid_t parent)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) // the test ended before the line above took hold
        ::_exit(1);
}

inline void endWithTest(QProcess &process)
{
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent] { endWithParent(parent); });
}

} // namespace testsupport
