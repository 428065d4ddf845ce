// Script runs as a user starts them, each a fresh process:
//  - the fixed cost: start the program, load the device descriptions, run one
//    command, exit; beside the start of a minimal Qt Core program measured in
//    the same run (counters: the medians and their ratio; the aim is at most 2);
//  - the cost per command of a long script of get lines against a simulated
//    device (zephlet-sim): per_command_ms should not grow with the length.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// Runs the program to its end with its output discarded; the wall time in ms.
double runOnceMs(std::vector<const char *> argv)
{
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, argv.front(), &actions, nullptr, const_cast<char **>(argv.data()), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double medianOf(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0 : samples[samples.size() / 2];
}

void BM_ScriptRunFixedCost(benchmark::State &state)
{
    std::vector<double> script;
    std::vector<double> qtCore;
    for (auto _ : state) {
        qtCore.push_back(runOnceMs({ZEPHLET_QT_CORE_START}));
        script.push_back(runOnceMs({ZEPHLET_CLI, "--json", "-e", "help"}));
    }
    const double scriptMs = medianOf(script);
    const double qtCoreMs = medianOf(qtCore);
    state.counters["script_median_ms"] = scriptMs;
    state.counters["qt_core_median_ms"] = qtCoreMs;
    state.counters["ratio"] = qtCoreMs > 0 ? scriptMs / qtCoreMs : 0;
}

// The simulated bus as its own process, serving one AR-240 on a pseudo-terminal.
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

// A script file: open the bus's port, then `gets` reads of one item.
std::string writeScript(const std::string &port, long gets)
{
    char path[] = "/tmp/zephlet-script-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return {};
    std::string script = "open " + port + " 1000000\n";
    for (long i = 0; i < gets; ++i)
        script += "get 1 \"Present Position\"\n";
    const bool written = write(fd, script.data(), script.size()) == ssize_t(script.size());
    close(fd);
    return written ? std::string(path) : std::string();
}

// Runs of 0, n and 4n gets: the cost of each of the first n gets and of each
// of the 3n after them, which stay equal when nothing grows per command.
void BM_LongScriptPerCommand(benchmark::State &state)
{
    const SimulatedBus bus;
    if (bus.port().empty()) {
        state.SkipWithError("zephlet-sim gave no port");
        return;
    }
    const long n = state.range(0);
    const std::string scripts[] = {writeScript(bus.port(), 0), writeScript(bus.port(), n),
                                   writeScript(bus.port(), 4 * n)};
    std::vector<double> runs[3];
    for (auto _ : state) {
        for (int i = 0; i < 3; ++i)
            runs[i].push_back(runOnceMs({ZEPHLET_CLI, "--json", "-f", scripts[i].c_str()}));
    }
    for (const std::string &path : scripts)
        unlink(path.c_str());
    const double none = medianOf(runs[0]);
    const double first = (medianOf(runs[1]) - none) / double(n);
    const double later = (medianOf(runs[2]) - medianOf(runs[1])) / double(3 * n);
    state.counters["first_ms_per_get"] = first;
    state.counters["later_ms_per_get"] = later;
    state.counters["growth"] = first > 0 ? later / first : 0;
}

} // namespace

BENCHMARK(BM_ScriptRunFixedCost)->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LongScriptPerCommand)->Arg(100)->Iterations(7)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
