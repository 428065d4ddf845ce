// Round trips over a pseudo-terminal: PING and a 4-byte READ through the
// protocol 2.0 engine against the simulated bus, each beside the raw round trip
// of the same line with the bus as a bare echo; the wait for a silent device,
// whose CPU time shows that waiting does not keep a core busy; and how soon an
// interrupt ends a wait.
#include "comm/CancellationToken.h"
#include "comm/CommResult.h"
#include "comm/QvxProtocol2.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimPackets.h"

#include <QCoreApplication>
#include <QSerialPort>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Line
{
    sim::SimBus bus;
    QSerialPort port;
    QvxProtocol2 engine;
    Line()
    {
        bus.addDevice(sim::Device::protocol2(1, 1020, 53));
        bus.setMemory(1, 132, sim::fromHex("00 08 00 00"));
        port.setPortName(bus.portName());
        port.setBaudRate(1000000);
        port.open(QIODevice::ReadWrite);
        engine.device = &port;
        engine.baudRate = 1000000;
    }
};

double medianOf(std::vector<double> samples)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// One raw round trip: the bytes out through the serial port and the echo back.
double rawRoundTripUs(QSerialPort &port, const QByteArray &bytes)
{
    const auto start = Clock::now();
    port.write(bytes);
    while (port.bytesToWrite() > 0)
        port.waitForBytesWritten(1);
    qsizetype got = 0;
    while (got < bytes.size()) {
        if (port.bytesAvailable() > 0 || port.waitForReadyRead(1))
            got += port.readAll().size();
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double rawMedianUs(Line &line, const QByteArray &bytes)
{
    line.bus.setEcho(true);
    std::vector<double> samples;
    for (int i = 0; i < 300; ++i)
        samples.push_back(rawRoundTripUs(line.port, bytes));
    line.bus.setEcho(false);
    return medianOf(samples);
}

template <class Call>
void engineRoundTrip(benchmark::State &state, const QByteArray &request, Call call)
{
    Line line;
    const double raw = rawMedianUs(line, request);
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = Clock::now();
        const int result = call(line.engine);
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (result != COMM_OK) {
            state.SkipWithError("the device did not answer");
            return;
        }
    }
    const double median = medianOf(samples);
    state.counters["median_us"] = median;
    state.counters["raw_median_us"] = raw;
    state.counters["target_us"] = 2 * raw + 50; // what the engine may take at most
    state.counters["within_target"] = median <= 2 * raw + 50 ? 1 : 0;
}

void BM_RawEcho(benchmark::State &state)
{
    Line line;
    line.bus.setEcho(true);
    const QByteArray ping = sim::packet2(1, 0x01);
    std::vector<double> samples;
    for (auto _ : state)
        samples.push_back(rawRoundTripUs(line.port, ping));
    state.counters["median_us"] = medianOf(samples);
}

void BM_Ping(benchmark::State &state)
{
    engineRoundTrip(state, sim::packet2(1, 0x01), [](QvxProtocol2 &engine) {
        ushort model = 0;
        uchar fw = 0;
        uchar error = 0;
        return engine.ping(1, &model, &fw, &error);
    });
}

void BM_Read4(benchmark::State &state)
{
    engineRoundTrip(state, sim::packet2(1, 0x02, sim::fromHex("84 00 04 00")), [](QvxProtocol2 &engine) {
        uchar data[4] = {};
        uchar error = 0;
        return engine.readTxRx(1, 132, 4, data, &error);
    });
}

// A scan of IDs 0 to 252 on a bus where nobody answers, at 57600 baud: each
// ping waits out its reply window, and nothing more. Beside it the time-out
// formula (253 windows of an 11-byte status) and a bare client that writes
// each ping and waits one window for an answer on the same line.
void BM_ScanSilentBus(benchmark::State &state)
{
    sim::SimBus bus; // no device
    QSerialPort port;
    port.setPortName(bus.portName());
    port.setBaudRate(57600);
    port.open(QIODevice::ReadWrite);
    QvxProtocol2 engine;
    engine.device = &port;
    engine.baudRate = 57600;
    const int window = engine.packetTimeoutFor(11);
    const double formulaMs = 253.0 * window;

    const auto bareStart = Clock::now();
    for (int id = 0; id <= 252; ++id) {
        port.write(sim::packet2(static_cast<quint8>(id), 0x01));
        while (port.bytesToWrite() > 0)
            port.waitForBytesWritten(1);
        const auto until = Clock::now() + std::chrono::milliseconds(window);
        while (Clock::now() < until)
            port.waitForReadyRead(static_cast<int>(
                std::max<qint64>(1, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count())));
        port.readAll();
    }
    const double bareMs = std::chrono::duration<double, std::milli>(Clock::now() - bareStart).count();

    double scanMs = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int id = 0; id <= 252; ++id) {
            uchar error = 0;
            if (engine.ping(static_cast<uchar>(id), nullptr, nullptr, &error) != COMM_RX_TIMEOUT) {
                state.SkipWithError("a silent bus answered");
                return;
            }
        }
        scanMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    state.counters["scan_ms"] = scanMs;
    state.counters["formula_ms"] = formulaMs;
    state.counters["ratio"] = scanMs / formulaMs;
    state.counters["bare_ms"] = bareMs;
    state.counters["bare_ratio"] = bareMs / formulaMs;
}

// A ping nobody answers waits out its 34 ms; cpu_time far below real_time means
// the wait sleeps in the kernel instead of spinning.
void BM_SilentDeviceTimeout(benchmark::State &state)
{
    Line line;
    for (auto _ : state) {
        uchar error = 0;
        if (line.engine.ping(9, nullptr, nullptr, &error) != COMM_RX_TIMEOUT) {
            state.SkipWithError("a silent device answered");
            return;
        }
    }
}

// How long a wait goes on after the interrupt handler sets the token: from the
// moment the state changes on another thread to the engine's return.
void BM_CancelLatency(benchmark::State &state)
{
    Line line;
    line.engine.extraLatency = 10000; // the reply window would run for ten seconds
    CancellationToken token;
    line.engine.token = &token;
    std::vector<double> samples;
    for (auto _ : state) {
        token.state = 0;
        Clock::time_point interrupted;
        std::thread handler([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            interrupted = Clock::now();
            token.state = 1;
        });
        uchar error = 0;
        const int result = line.engine.ping(9, nullptr, nullptr, &error);
        const auto returned = Clock::now();
        handler.join();
        if (result != COMM_CANCELLED) {
            state.SkipWithError("the wait was not cancelled");
            return;
        }
        samples.push_back(std::chrono::duration<double, std::micro>(returned - interrupted).count());
    }
    state.counters["median_us"] = medianOf(samples);
    state.counters["max_us"] = *std::max_element(samples.begin(), samples.end());
}

} // namespace

BENCHMARK(BM_RawEcho)->Iterations(2000);
BENCHMARK(BM_Ping)->Iterations(2000);
BENCHMARK(BM_Read4)->Iterations(2000);
BENCHMARK(BM_ScanSilentBus)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SilentDeviceTimeout)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CancelLatency)->Iterations(50)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
