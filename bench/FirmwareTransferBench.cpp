// Firmware transfer of a 64 KiB image against the simulated bootloader on a
// pseudo-terminal: the console stream (step [2]) and the packet transfer, each
// beside the time the dialogue itself prescribes. A pty has no wire time, so
// the measured time is the program's own (pauses, waits, writes) plus the
// bootloader's turnaround; at 57600 bit/s the wire adds its 10 bits a byte.
//   pauses_ms   the pauses and first answer wait the dialogue prescribes
//   wire_ms     the bytes of the transfer at 57600 bit/s, both directions
//   ratio       (measured + wire) / (pauses + wire): what the program adds on a
//               real line (aim at most 1.1)
//   pty_ratio   measured / pauses, the console stream only (no wire at all)
// cpu_time far below real_time shows that the waits do not keep a core busy.
#include "comm/CommResult.h"
#include "fw/QvxFirmware.h"
#include "tests/sim/SimBus.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kImageSize = 64 * 1024;
constexpr double kMsPerByteAt57600 = 10.0 * 1000.0 / 57600.0;

QString writeImage(const QTemporaryDir &dir)
{
    QByteArray bytes(kImageSize, '\0');
    for (int i = 0; i < kImageSize; ++i)
        bytes[i] = static_cast<char>((i * 73 + 19) & 0xFF);
    const QString path = dir.filePath(QStringLiteral("image.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    return path;
}

// A servo whose packet or console bootloader has been entered.
struct Session
{
    sim::SimBus bus;
    QvxFirmware fw;
    bool ready = false;
    Session(int dialect, bool packets)
    {
        bus.addDevice(sim::Device::protocol2(1, 1020, 53));
        bus.setBootloader(1, sim::BootloaderSetup{dialect, packets, {}});
        fw.deviceType = dialect;
        fw.setTimeout(1000);
        if (!fw.open(bus.portName(), 57600))
            return;
        fw.port_held = true;
        bus.startBootloader(1);
        bool packet = false;
        ready = fw.enterBootloader(&packet) && packet == packets && (packets || fw.loadFirmware());
    }
};

// Times `transfer` on a fresh session per iteration; the mean in ms, or a
// negative value after the state was told why it failed.
template <class Transfer>
double timeTransfers(benchmark::State &state, int dialect, bool packets, Transfer transfer)
{
    double total = 0;
    for (auto _ : state) {
        Session s(dialect, packets);
        if (!s.ready) {
            state.SkipWithError("the bootloader was not entered");
            return -1;
        }
        const auto start = Clock::now();
        const bool sent = transfer(s.fw);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (!sent) {
            state.SkipWithError("the transfer failed");
            return -1;
        }
        state.SetIterationTime(ms / 1000.0);
        total += ms;
    }
    return total / static_cast<double>(state.iterations());
}

void BM_ConsoleStream64K(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString image = writeImage(dir);
    // 512 whole pieces with their 1 ms pause, the empty-of-pause last piece,
    // then the answer found in the first cycle of the final wait (250 ms pause).
    const int pieces = (kImageSize + 1) / 128;
    const double pauses = pieces * 1.0 + 250.0;
    const double wire = (kImageSize + 1 + 9) * kMsPerByteAt57600; // the image, its sum and "SUCCESS\r\n"
    const double measured = timeTransfers(state, 2, false, [&](QvxFirmware &fw) { return fw.sendFile(image); });
    if (measured < 0)
        return;
    state.counters["measured_ms"] = measured;
    state.counters["pauses_ms"] = pauses;
    state.counters["wire_ms"] = wire;
    state.counters["ratio"] = (measured + wire) / (pauses + wire);
    state.counters["pty_ratio"] = measured / pauses;
}

void BM_PacketTransfer64K(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString image = writeImage(dir);
    // No pauses: one request and one reply per block. Requests carry 10 bytes
    // of frame and 3 of mode and index besides the data; replies are 17 bytes.
    const int blocks = kImageSize / 128;
    const double bytes = (7 + 1 + 5 + 2 + 17)          // transfer start and its reply
                         + blocks * (10 + 3 + 128 + 17) // data blocks
                         + (10 + 3 + 17);               // the empty last block
    const double wire = bytes * kMsPerByteAt57600;
    const double measured =
        timeTransfers(state, 2, true, [&](QvxFirmware &fw) { return fw.sendFileViaPackets(image); });
    if (measured < 0)
        return;
    state.counters["measured_ms"] = measured;
    state.counters["pauses_ms"] = 0;
    state.counters["wire_ms"] = wire;
    state.counters["ratio"] = (measured + wire) / wire;
}

} // namespace

BENCHMARK(BM_ConsoleStream64K)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PacketTransfer64K)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
