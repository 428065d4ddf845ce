#pragma once

// The simulated bus as its own process for the benchmarks that run the
// program as a whole: zephlet-sim serving one AR-240 on a pseudo-terminal,
// ended when the object goes.

#include <csignal>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

class SimulatedBus
{
public:
    SimulatedBus()
    {
        int out[2];
        if (pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const char *argv[] = {ZEPHLET_SIM, "--device", "id=1,model=1020,fw=53", nullptr};
        if (posix_spawn(&pid_, ZEPHLET_SIM, &actions, nullptr, const_cast<char **>(argv), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            port_ += c;
        close(out[0]);
    }
    ~SimulatedBus()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    SimulatedBus(const SimulatedBus &) = delete;
    SimulatedBus &operator=(const SimulatedBus &) = delete;

    const std::string &port() const { return port_; }

private:
    pid_t pid_ = -1;
    std::string port_;
};
