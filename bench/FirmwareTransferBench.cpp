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

// The image as an update reads it, once, before the transfer.
QvxFirmware::Image patternImage(const QTemporaryDir &dir)
{
    QByteArray bytes(kImageSize, '\0');
    for (int i = 0; i < kImageSize; ++i)
        bytes[i] = static_cast<char>((i * 73 + 19) & 0xFF);
    return {dir.filePath(QStringLiteral("image.bin")), bytes};
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
    const QvxFirmware::Image image = patternImage(dir);
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
    const QvxFirmware::Image image = patternImage(dir);
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

// --- whole updates ----------------------------------------------------------

constexpr int kServoBaud = 1000000;
constexpr int kFlashBaud = QvxFirmware::kFlashBaud;
constexpr int kProbeLatencyMs = 200;
constexpr int kPauseMs = QvxFirmware::kStepPauseMs; // the two prescribed pauses after a restart

double msPerByte(int baud)
{
    return 10.0 * 1000.0 / baud;
}

// The reply window of a silent protocol 2.0 ping during the board probe.
double probeWindowMs(int baud)
{
    return msPerByte(baud) * 11 + 34 + kProbeLatencyMs;
}

// The board probe on a bus without a board: at each of its two rates a ping,
// its window, a 50 ms pause and a second ping with its window.
double probePausesMs()
{
    return 2 * probeWindowMs(57600) + 50 + 2 * probeWindowMs(6250000) + 50;
}

// A protocol 2.0 servo at 1 Mbit/s with the bootloader of the case, and the
// order that updates it with a 64 KiB image naming its version.
struct WholeUpdate
{
    sim::SimBus bus;
    QvxFirmware fw;
    QTemporaryDir dir;
    QvxFirmware::UpdateParam order;
    bool ready = false;

    explicit WholeUpdate(bool packets)
    {
        sim::Device servo = sim::Device::protocol2(1, 1020, 53);
        servo.firmwareAddress = 6;
        servo.setInitial(8, QByteArray(1, '\x03'));
        servo.setInitial(13, QByteArray(1, '\x02'));
        servo.baudRate = kServoBaud;
        servo.baudRegisterAddress = 8;
        bus.addDevice(servo);
        bus.setBootloader(1, sim::BootloaderSetup{2, packets, {}});
        QByteArray image = "QX-20 version=54\n";
        image += QByteArray(kImageSize - image.size(), '\x6B');
        const QString path = dir.filePath(QStringLiteral("QX-20_54.bin"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
            return;
        file.close();
        order.portName = bus.portName();
        order.baudrate = kServoBaud;
        order.id = 1;
        order.protocolVersion = QStringLiteral("2.0");
        order.protocolTypeAddress = 13;
        order.modelName = QStringLiteral("QX-20");
        order.deviceKind = QStringLiteral("Quorvex2");
        order.baudRateAddress = 8;
        order.firmwarePath = path;
        order.torqueEnableAddress = 64;
        fw.externalImages.clear(); // the image above, whatever the user's replacement folder holds
        // The console hands its port over open.
        ready = fw.open(bus.portName(), kServoBaud);
    }

    // Ms from the first probe ping to the servo's first write, as the bus
    // saw them; -1 when the bus saw either not.
    double probeToFirstWriteMs() const
    {
        qint64 firstPing = -1;
        for (const sim::Instruction &in : bus.received()) {
            if (firstPing < 0 && in.id == 200)
                firstPing = in.atMs;
            if (firstPing >= 0 && in.id == 1 && in.code == 0x03)
                return static_cast<double>(in.atMs - firstPing);
        }
        return -1;
    }
};

// Runs whole updates, one fresh bus a run, and sets the counters beside the
// prescribed pauses and wire time of the case.
void timeWholeUpdates(benchmark::State &state, bool packets, double pauses, double wire)
{
    double total = 0;
    double probeExtra = 0;
    for (auto _ : state) {
        WholeUpdate u(packets);
        if (!u.ready) {
            state.SkipWithError("the bus did not open");
            return;
        }
        const auto start = Clock::now();
        const bool updated = u.fw.firmware_update(u.order);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (!updated) {
            state.SkipWithError("the update failed");
            return;
        }
        const double probe = u.probeToFirstWriteMs();
        if (probe < 0) {
            state.SkipWithError("the bus saw no probe ping before the servo's first write");
            return;
        }
        state.SetIterationTime(ms / 1000.0);
        total += ms;
        probeExtra += probe - probePausesMs();
    }
    const double n = static_cast<double>(state.iterations());
    const double measured = total / n;
    state.counters["measured_ms"] = measured;
    state.counters["pauses_ms"] = pauses;
    state.counters["wire_ms"] = wire;
    state.counters["ratio"] = (measured + wire) / (pauses + wire);
    // What the probe and the first write took beyond the probe's windows and pauses.
    state.counters["probe_extra_ms"] = probeExtra / n;
    state.counters["ratio_without_probe_extra"] = (measured - probeExtra / n + wire) / (pauses + wire);
}

// The bootloader entry: the first "#" answered, then a carriage return paced
// and a 5 ms pause before the confirming prompt is read.
constexpr double kEntryPausesMs = 5 + 10 + 5;

void BM_WholeUpdatePacket64K(benchmark::State &state)
{
    const int blocks = kImageSize / 128;
    const double bootBytes = (7 + 1 + 5 + 2 + 17) + blocks * (10 + 3 + 128 + 17) + (10 + 3 + 17) + (10 + 1 + 2 + 11);
    // At 57600: the probe's pings, the reboot and its status, the prompt
    // exchange and the transfer with the restart.
    const double wire = (4 * 10 + 10 + 11 + 8) * msPerByte(57600) + bootBytes * msPerByte(kFlashBaud);
    timeWholeUpdates(state, true, probePausesMs() + kEntryPausesMs + 2 * kPauseMs, wire);
}

void BM_WholeUpdateConsole64K(benchmark::State &state)
{
    // Load: "\r", "LOAD", "\r" paced and the answer in the first cycle;
    // the stream with its final wait; the finale's "GO", its wait, "\r" and
    // its wait.
    const double load = 6 * 10 + 250;
    const double stream = (kImageSize + 1) / 128 * 1.0 + 250;
    const double finale = 2 * 10 + 250 + 10 + 250;
    const double consoleBytes = 8 + 6 + 9 + (kImageSize + 1) + 9 + 3 + 6;
    const double wire = (4 * 10 + 10 + 11) * msPerByte(57600) + consoleBytes * msPerByte(kFlashBaud);
    timeWholeUpdates(state, false, probePausesMs() + kEntryPausesMs + load + stream + finale + 2 * kPauseMs, wire);
}

} // namespace

BENCHMARK(BM_ConsoleStream64K)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PacketTransfer64K)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeUpdatePacket64K)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeUpdateConsole64K)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
