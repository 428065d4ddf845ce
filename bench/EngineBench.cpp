// The reading and aging engines on their real timers against the simulated
// bus: a multi-graph of ten servos at 10 ms (reads done beside the ticks the
// interval offers, and the CPU time they cost); the multi-graph poll of four
// servos at 10 ms beside a bare C client putting the same BULK_READ on the
// same line on a timer of its own (CPU time and system calls a poll); and an
// aging run on its 1 ms timer between two due points (the CPU time of the
// ticks that find nothing due). The engines run on this thread's event loop,
// as a front end would have to run them.
#include "comm/QvxPort.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimPackets.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs this thread's event loop for `ms`.
void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Bus
{
    sim::SimBus bus;
    QvxPort port{false};
    explicit Bus(int servos)
    {
        for (int id = 1; id <= servos; ++id) {
            bus.addDevice(sim::Device::protocol2(quint8(id), 1020, 53));
            bus.setMemory(quint8(id), 132, sim::fromHex("00 08 00 00"));
        }
        port.open(bus.portName(), 1000000);
    }
};

// Counts the system calls of one thread while it lives: strace attached to it
// (-c, a summary at the end). Counting slows the thread down, so it is a pass
// of its own, never one whose time is measured. count() is -1 when strace is
// missing or may not attach.
class SyscallCount
{
public:
    explicit SyscallCount(pid_t thread)
    {
        char path[] = "/tmp/zephlet-syscalls-XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0)
            return;
        ::close(fd);
        output_ = path;
        const std::string id = std::to_string(thread);
        const char *argv[] = {"strace", "-c", "-q", "-p", id.c_str(), "-o", output_.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, "strace", &actions, nullptr, const_cast<char **>(argv), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        // Attached once the thread names its tracer; at most 5 s.
        for (int i = 0; i < 500 && pid_ > 0 && !traced(thread); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~SyscallCount()
    {
        stop();
        if (!output_.empty())
            unlink(output_.c_str());
    }
    SyscallCount(const SyscallCount &) = delete;
    SyscallCount &operator=(const SyscallCount &) = delete;

    // Detaches strace and gives the calls it counted.
    long long count()
    {
        stop();
        std::ifstream summary(output_);
        std::string line;
        while (std::getline(summary, line)) {
            if (line.find(" total") == std::string::npos)
                continue;
            std::istringstream fields(line);
            std::string percent, seconds, perCall;
            long long calls = -1;
            fields >> percent >> seconds >> perCall >> calls;
            return calls;
        }
        return -1;
    }

private:
    static bool traced(pid_t thread)
    {
        std::ifstream status("/proc/self/task/" + std::to_string(thread) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("TracerPid:", 0) == 0)
                return std::stol(line.substr(10)) != 0;
        return false;
    }
    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGINT);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
    std::string output_;
};

// What the bare C client reported: "exchanges=<n> syscalls=<n> cpu_us=<n> wall_us=<n>".
struct BareRun
{
    double exchanges = 0;
    double syscalls = 0;
    double cpuUs = 0;
};

BareRun runBareClient(const QString &port, int servos, int intervalMs, int cycles)
{
    BareRun run;
    const QByteArray name = port.toLocal8Bit();
    const std::string arguments[] = {std::to_string(servos), std::to_string(intervalMs), std::to_string(cycles)};
    const char *argv[] = {ZEPHLET_BARE_BUS_CLIENT, name.constData(), "multigraph", arguments[0].c_str(),
                          arguments[1].c_str(), arguments[2].c_str(), nullptr};
    int out[2];
    if (pipe(out) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    if (posix_spawn(&pid, ZEPHLET_BARE_BUS_CLIENT, &actions, nullptr, const_cast<char **>(argv), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text;
    char buffer[256];
    ssize_t n = 0;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, std::size_t(n));
    ::close(out[0]);
    int status = 0;
    if (pid > 0)
        waitpid(pid, &status, 0);
    if (pid <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return run;
    std::sscanf(text.c_str(), "exchanges=%lf syscalls=%lf cpu_us=%lf", &run.exchanges, &run.syscalls, &run.cpuUs);
    return run;
}

// The multi-graph poll of range(0) servos every 10 ms for 10 s: CPU time and
// system calls of the engine's thread a poll, beside the bare C client doing
// the same on the same line (`cpu_ratio`, aim at most 1.3). The system calls
// are counted in a 3 s pass of their own with strace attached to the thread.
void BM_MultiGraphPoll(benchmark::State &state)
{
    constexpr int kIntervalMs = 10;
    constexpr int kSeconds = 10;
    constexpr int kCountingSeconds = 3;
    const int servos = int(state.range(0));
    Bus line(servos);
    qvx::MultiGraphReadParams params;
    for (int id = 1; id <= servos; ++id)
        params[id] = qvx::MultiGraphReadParam{uchar(id), 120, 135, 16};
    qint64 reads = 0;
    QObject::connect(&line.port, &QvxComm::multiGraphReadCompleted,
                     [&](int result, const qvx::MultiGraphReadResults &, qlonglong) {
                         if (result == 0)
                             ++reads;
                     });
    for (auto _ : state) {
        line.port.close(); // the bare client has the line to itself
        const BareRun bare = runBareClient(line.bus.portName(), servos, kIntervalMs, kSeconds * 1000 / kIntervalMs);
        if (bare.exchanges <= 0 || !line.port.open(line.bus.portName(), 1000000)) {
            state.SkipWithError("the bare client or the port failed");
            return;
        }

        reads = 0;
        const double cpuBefore = cpuSeconds(RUSAGE_THREAD);
        QElapsedTimer elapsed;
        elapsed.start();
        line.port.startMultiGraph(params, kIntervalMs);
        runFor(kSeconds * 1000);
        line.port.stopMultiGraph();
        state.SetIterationTime(double(elapsed.elapsed()) / 1000);
        const double cpuUs = 1e6 * (cpuSeconds(RUSAGE_THREAD) - cpuBefore) / double(std::max<qint64>(reads, 1));
        const qint64 measuredReads = reads;

        reads = 0;
        long long calls = -1;
        {
            SyscallCount counting(pid_t(syscall(SYS_gettid)));
            line.port.startMultiGraph(params, kIntervalMs);
            runFor(kCountingSeconds * 1000);
            line.port.stopMultiGraph();
            calls = counting.count();
        }

        const double bareCpuUs = bare.cpuUs / bare.exchanges;
        state.counters["polls"] = double(measuredReads);
        state.counters["cpu_us_per_poll"] = cpuUs;
        state.counters["bare_cpu_us_per_poll"] = bareCpuUs;
        state.counters["cpu_ratio"] = bareCpuUs > 0 ? cpuUs / bareCpuUs : 0;
        state.counters["syscalls_per_poll"] = calls >= 0 && reads > 0 ? double(calls) / double(reads) : -1;
        state.counters["bare_syscalls_per_poll"] = bare.syscalls / bare.exchanges;
    }
}
BENCHMARK(BM_MultiGraphPoll)->ArgName("servos")->Arg(4)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Arg: seconds of the run.
void BM_MultiGraphTenServos(benchmark::State &state)
{
    constexpr int kServos = 10;
    constexpr int kIntervalMs = 10;
    const int seconds = int(state.range(0));
    Bus line(kServos);
    qvx::MultiGraphReadParams params;
    for (int id = 1; id <= kServos; ++id)
        params[id] = qvx::MultiGraphReadParam{uchar(id), 120, 135, 16}; // a tick and a position per servo
    qint64 reads = 0;
    qint64 failed = 0;
    qint64 ticks = 0;
    QObject::connect(&line.port, &QvxComm::multiGraphReadCompleted,
                     [&](int result, const qvx::MultiGraphReadResults &, qlonglong) {
                         ++reads;
                         if (result != 0)
                             ++failed;
                     });
    QObject::connect(line.port.multiGraphTimer, &QTimer::timeout, [&] { ++ticks; });
    for (auto _ : state) {
        const double cpuBefore = cpuSeconds(RUSAGE_THREAD);
        QElapsedTimer elapsed;
        elapsed.start();
        line.port.startMultiGraph(params, kIntervalMs);
        runFor(seconds * 1000);
        line.port.stopMultiGraph();
        const double wall = double(elapsed.elapsed()) / 1000;
        state.SetIterationTime(wall);
        const double offered = wall * 1000 / kIntervalMs;
        state.counters["ticks_offered"] = offered;
        state.counters["ticks_received"] = double(ticks);
        state.counters["reads"] = double(reads);
        state.counters["failed_reads"] = double(failed);
        state.counters["read_ratio"] = double(reads) / offered;
        state.counters["cpu_percent"] = 100 * (cpuSeconds(RUSAGE_THREAD) - cpuBefore) / wall;
        state.counters["bus_mean_period_ms"] = line.port.meanPollPeriod;
    }
}
BENCHMARK(BM_MultiGraphTenServos)->Arg(30)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Arg: seconds of the run; the due points are further apart than that.
void BM_AgingBetweenDuePoints(benchmark::State &state)
{
    const int seconds = int(state.range(0));
    Bus line(1);
    QvxComm::AgingDatas points{{0, 1}, {seconds * 1000 + 5000, 2}};
    for (auto _ : state) {
        line.port.startAging(1, 65, 1, 0, points, points);
        runFor(200); // the first point is written; then nothing is due
        const qint64 written = line.bus.receivedCount(0x03);
        const double cpuBefore = cpuSeconds(RUSAGE_THREAD);
        QElapsedTimer elapsed;
        elapsed.start();
        qint64 ticks = 0;
        const QMetaObject::Connection counting =
            QObject::connect(line.port.agingTimer, &QTimer::timeout, [&] { ++ticks; });
        runFor(seconds * 1000);
        QObject::disconnect(counting);
        const double wall = double(elapsed.elapsed()) / 1000;
        line.port.stopAging();
        state.SetIterationTime(wall);
        state.counters["ticks"] = double(ticks);
        state.counters["writes_between"] = double(line.bus.receivedCount(0x03) - written);
        state.counters["cpu_percent"] = 100 * (cpuSeconds(RUSAGE_THREAD) - cpuBefore) / wall;
        state.counters["cpu_us_per_tick"] = ticks ? 1e6 * (cpuSeconds(RUSAGE_THREAD) - cpuBefore) / double(ticks) : 0;
    }
}
BENCHMARK(BM_AgingBetweenDuePoints)->Arg(10)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
