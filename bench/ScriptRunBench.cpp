// Script runs as a user starts them, each a fresh process:
//  - the fixed cost: start the program, run `--json -e close`, exit; beside the
//    start of a minimal Qt Core program, the two alternated in one run
//    (counters: the medians and their ratio; the aim is at most 2);
//  - a run that opens the simulated bus, pings and reads one item, less the
//    link's settle pause after an open, beside the same Qt Core start and
//    beside its fair floor: a bare Qt program that puts the same bytes on the
//    line through QSerialPort (lock file, settle pause and replies included),
//    and the same floor program linked with all the Qt modules the program
//    links (what loading them costs every start);
//  - the start with 100 or 500 extra description files in the working folder's
//    "xml" folder, alternated with the start without: what they add in time and
//    in peak memory (the aim is under 100 ms and 10 MiB for 500);
//  - the cost per command of a long script of get lines against a simulated
//    device (zephlet-sim): it should not grow with the length; and its CPU
//    and wall time beside a bare C client putting the same packets on the line.
#include "SimulatedBus.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Run
{
    double ms = 0;        // wall time
    double cpuMs = 0;     // user and system time of the process
    double peakMiB = 0;   // the process's peak resident memory
};

double milliseconds(const timeval &time)
{
    return double(time.tv_sec) * 1000.0 + double(time.tv_usec) / 1000.0;
}

// Runs the program to its end with its output discarded, in `folder` when given.
Run runOnce(std::vector<const char *> argv, const char *folder = nullptr)
{
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (folder)
        posix_spawn_file_actions_addchdir_np(&actions, folder);
    const auto start = Clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, argv.front(), &actions, nullptr, const_cast<char **>(argv.data()), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    struct rusage usage = {};
    if (pid > 0)
        wait4(pid, nullptr, 0, &usage);
    Run run;
    run.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    run.cpuMs = milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime);
    run.peakMiB = double(usage.ru_maxrss) / 1024.0; // KiB on Linux
    return run;
}

double medianOf(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0 : samples[samples.size() / 2];
}

// The wall and CPU times of the runs of one program.
struct Samples
{
    std::vector<double> ms;
    std::vector<double> cpuMs;

    void add(const Run &run, double lessMs = 0)
    {
        ms.push_back(run.ms - lessMs);
        cpuMs.push_back(run.cpuMs);
    }
};

// The counters of a run of the program beside the Qt Core start: medians of
// wall time (ratio: the aim) and of CPU time, which the load of a shared
// machine disturbs far less.
void reportBesideQtCore(benchmark::State &state, const Samples &script, const Samples &qtCore)
{
    const double scriptMs = medianOf(script.ms);
    const double qtCoreMs = medianOf(qtCore.ms);
    state.counters["script_median_ms"] = scriptMs;
    state.counters["qt_core_median_ms"] = qtCoreMs;
    state.counters["ratio"] = qtCoreMs > 0 ? scriptMs / qtCoreMs : 0;
    state.counters["script_cpu_ms"] = medianOf(script.cpuMs);
    state.counters["qt_core_cpu_ms"] = medianOf(qtCore.cpuMs);
}

void BM_ScriptRunFixedCost(benchmark::State &state)
{
    Samples script;
    Samples qtCore;
    for (auto _ : state) {
        qtCore.add(runOnce({ZEPHLET_QT_CORE_START}));
        script.add(runOnce({ZEPHLET_CLI, "--json", "-e", "close"}));
    }
    reportBesideQtCore(state, script, qtCore);
}

// Open the simulated bus, ping the device and read one item: the work of a
// short script, less the pause the link takes to settle after an open. The
// floor does the same on the line with nothing but QSerialPort (and the same
// pause, taken off the same way): what the program adds is the difference.
void BM_ScriptRunOpenPingRead(benchmark::State &state)
{
    const SimulatedBus bus;
    if (bus.port().empty()) {
        state.SkipWithError("zephlet-sim gave no port");
        return;
    }
    const std::string open = "open " + bus.port() + " 1000000";
    constexpr double kSettleMs = 100;
    Samples script;
    Samples qtCore;
    Samples floor;
    Samples floorAllLibraries;
    for (auto _ : state) {
        qtCore.add(runOnce({ZEPHLET_QT_CORE_START}));
        floor.add(runOnce({ZEPHLET_QT_SERIAL_FLOOR, bus.port().c_str(), "1000000"}), kSettleMs);
        floorAllLibraries.add(runOnce({ZEPHLET_QT_SERIAL_FLOOR_ALL_LIBRARIES, bus.port().c_str(), "1000000"}),
                              kSettleMs);
        script.add(runOnce({ZEPHLET_CLI, "--json", "-e", open.c_str(), "-e", "ping 1", "-e",
                            "get 1 \"Present Position\""}),
                   kSettleMs);
    }
    reportBesideQtCore(state, script, qtCore);
    const double floorMs = medianOf(floor.ms);
    state.counters["floor_median_ms"] = floorMs;
    state.counters["ratio_to_floor"] = floorMs > 0 ? medianOf(script.ms) / floorMs : 0;
    state.counters["floor_cpu_ms"] = medianOf(floor.cpuMs);
    state.counters["floor_all_libs_median_ms"] = medianOf(floorAllLibraries.ms);
    state.counters["floor_all_libs_cpu_ms"] = medianOf(floorAllLibraries.cpuMs);
}

// A working folder whose "xml" folder holds `count` descriptions of models no
// device reports: copies of a built-in one under other model numbers.
class ExtraDescriptions
{
public:
    explicit ExtraDescriptions(long count)
    {
        char folder[] = "/tmp/zephlet-descriptions-bench-XXXXXX";
        if (!mkdtemp(folder))
            return;
        folder_ = folder;
        const std::string xml = folder_ + "/xml";
        mkdir(xml.c_str(), 0700);
        std::ifstream in(ZEPHLET_DESCRIPTION_SAMPLE);
        const std::string sample((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string number = "ModelNumber=\"";
        const std::size_t at = sample.find(number);
        if (at == std::string::npos)
            return;
        const std::size_t end = sample.find('"', at + number.size());
        for (long i = 0; i < count; ++i) {
            const std::string path = xml + "/extra-" + std::to_string(i) + ".xml";
            std::ofstream(path) << sample.substr(0, at + number.size()) << 60000 + i << sample.substr(end);
            files_.push_back(path);
        }
        ok_ = true;
    }
    ~ExtraDescriptions()
    {
        for (const std::string &path : files_)
            unlink(path.c_str());
        if (!folder_.empty()) {
            rmdir((folder_ + "/xml").c_str());
            rmdir(folder_.c_str());
        }
    }
    ExtraDescriptions(const ExtraDescriptions &) = delete;
    ExtraDescriptions &operator=(const ExtraDescriptions &) = delete;

    bool ok() const { return ok_; }
    const char *folder() const { return folder_.c_str(); }

private:
    std::string folder_;
    std::vector<std::string> files_;
    bool ok_ = false;
};

// `--json -e close` with N extra description files beside the same without any:
// what they add in time and memory, and the ratio of the two (the aim for 500
// files: at most 1.2).
void BM_ScriptRunExtraDescriptions(benchmark::State &state)
{
    const ExtraDescriptions none(0);
    const ExtraDescriptions extra(state.range(0));
    if (!none.ok() || !extra.ok()) {
        state.SkipWithError("no description files could be written");
        return;
    }
    Samples runs[2];
    std::vector<double> peak[2];
    for (auto _ : state) {
        const ExtraDescriptions *folders[2] = {&none, &extra};
        for (int i = 0; i < 2; ++i) {
            const Run run = runOnce({ZEPHLET_CLI, "--json", "-e", "close"}, folders[i]->folder());
            runs[i].add(run);
            peak[i].push_back(run.peakMiB);
        }
    }
    const double noneMs = medianOf(runs[0].ms);
    const double extraMs = medianOf(runs[1].ms);
    state.counters["none_median_ms"] = noneMs;
    state.counters["extra_median_ms"] = extraMs;
    state.counters["added_ms"] = extraMs - noneMs;
    state.counters["ratio"] = noneMs > 0 ? extraMs / noneMs : 0;
    state.counters["none_cpu_ms"] = medianOf(runs[0].cpuMs);
    state.counters["extra_cpu_ms"] = medianOf(runs[1].cpuMs);
    state.counters["none_peak_MiB"] = medianOf(peak[0]);
    state.counters["added_MiB"] = medianOf(peak[1]) - medianOf(peak[0]);
}

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
// of the 3n after them, which stay equal when nothing grows per command. Beside
// them the bare C client (bench/BareBusClient.c) puts the same PING and READ
// per get on the same line, n and 4n times: the CPU time and the wall time of
// a get of the program against those of the bare client (`cpu_ratio`, aim at
// most 1.5; `wall_ratio`, aim at most 1.2), both taken from the 3n later gets
// so that neither start counts.
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
    const std::string bareCounts[] = {std::to_string(n), std::to_string(4 * n)};
    Samples runs[3];
    Samples bare[2];
    for (auto _ : state) {
        for (int i = 0; i < 3; ++i)
            runs[i].add(runOnce({ZEPHLET_CLI, "--json", "-f", scripts[i].c_str()}));
        for (int i = 0; i < 2; ++i)
            bare[i].add(runOnce({ZEPHLET_BARE_BUS_CLIENT, bus.port().c_str(), "get", bareCounts[i].c_str()}));
    }
    for (const std::string &path : scripts)
        unlink(path.c_str());
    const double later = 3.0 * double(n);
    const double none = medianOf(runs[0].ms);
    const double first = (medianOf(runs[1].ms) - none) / double(n);
    const double laterMs = (medianOf(runs[2].ms) - medianOf(runs[1].ms)) / later;
    state.counters["first_ms_per_get"] = first;
    state.counters["later_ms_per_get"] = laterMs;
    state.counters["growth"] = first > 0 ? laterMs / first : 0;

    const double cpuUs = 1000 * (medianOf(runs[2].cpuMs) - medianOf(runs[1].cpuMs)) / later;
    const double bareCpuUs = 1000 * (medianOf(bare[1].cpuMs) - medianOf(bare[0].cpuMs)) / later;
    const double bareWallUs = 1000 * (medianOf(bare[1].ms) - medianOf(bare[0].ms)) / later;
    state.counters["cpu_us_per_get"] = cpuUs;
    state.counters["bare_cpu_us_per_get"] = bareCpuUs;
    state.counters["cpu_ratio"] = bareCpuUs > 0 ? cpuUs / bareCpuUs : 0;
    state.counters["wall_us_per_get"] = 1000 * laterMs;
    state.counters["bare_wall_us_per_get"] = bareWallUs;
    state.counters["wall_ratio"] = bareWallUs > 0 ? 1000 * laterMs / bareWallUs : 0;
}

} // namespace

BENCHMARK(BM_ScriptRunFixedCost)->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScriptRunOpenPingRead)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScriptRunExtraDescriptions)->Arg(100)->Arg(500)->Iterations(31)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LongScriptPerCommand)->Arg(250)->Iterations(11)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
