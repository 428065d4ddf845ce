// The Modbus transport against a libmodbus server on a socat-linked pty pair:
// the median 2-byte item read and 125-register block read through QvxModbus,
// each beside a bare libmodbus client (modbus_read_registers in a loop) on the
// same line and server, with their ratio; and the wait for a silent servo,
// whose CPU time shows that a time-out keeps no core busy.
//
// The transport keeps the RTU silence between frames (1.75 ms above 19200
// baud, from the last byte on the line) before every request; the bare client
// sends at once. So the bare loop is also timed with that silence kept before
// each request (`bare_silent_median_us`, `ratio_same_silence`): what the
// transport itself adds.
#include "comm/CommResult.h"
#include "comm/ModbusRtu.h"
#include "comm/QvxModbus.h"
#include "tests/sim/ModbusPeers.h"
#include "tests/sim/SimModbus.h"

#include <QCoreApplication>
#include <QThread>
#include <QFile>
#include <benchmark/benchmark.h>
#include <modbus.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBaud = 115200;
constexpr int kId = 1;
constexpr int kTableBytes = 300;
constexpr int kSamples = 300;

double medianOf(std::vector<double> samples)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

template <class Call>
double timedUs(Call call, bool *ok)
{
    const auto start = Clock::now();
    *ok = call();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

struct Peer
{
    sim::PtyLink link;
    std::unique_ptr<sim::LibmodbusServer> server;
    Peer()
    {
        QByteArray table(kTableBytes, '\0');
        for (int i = 0; i < kTableBytes; ++i)
            table[i] = static_cast<char>(i);
        if (link.isOpen())
            server = std::make_unique<sim::LibmodbusServer>(link.serverSide(), kBaud, kId, sim::registersOf(table));
    }
    bool ready() const { return server && server->isReady(); }
};

// The bare client: modbus_read_registers of `count` registers from 0, after
// `silenceUs` of silence.
double bareMedianUs(const Peer &peer, int count, int silenceUs)
{
    modbus_t *ctx = modbus_new_rtu(QFile::encodeName(peer.link.programSide()).constData(), kBaud, 'N', 8, 1);
    if (!ctx)
        return 0;
    modbus_set_slave(ctx, kId);
    modbus_set_response_timeout(ctx, 1, 0);
    std::vector<double> samples;
    if (modbus_connect(ctx) == 0) {
        uint16_t registers[MODBUS_MAX_READ_REGISTERS];
        for (int i = 0; i < kSamples; ++i) {
            bool ok = false;
            const double us = timedUs(
                [&] {
                    if (silenceUs > 0)
                        QThread::usleep(static_cast<unsigned long>(silenceUs));
                    return modbus_read_registers(ctx, 0, count, registers) == count;
                },
                &ok);
            if (ok)
                samples.push_back(us);
        }
        modbus_close(ctx);
    }
    modbus_free(ctx);
    return medianOf(samples);
}

template <class Call>
void beside(benchmark::State &state, int count, Call call)
{
    Peer peer;
    if (!peer.ready()) {
        state.SkipWithError("no libmodbus server on a socat link");
        return;
    }
    QvxModbus modbus;
    if (!modbus.open(peer.link.programSide(), kBaud)) {
        state.SkipWithError("the transport does not open");
        return;
    }
    const int silenceUs = int(ModbusRtu::kFixedGapNs / 1000); // the gap between RTU frames above 19200 baud
    modbus.close(); // the bare client takes the line meanwhile
    const double bare = bareMedianUs(peer, count, 0);
    const double bareSilent = bareMedianUs(peer, count, silenceUs);
    if (!modbus.open(peer.link.programSide(), kBaud)) {
        state.SkipWithError("the transport does not open again");
        return;
    }
    std::vector<double> samples;
    int missed = 0;
    for (auto _ : state) {
        bool ok = false;
        const double us = timedUs([&] { return call(modbus) == COMM_OK; }, &ok);
        if (ok)
            samples.push_back(us);
        else
            ++missed;
    }
    const double median = medianOf(samples);
    state.counters["median_us"] = median;
    state.counters["bare_median_us"] = bare;
    state.counters["ratio"] = bare > 0 ? median / bare : 0;
    state.counters["silence_us"] = silenceUs;
    state.counters["bare_silent_median_us"] = bareSilent;
    state.counters["ratio_same_silence"] = bareSilent > 0 ? median / bareSilent : 0;
    state.counters["missed"] = missed; // time-outs of a loaded machine, left out of the median
}

void BM_ModbusItemRead2(benchmark::State &state)
{
    beside(state, 1, [](QvxModbus &modbus) {
        int value = 0;
        uchar error = 0;
        return modbus.read2Byte(kId, 0, &value, &error);
    });
}

void BM_ModbusBlockRead125(benchmark::State &state)
{
    beside(state, 125, [](QvxModbus &modbus) {
        uchar error = 0;
        modbus.rxBuffer.clear();
        return modbus.readRegisters(kId, 0, 125, &error);
    });
}

// A silent servo: each read waits out its time-out (range(0) registers: 50 ms
// up to 10, 5 ms a register from 11); cpu_time far below real_time means the
// wait sleeps instead of spinning.
void BM_ModbusSilentTimeout(benchmark::State &state)
{
    sim::ModbusServo servo(kId);
    sim::ModbusFaults silent;
    silent.silent = true;
    servo.setFaults(silent);
    QvxModbus modbus;
    if (!modbus.open(servo.portName(), kBaud)) {
        state.SkipWithError("the transport does not open");
        return;
    }
    const auto count = static_cast<ushort>(state.range(0));
    for (auto _ : state) {
        uchar error = 0;
        if (modbus.readRegisters(kId, 0, count, &error) != COMM_RX_TIMEOUT) {
            state.SkipWithError("a silent servo answered");
            return;
        }
    }
}

} // namespace

BENCHMARK(BM_ModbusItemRead2)->Iterations(1000);
BENCHMARK(BM_ModbusBlockRead125)->Iterations(300);
BENCHMARK(BM_ModbusSilentTimeout)->Arg(1)->Arg(11)->Arg(125)->Iterations(10)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
