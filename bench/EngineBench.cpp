// The reading and aging engines on their real timers against the simulated
// bus: a multi-graph of ten servos at 10 ms (reads done beside the ticks the
// interval offers, and the CPU time they cost), and an aging run on its 1 ms
// timer between two due points (the CPU time of the ticks that find nothing
// due). The engines run on this thread's event loop, as a front end would
// have to run them.
#include "comm/QvxPort.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimPackets.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <sys/resource.h>

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
