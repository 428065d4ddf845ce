// Script mode's runner over the real device operations on the simulated bus,
// in this process, with a short per-command deadline.

#include "control/QvxControl.h"
#include "script/ScriptRunner.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimModels.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/StandardStreams.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

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

} // namespace
