// Wake-ups of the interactive console while it waits at its prompt: the
// program runs on a pseudo-terminal, as in a terminal window, and for 10 s
// nobody types. Counted are the context switches of all its threads
// (/proc/<pid>/task/*/status: every time a thread went to sleep or was put
// off the processor) and its CPU time, beside the same figures of a bare Qt
// event loop waiting on standard input (bench/QtIdleStdin.cpp), measured over
// the same 10 s. Arg 0: at the first prompt, no port open; arg 1: with a port
// open on the simulated bus (zephlet-sim). Afterwards a Ctrl+C is typed and
// the time until the console reports it is taken (`ctrl_c_ms`): a console that
// sleeps must still wake at once.
//
// The aim: at most 1 wake-up a second (`wakeups_per_s`), with a port open or not.
#include "SimulatedBus.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kIdleSeconds = 10;
constexpr int kPatienceMs = 20000;

// A program on the slave side of a new pseudo-terminal; the bench holds the master.
class TerminalProgram
{
public:
    explicit TerminalProgram(const char *program)
    {
        winsize size{};
        size.ws_row = 30;
        size.ws_col = 100;
        pid_ = forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ == 0) {
            // A folder without descriptions or options of its own.
            if (chdir("/tmp") != 0)
                _exit(126);
            execl(program, program, static_cast<char *>(nullptr));
            _exit(127);
        }
        if (master_ >= 0)
            fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~TerminalProgram()
    {
        if (pid_ > 0) {
            type("exit\r");
            if (!exited(5000)) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
            }
        }
        if (master_ >= 0)
            close(master_);
    }
    TerminalProgram(const TerminalProgram &) = delete;
    TerminalProgram &operator=(const TerminalProgram &) = delete;

    pid_t pid() const { return pid_; }

    void type(const std::string &keys)
    {
        if (write(master_, keys.data(), keys.size()) != ssize_t(keys.size()))
            perror("typing into the terminal");
    }

    // Reads the terminal until `text` shows behind what earlier waits took;
    // false after `patienceMs`.
    bool waitFor(const std::string &text, int patienceMs = kPatienceMs)
    {
        const auto until = Clock::now() + std::chrono::milliseconds(patienceMs);
        for (;;) {
            const std::size_t at = output_.find(text, consumed_);
            if (at != std::string::npos) {
                consumed_ = at + text.size();
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd fd{master_, POLLIN, 0};
            if (poll(&fd, 1, int(left)) > 0)
                drain();
        }
    }

    // Reads what the program wrote, so that its writes never block.
    void drain()
    {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = read(master_, buffer, sizeof buffer)) > 0)
            output_.append(buffer, std::size_t(n));
    }

private:
    bool exited(int patienceMs)
    {
        const auto until = Clock::now() + std::chrono::milliseconds(patienceMs);
        while (Clock::now() < until) {
            drain();
            if (waitpid(pid_, nullptr, WNOHANG) == pid_)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    int master_ = -1;
    pid_t pid_ = -1;
    std::string output_;
    std::size_t consumed_ = 0;
};

// Context switches of every thread of the process, and its CPU time.
struct Usage
{
    long long switches = 0;
    double cpuSeconds = 0;
};

long long switchesOf(const std::string &taskPath)
{
    std::ifstream status(taskPath + "/status");
    long long total = 0;
    std::string line;
    while (std::getline(status, line)) {
        for (const char *field : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"})
            if (line.rfind(field, 0) == 0)
                total += std::stoll(line.substr(std::strlen(field)));
    }
    return total;
}

// Nanoseconds the thread ran on a processor (the first field of its schedstat).
double cpuSecondsOf(const std::string &taskPath)
{
    std::ifstream schedstat(taskPath + "/schedstat");
    long long ns = 0;
    schedstat >> ns;
    return double(ns) / 1e9;
}

Usage usageOf(pid_t pid)
{
    Usage usage;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR *dir = opendir(tasks.c_str())) {
        while (const dirent *entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            const std::string task = tasks + "/" + entry->d_name;
            usage.switches += switchesOf(task);
            usage.cpuSeconds += cpuSecondsOf(task);
        }
        closedir(dir);
    }
    return usage;
}

void BM_IdleConsole(benchmark::State &state)
{
    const bool withPort = state.range(0) != 0;
    std::unique_ptr<SimulatedBus> bus;
    if (withPort) {
        bus = std::make_unique<SimulatedBus>();
        if (bus->port().empty()) {
            state.SkipWithError("zephlet-sim gave no port");
            return;
        }
    }
    for (auto _ : state) {
        TerminalProgram console(ZEPHLET_CLI);
        TerminalProgram bare(ZEPHLET_QT_IDLE_STDIN);
        if (!console.waitFor(">>> ") || !bare.waitFor(">>> ")) {
            state.SkipWithError("no prompt");
            return;
        }
        if (withPort) {
            console.type("open " + bus->port() + " 1000000\r");
            if (!console.waitFor("bps > ")) {
                state.SkipWithError("the port did not open");
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500)); // start-up work done
        const Usage consoleBefore = usageOf(console.pid());
        const Usage bareBefore = usageOf(bare.pid());
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
        const Usage consoleAfter = usageOf(console.pid());
        const Usage bareAfter = usageOf(bare.pid());
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);

        const auto interrupted = Clock::now();
        console.type("\x03");
        const bool reported = console.waitFor("KeyboardInterrupt");
        const double ctrlCMs = std::chrono::duration<double, std::milli>(Clock::now() - interrupted).count();

        state.counters["wakeups_per_s"] = double(consoleAfter.switches - consoleBefore.switches) / seconds;
        state.counters["bare_wakeups_per_s"] = double(bareAfter.switches - bareBefore.switches) / seconds;
        state.counters["cpu_percent"] = 100 * (consoleAfter.cpuSeconds - consoleBefore.cpuSeconds) / seconds;
        state.counters["bare_cpu_percent"] = 100 * (bareAfter.cpuSeconds - bareBefore.cpuSeconds) / seconds;
        state.counters["ctrl_c_ms"] = reported ? ctrlCMs : -1;
    }
}

} // namespace

BENCHMARK(BM_IdleConsole)->ArgName("port")->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
