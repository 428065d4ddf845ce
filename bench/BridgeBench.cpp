// The TCP-to-serial bridge beside socat, the reference bridge, on the same
// loopback and pseudo-terminal:
//   socat TCP-LISTEN:<port>,reuseaddr FILE:<pty>,raw,echo=0
// - BM_BridgePing: the round trip of a protocol 2.0 PING from a TCP client
//   through the bridge to a simulated servo and back (median_us beside
//   socat_median_us; ratio aims at 1.2 or less).
// - BM_BridgeStream: 1 MiB from a TCP client until the last byte has come out
//   of the serial side (mib_per_s beside socat_mib_per_s; ratio aims at 1 or
//   more).
// The two bridges take turns, round by round, so that a change in the
// machine's load touches both alike.
#include "server/TCPServer.h"
#include "tests/server/ListeningPort.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimPackets.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/QuietOutput.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <benchmark/benchmark.h>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 15;
constexpr int kPingsPerRound = 300;
constexpr qint64 kStreamBytes = 1 << 20;
constexpr int kPingReplyBytes = 14; // status packet of a protocol 2.0 PING

double medianOf(std::vector<double> samples)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

bool sendAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// One round of traffic against a connected client socket.
using Round = std::function<bool(int fd)>;

// Runs `round` through our bridge on `serialPort`.
bool throughBridge(const QString &serialPort, const Round &round)
{
    QuietOutput quiet; // the bridge prints a line per chunk
    TCPServer bridge;
    if (!bridge.start(QStringLiteral("127.0.0.1"), 0, serialPort, 1000000))
        return false;
    const int fd = connectLoopback(listeningPort(bridge));
    const bool ok = fd >= 0 && round(fd);
    if (fd >= 0)
        ::close(fd);
    bridge.stop();
    QCoreApplication::processEvents(); // the signals it relayed meanwhile
    return ok;
}

// Runs `round` through socat on `serialPort`.
bool throughSocat(const QString &socat, const QString &serialPort, const Round &round)
{
    const quint16 port = freePort();
    QProcess process;
    process.start(socat, {QStringLiteral("TCP-LISTEN:%1,reuseaddr,bind=127.0.0.1").arg(port),
                          QStringLiteral("FILE:%1,raw,echo=0").arg(serialPort)});
    if (!process.waitForStarted())
        return false;
    int fd = -1;
    for (int i = 0; i < 500 && fd < 0; ++i) {
        fd = connectLoopback(port);
        if (fd < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // socat opens the pty once a client is there; give it that moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const bool ok = fd >= 0 && round(fd);
    if (fd >= 0)
        ::close(fd);
    process.waitForFinished(2000);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    return ok;
}

QString socatPath()
{
    return QStandardPaths::findExecutable(QStringLiteral("socat"));
}

void BM_BridgePing(benchmark::State &state)
{
    const QString socat = socatPath();
    if (socat.isEmpty()) {
        state.SkipWithError("socat is not installed");
        return;
    }
    sim::SimBus bus;
    bus.addDevice(sim::Device::protocol2(1, 1020, 53));
    const QByteArray ping = sim::packet2(1, 0x01);
    std::vector<double> ours;
    std::vector<double> theirs;
    const auto pings = [&](std::vector<double> *samples) {
        return [&ping, samples](int fd) {
            for (int i = 0; i < kPingsPerRound; ++i) {
                char reply[64];
                const auto start = Clock::now();
                if (!sendAll(fd, ping.constData(), ping.size()))
                    return false;
                for (int got = 0; got < kPingReplyBytes;) {
                    const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
                    if (n <= 0)
                        return false;
                    got += int(n);
                }
                samples->push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            }
            return true;
        };
    };
    for (auto _ : state) {
        for (int r = 0; r < kRounds; ++r) {
            if (!throughBridge(bus.portName(), pings(&ours)) || !throughSocat(socat, bus.portName(), pings(&theirs))) {
                state.SkipWithError("a round failed");
                return;
            }
        }
    }
    const double median = medianOf(ours);
    const double socatMedian = medianOf(theirs);
    state.counters["median_us"] = median;
    state.counters["socat_median_us"] = socatMedian;
    state.counters["ratio"] = socatMedian > 0 ? median / socatMedian : 0;
}

// A serial side that only counts what arrives: the master of a pty pair.
struct CountingLine
{
    int master = -1;
    int slave = -1;
    QString name;

    CountingLine()
    {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return;
        termios t{};
        ::tcgetattr(slave, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
        char path[128] = {};
        ::ttyname_r(slave, path, sizeof path);
        name = QString::fromLocal8Bit(path);
    }
    ~CountingLine()
    {
        for (int fd : {master, slave}) {
            if (fd >= 0)
                ::close(fd);
        }
    }

    // Sends the stream from the client and reads the serial side until all of
    // it came out; the seconds that took, or a negative number.
    double stream(int fd) const
    {
        const QByteArray bytes(kStreamBytes, '\x5A');
        std::atomic<qint64> arrived = 0;
        Clock::time_point last;
        std::thread reading([&] {
            char chunk[65536];
            while (arrived < kStreamBytes) {
                const ssize_t n = ::read(master, chunk, sizeof chunk);
                if (n <= 0)
                    return;
                arrived += n;
            }
            last = Clock::now();
        });
        const auto start = Clock::now();
        const bool sent = sendAll(fd, bytes.constData(), bytes.size());
        reading.join();
        if (!sent || arrived < kStreamBytes)
            return -1;
        return std::chrono::duration<double>(last - start).count();
    }
};

void BM_BridgeStream(benchmark::State &state)
{
    const QString socat = socatPath();
    if (socat.isEmpty()) {
        state.SkipWithError("socat is not installed");
        return;
    }
    CountingLine line;
    if (line.name.isEmpty()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    std::vector<double> ours;
    std::vector<double> theirs;
    const auto streams = [&line](std::vector<double> *samples) {
        return [&line, samples](int fd) {
            const double seconds = line.stream(fd);
            samples->push_back(seconds);
            return seconds > 0;
        };
    };
    for (auto _ : state) {
        for (int r = 0; r < kRounds; ++r) {
            if (!throughBridge(line.name, streams(&ours)) || !throughSocat(socat, line.name, streams(&theirs))) {
                state.SkipWithError("a round failed");
                return;
            }
        }
    }
    const double mib = double(kStreamBytes) / (1 << 20);
    const double ourRate = mib / medianOf(ours);
    const double socatRate = mib / medianOf(theirs);
    state.counters["mib_per_s"] = ourRate;
    state.counters["socat_mib_per_s"] = socatRate;
    state.counters["ratio"] = ourRate / socatRate;
}

} // namespace

BENCHMARK(BM_BridgePing)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BridgeStream)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
