// The fixed cost of a script run as a user sees it: start the program, load the
// device descriptions, run one command, exit; beside the start of a minimal Qt
// Core program measured in the same run. Each is a fresh process; the counters
// give the medians and their ratio (the aim is at most 2).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <spawn.h>
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

} // namespace

BENCHMARK(BM_ScriptRunFixedCost)->Iterations(40)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
