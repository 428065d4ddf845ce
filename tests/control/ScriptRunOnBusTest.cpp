// Script mode's runner over the real device operations on the simulated bus,
// in this process, with a short per-command deadline.

#include "control/QvxControl.h"
#include "script/ScriptRunner.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimModels.h"
#include "tests/sim/SimPackets.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/StandardStreams.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

TEST(ScriptRunOnBus, AHugeNetworkDelayWaitsUntilTheDeadline)
{
    QCoreApplication::setApplicationVersion(QStringLiteral("1.18.3"));
    sim::SimBus bus;
    ASSERT_TRUE(bus.isOpen()) << bus.errorString().toStdString();
    QString error;
    for (const quint8 id : {1, 2}) {
        const std::optional<sim::Device> device = sim::builtInDevice(1020, id, 53, &error);
        ASSERT_TRUE(device) << error.toStdString();
        bus.addDevice(*device);
    }
    sim::Faults silent;
    silent.silent = true;
    bus.setFaults(2, silent);

    // The extra latency is added to every packet time-out without wrapping to
    // a negative one, so the silent device is waited for until the command's
    // deadline ends the run.
    const script::BackendFactory factory = [] { return std::make_unique<QvxControl>(nullptr, nullptr); };
    bool handled = false;
    StandardStreams streams;
    const int exitCode = script::runScript({QStringLiteral("zephlet-cli"), QStringLiteral("--json"),
                                            QStringLiteral("-e"), QStringLiteral("open %1 1000000").arg(bus.portName()),
                                            QStringLiteral("-e"), QStringLiteral("timeout 2147483647"),
                                            QStringLiteral("-e"), QStringLiteral("ping 2"), QStringLiteral("-e"),
                                            QStringLiteral("ping 1")},
                                           factory, &handled, 1000);
    streams.restore();
    EXPECT_TRUE(handled);
    EXPECT_EQ(exitCode, 124);
    const QByteArrayList lines = streams.out().split('\n');
    ASSERT_EQ(lines.size(), 4) << streams.out().toStdString();
    EXPECT_EQ(lines.at(1), R"({"command":"timeout","data":{"network_delay_ms":2147483647},"success":true})");
    EXPECT_EQ(lines.at(2),
              R"({"command":"ping","error":{"code":"command_timeout","message":"Command exceeded its deadline."},)"
              R"("success":false})");
    EXPECT_EQ(bus.receivedCount(0x01), 1) << "ping 1 never ran";
}

// The servo answers instructions with the code `code` by a status with the
// error byte `error`, `ms` after they came (the status put on the line by
// `sender`); it answers every other instruction at once.
void answerLate(sim::SimBus &bus, quint8 code, quint8 error, int ms, std::thread &sender)
{
    bus.setResponder([&bus, &sender, code, error, ms](const sim::Instruction &in) -> std::optional<QByteArray> {
        if (in.code != code)
            return std::nullopt;
        const QByteArray status = sim::status2(in.id, error);
        sender = std::thread([&bus, status, ms] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            bus.sendRaw(status);
        });
        return QByteArray();
    });
}

// A run that ends while its servo owes an answer leaves none to the next run on
// the line: the first run's write times out and its status comes 300 ms after
// the write, while the next run's factory reset waits for its answer; the
// servo refuses the reset (its refusal takes 250 ms), and the reset must not
// take the write's status for its own.
TEST(ScriptRunOnBus, AnAnswerOwedWhenARunEndsNeverAnswersTheNextRun)
{
    QCoreApplication::setApplicationVersion(QStringLiteral("1.18.3"));
    sim::SimBus bus;
    ASSERT_TRUE(bus.isOpen()) << bus.errorString().toStdString();
    QString error;
    const std::optional<sim::Device> device = sim::builtInDevice(1020, 1, 53, &error);
    ASSERT_TRUE(device) << error.toStdString();
    bus.addDevice(*device);

    const auto run = [&bus](const QString &command, const QString &permission) {
        const script::BackendFactory factory = [] { return std::make_unique<QvxControl>(nullptr, nullptr); };
        bool handled = false;
        StandardStreams streams;
        script::runScript({QStringLiteral("zephlet-cli"), QStringLiteral("--json"), permission, QStringLiteral("-e"),
                           QStringLiteral("open %1 1000000").arg(bus.portName()), QStringLiteral("-e"), command},
                          factory, &handled, 10000);
        streams.restore();
        return streams.out();
    };

    // The write's status comes 300 ms late (a slow adapter holds it); the
    // servo answers everything else at once.
    std::thread lateStatus;
    answerLate(bus, 0x03, 0, 300, lateStatus);
    const QByteArray first = run(QStringLiteral("set 1 \"Goal Position\" 1300"), QStringLiteral("--allow-write"));
    ASSERT_TRUE(first.contains(R"("command":"set","error":{"code":"device_timeout")"))
        << "the write was to time out: " << first.toStdString();

    std::thread refusal;
    answerLate(bus, 0x06, 0x07, 250, refusal); // the factory reset is refused
    const QByteArray second = run(QStringLiteral("reset 1"), QStringLiteral("--allow-destructive"));
    for (std::thread *t : {&lateStatus, &refusal}) {
        if (t->joinable())
            t->join();
    }
    EXPECT_TRUE(second.contains(R"("command":"reset","error")")) << second.toStdString();
    EXPECT_FALSE(second.contains(R"("command":"reset","data")")) << second.toStdString();
}

} // namespace
