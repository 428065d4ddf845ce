// The bootloader steps against the simulated bootloader on a pty: every
// dialect's entry, load, transfer and finale with their log lines, the packet
// bootloader, the transfer of images of awkward sizes in every transfer kind,
// the injected faults with their failure texts, and the cancellation of the
// entry.
#include "BootloaderBench.h"

#include "comm/CancellationToken.h"
#include "tests/sim/SimPackets.h"
#include "tests/support/QtPrinters.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <thread>

TEST(BootloaderSteps, PortNotOpenEndsEveryStepAtOnceWithoutALogLine)
{
    BootloaderBench b(2);
    bool packets = true;
    EXPECT_FALSE(b.fw.enterBootloader(&packets));
    EXPECT_FALSE(packets);
    EXPECT_FALSE(b.fw.loadFirmware());
    EXPECT_FALSE(b.fw.loadAtAddress());
    EXPECT_FALSE(b.fw.sendFile(b.image("abc")));
    EXPECT_FALSE(b.fw.finale(false));
    EXPECT_TRUE(b.logs.isEmpty());
}

TEST(BootloaderSteps, PacedWriteSendsEachByteAfterItsPause)
{
    BootloaderBench b(2);
    ASSERT_TRUE(b.open());
    b.bus.startBootloader(1);
    EXPECT_TRUE(b.fw.sendConsole({}));
    EXPECT_TRUE(b.fw.sendConsole("LOAD"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.arrived().size() == 4; }, 5000));
    const QList<sim::Arrival> arrivals = b.bus.bootArrivals();
    EXPECT_EQ(b.arrived(), "LOAD");
    EXPECT_GE(arrivals.constLast().atMs - arrivals.constFirst().atMs, 20) << "three pauses of 10 ms";
}

namespace {

// Each dialect with its exact lines for a 128-byte image; "*" ends a line
// that is compared up to there.
struct DialectCase
{
    int dialect;
    bool packets;
    QStringList lines;
};

bool linesMatch(const QStringList &got, const QStringList &expected)
{
    if (got.size() != expected.size())
        return false;
    for (qsizetype i = 0; i < got.size(); ++i) {
        const QString &e = expected.at(i);
        if (e.endsWith('*') ? !got.at(i).startsWith(e.chopped(1)) : got.at(i) != e)
            return false;
    }
    return true;
}

} // namespace

TEST(BootloaderSteps, EveryDialectFromEntryToFinaleWithItsLogLines)
{
    const QStringList entry{"[0] Bootloader entry OK !!!", "[0] *"};
    const QStringList load{"[1] LOAD Ready OK !!!", "[1] READY"};
    const QStringList stream{"[2] send file OK !!!", "[2] SUCCESS"};
    const DialectCase cases[] = {
        {0, false, entry + load + stream + QStringList{"[3] finale: Application OK !!!", "[3] Application",
                                                       "[3] finale: Go OK !!!", "[3] GO"}},
        {1, false, entry + QStringList{"[1] LOAD Ready OK !!!", "[1] ^L READY"} + stream
                       + QStringList{"[3] finale: Go OK !!!", "[3] G GO"}},
        {2, false, entry + QStringList{"[1] LOAD Ready OK !!!", "[1] -LOAD READY"} + stream
                       + QStringList{"[3] finale: Send Go OK !!!", "[3] GO", "[3] finale: Go OK !!!", "[3] GO"}},
        {3, false, entry + QStringList{"[1] LOAD Ready OK !!!", "[1] -LOAD READY"} + stream
                       + QStringList{"[3] finale: Go OK !!!", "[3] *"}},
        {4, false, entry + QStringList{"[1] LOAD Ready OK !!!", "[1] L", "index = 0, remain = 128",
                                       "[2] sendFile: OK !!!", "[2] O:128", "[3] finale: Go OK !!!", "[3] GO"}},
        {5, false, entry + QStringList{"[0] SYSTEM OK !!!", "[0] SYSTEM O.K."} + load + stream
                       + QStringList{"[3] finale: Reset OK !!!", "[3] RESET"}},
        {2, true, entry + QStringList{"data index = 1, progress = 100, index = 0, size = 128"}},
    };
    for (const DialectCase &c : cases) {
        const QString name = QStringLiteral("dialect %1%2").arg(c.dialect).arg(c.packets ? " (packets)" : "");
        BootloaderBench b(c.dialect, c.packets);
        ASSERT_TRUE(b.open()) << qPrintable(name);
        const QByteArray image = sim::fromHex("01") + patternImage(127);
        bool packets = !c.packets;
        ASSERT_TRUE(b.enter(&packets)) << qPrintable(name);
        EXPECT_EQ(packets, c.packets) << qPrintable(name);
        EXPECT_EQ(b.fw.transferAfterEntry(b.image(image), packets, false), QString()) << qPrintable(name);
        EXPECT_TRUE(linesMatch(b.logs, c.lines)) << qPrintable(name) << "\n" << qPrintable(b.logs.join('\n'));
        EXPECT_TRUE(b.bus.waitForApplication(5000)) << qPrintable(name);
        EXPECT_EQ(b.bus.bootImage(), image) << qPrintable(name);
        EXPECT_TRUE(b.bus.bootImageComplete()) << qPrintable(name);
        EXPECT_TRUE(b.failures.isEmpty()) << qPrintable(name);
        // The console bootloaders' prompt goes out for the user; the packet one's does not.
        EXPECT_EQ(b.debug.size(), c.packets ? 0 : 1) << qPrintable(name);
        // Only the controller board's finale closes the port.
        EXPECT_EQ(b.fw.serial_port->isOpen(), c.dialect != 5) << qPrintable(name);
    }
}
