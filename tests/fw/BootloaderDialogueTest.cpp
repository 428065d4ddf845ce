// The bootloader steps against the simulated bootloader on a pty: every
// dialect's entry, load, transfer and finale with their log lines, the packet
// bootloader, the transfer of images of awkward sizes in every transfer kind,
// the injected faults with their failure texts, and the cancellation of the
// entry.
#include "BootloaderBench.h"

#include "comm/CancellationToken.h"
#include "tests/sim/SimPackets.h"
#include "tests/sim/SimProgram.h"
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
    // Timed on the sending side: a loaded machine can only stretch the pauses,
    // while the simulator may read bytes that were paced apart in one go.
    QElapsedTimer sending;
    sending.start();
    EXPECT_TRUE(b.fw.sendConsole("LOAD"));
    EXPECT_GE(sending.elapsed(), 40) << "a pause of 10 ms before each of the four bytes";
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.arrived().size() == 4; }, 5000));
    EXPECT_EQ(b.arrived(), "LOAD");
}

namespace {

// Each dialect with its exact lines for a 128-byte image; a "*" in a line
// stands for any text there (prompts that answered the entry's last
// carriage returns can still be arriving when the next command's answer is
// read).
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
        const qsizetype star = e.indexOf('*');
        if (star < 0 ? got.at(i) != e
                     : !got.at(i).startsWith(e.left(star)) || !got.at(i).endsWith(e.mid(star + 1))
                           || got.at(i).size() < e.size() - 1)
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
        {5, false, entry + QStringList{"[0] SYSTEM OK !!!", "[0] *SYSTEM O.K."} + load + stream
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

TEST(BootloaderSteps, ImagesOfAwkwardSizesArriveWholeInEveryTransferKind)
{
    struct Kind
    {
        const char *name;
        int dialect;
        bool packets;
    };
    const Kind kinds[] = {{"stream", 2, false}, {"blocks", 4, false}, {"packets", 2, true}};
    for (const Kind &k : kinds) {
        BootloaderBench b(k.dialect, k.packets);
        ASSERT_TRUE(b.open()) << k.name;
        bool packets = false;
        ASSERT_TRUE(b.enter(&packets)) << k.name;
        // One entry serves every image: each load (or transfer start) begins anew.
        for (const int size : {1, 127, 128, 255, 256, 1000}) {
            const QByteArray image = patternImage(size);
            b.progress.clear();
            const QvxFirmware::Image file = b.image(image, QStringLiteral("image-%1.bin").arg(size));
            const bool sent = packets ? b.fw.sendFileViaPackets(file) : (b.fw.loadFirmware() && b.fw.sendFile(file));
            EXPECT_TRUE(sent) << k.name << " " << size << "\n" << qPrintable(b.logs.join('\n'));
            EXPECT_TRUE(QTest::qWaitFor([&] { return b.bus.bootImage() == image; }, 3000)) << k.name << " " << size;
            ASSERT_FALSE(b.progress.isEmpty()) << k.name << " " << size;
            EXPECT_EQ(b.progress.constLast(), 100) << k.name << " " << size;
        }
    }
}

TEST(BootloaderSteps, StreamOfAnImageOfOnePieceReportsNinetyNineThenAHundred)
{
    BootloaderBench b(2);
    ASSERT_TRUE(b.open());
    ASSERT_TRUE(b.enter());
    ASSERT_TRUE(b.fw.loadFirmware());
    const QByteArray image = patternImage(128);
    ASSERT_TRUE(b.fw.sendFile(b.image(image)));
    EXPECT_EQ(b.progress, (QList<int>{99, 100}));
    // The image, then a last piece holding only the sum byte.
    EXPECT_TRUE(b.arrived().endsWith(image + char(QvxFirmware::sumByte(image))));
}

TEST(BootloaderSteps, StreamWhoseLastPieceIsEmptyGoesOnToItsAnswer)
{
    // 127 image bytes and the sum make one whole piece: nothing is left for the last.
    BootloaderBench b(3);
    ASSERT_TRUE(b.open());
    ASSERT_TRUE(b.enter());
    ASSERT_TRUE(b.fw.loadFirmware());
    const QByteArray image = patternImage(127);
    b.logs.clear();
    ASSERT_TRUE(b.fw.sendFile(b.image(image)));
    EXPECT_EQ(b.progress, (QList<int>{100, 100}));
    EXPECT_EQ(b.logs, (QStringList{"[2] send file OK !!!", "[2] SUCCESS"}));
}

TEST(BootloaderSteps, BlockTransferOfThreeHundredBytes)
{
    BootloaderBench b(4);
    ASSERT_TRUE(b.open());
    ASSERT_TRUE(b.enter());
    ASSERT_TRUE(b.fw.loadFirmware());
    b.logs.clear();
    const QByteArray image = patternImage(300);
    ASSERT_TRUE(b.fw.sendFile(b.image(image)));
    EXPECT_EQ(b.progress, (QList<int>{42, 85, 100}));
    EXPECT_EQ(b.logs, (QStringList{"index = 0, remain = 300", "[2] sendFile: OK !!!", "[2] O:128",
                                   "[2] X command OK !!!", "[2] X", "index = 128, remain = 172",
                                   "[2] sendFile: OK !!!", "[2] O:256", "[2] X command OK !!!", "[2] X",
                                   "index = 256, remain = 44", "[2] sendFile: OK !!!", "[2] O:300"}));
    // Blocks of 128, 128 and 44 bytes, each with its own sum, and "X" twice.
    QByteArray expected = "L";
    for (const int at : {0, 128, 256}) {
        const QByteArray block = image.mid(at, 128);
        expected += block + char(QvxFirmware::sumByte(block));
        if (at < 256)
            expected += 'X';
    }
    EXPECT_EQ(b.arrived().mid(b.arrived().indexOf('L')), expected);
    EXPECT_EQ(b.bus.bootImage(), image);
}

TEST(BootloaderSteps, SumByteIsTheLowByteOfTheSum)
{
    EXPECT_EQ(QvxFirmware::sumByte(sim::fromHex("FF 02")), 0x01);
    EXPECT_EQ(QvxFirmware::sumByte({}), 0x00);
}

TEST(BootloaderSteps, AnEmptyImageIsRefusedBeforeAnythingIsSent)
{
    struct Kind
    {
        int dialect;
        bool packets;
    };
    for (const Kind k : {Kind{2, false}, Kind{4, false}, Kind{2, true}}) {
        BootloaderBench b(k.dialect, k.packets);
        ASSERT_TRUE(b.open());
        ASSERT_TRUE(b.enter());
        const QvxFirmware::Image empty = b.image({});
        const qsizetype before = b.arrived().size();
        b.logs.clear();
        EXPECT_FALSE(k.packets ? b.fw.sendFileViaPackets(empty) : b.fw.sendFile(empty)) << k.dialect;
        EXPECT_EQ(b.logs, QStringList{"[E] sendFile: empty image"}) << k.dialect;
        EXPECT_TRUE(b.progress.isEmpty()) << k.dialect;
        QTest::qWait(50);
        EXPECT_EQ(b.arrived().size(), before) << "nothing went to the device";
    }
}

TEST(BootloaderSteps, AnImageBeyondTheBlockIndexIsRefusedBeforeAnythingIsSent)
{
    BootloaderBench b(2, true);
    ASSERT_TRUE(b.open());
    ASSERT_TRUE(b.enter());
    b.bus.clearReceived();
    EXPECT_FALSE(b.fw.sendFileViaPackets(b.image(QByteArray(QvxFirmware::kLargestPacketImage + 1, '\x5A'))));
    EXPECT_EQ(b.logs.constLast(), "[E] sendFile: image too large");
    QTest::qWait(50);
    EXPECT_TRUE(b.bus.received().isEmpty());
}

TEST(BootloaderSteps, PacketTransferCancelledMidwaySendsNoFurtherBlock)
{
    BootloaderBench b(2, true);
    ASSERT_TRUE(b.open());
    ASSERT_TRUE(b.enter());
    b.bus.clearReceived();
    // The request comes (from another thread, as Ctrl+C's does) once two of
    // the seven whole blocks of 1000 bytes were taken.
    QObject::connect(&b.fw, &QvxFirmware::firmware_progress, [&b](int p) {
        if (p >= 25)
            b.fw.cancelRequested = true;
    });
    EXPECT_FALSE(b.fw.sendFileViaPackets(b.image(patternImage(1000))));
    EXPECT_EQ(b.logs.constLast(), "[E] sendFile Canceled");
    EXPECT_EQ(b.progress, (QList<int>{12, 25}));
    QTest::qWait(50);
    QList<int> modes;
    for (const sim::Instruction &in : b.bus.received())
        modes << static_cast<quint8>(in.params.at(0));
    EXPECT_EQ(modes, (QList<int>{17, 18, 18})) << "the start and two data blocks; no last block";
    EXPECT_FALSE(b.bus.bootImageComplete());
}

TEST(BootloaderSteps, PacketTransferStartsOnlyOnAStartReplyOfZeros)
{
    // The reply to the start carries a 16-bit index and a 32-bit value, both
    // 0; anything else (or nothing) ends the transfer before a block is sent.
    struct Case
    {
        const char *what;
        quint8 error;
        const char *params;
    };
    const Case cases[] = {
        {"index not 0", 0, "01 00 00 00 00 00"},
        {"value not 0", 0, "00 00 00 01 00 00"},
        {"no values", 0, ""},
        {"index only", 0, "00 00"},
        {"error byte", 0x01, "00 00 00 00 00 00"},
    };
    for (const Case &c : cases) {
        BootloaderBench b(2, true);
        ASSERT_TRUE(b.open()) << c.what;
        ASSERT_TRUE(b.enter()) << c.what;
        const QByteArray reply = sim::bootStatus2(0xFE, c.error, sim::fromHex(c.params));
        b.bus.setResponder([reply](const sim::Instruction &in) -> std::optional<QByteArray> {
            if (in.boot && in.code == 0xF7 && !in.params.isEmpty() && static_cast<quint8>(in.params.at(0)) == 17)
                return reply;
            return std::nullopt;
        });
        b.bus.clearReceived();
        b.logs.clear();
        EXPECT_FALSE(b.fw.sendFileViaPackets(b.image(patternImage(300)))) << c.what;
        EXPECT_EQ(b.logs, QStringList{"[E] sendFile: write fail"}) << c.what;
        EXPECT_TRUE(b.progress.isEmpty()) << c.what;
        QTest::qWait(50);
        EXPECT_EQ(b.bus.received().size(), 1) << c.what << ": the start alone";
    }
}

TEST(BootloaderSteps, ARestartThePacketBootloaderRefusesFailsTheStep)
{
    struct Case
    {
        const char *what;
        bool reset;
        quint8 refused; // the instruction answered with an error
    };
    const Case cases[] = {
        {"go refused", false, 0xF8},
        {"go after the reset refused", true, 0xF8},
        {"reset refused", true, 0x06},
    };
    for (const Case &c : cases) {
        BootloaderBench b(2, true);
        ASSERT_TRUE(b.open()) << c.what;
        b.bus.setResponder([c](const sim::Instruction &in) -> std::optional<QByteArray> {
            if (in.boot && in.code == c.refused)
                return sim::bootStatus2(0xFE, 0x01);
            return std::nullopt;
        });
        b.runSteps(b.image(patternImage(300)), c.reset);
        EXPECT_EQ(b.failures, QStringList{"Bootloader Restart Failed"}) << c.what;
        EXPECT_TRUE(b.bus.bootImageComplete()) << c.what << ": the image itself was taken";
        QStringList restart;
        for (const sim::Instruction &in : b.bus.received()) {
            if (in.boot && in.code != 0xF7)
                restart << in.name();
        }
        const QStringList expected = c.reset && c.refused == 0x06 ? QStringList{"BOOT_06"}
                                     : c.reset                   ? QStringList{"BOOT_06", "BOOT_F8"}
                                                                 : QStringList{"BOOT_F8"};
        EXPECT_EQ(restart, expected) << c.what;
    }
}

TEST(BootloaderSteps, PacketTransferModesFollowTheSuffix)
{
    for (const char *name : {"fw.Ecp", "fw.bin"}) {
        BootloaderBench b(2, true);
        ASSERT_TRUE(b.open());
        ASSERT_TRUE(b.enter());
        b.bus.clearReceived();
        ASSERT_TRUE(b.fw.sendFileViaPackets(b.image(patternImage(256), QString::fromLatin1(name))));
        QList<int> modes;
        for (const sim::Instruction &in : b.bus.received())
            modes << static_cast<quint8>(in.params.at(0));
        const bool ecp = QByteArray(name).endsWith("Ecp");
        EXPECT_EQ(modes, ecp ? (QList<int>{1, 2, 2, 3}) : (QList<int>{17, 18, 18, 19})) << name;
        EXPECT_EQ(b.progress, (QList<int>{50, 100, 100})) << name;
        // The last block is empty and carries index 2.
        EXPECT_EQ(b.bus.received().constLast().params, sim::fromHex(ecp ? "03 02 00" : "13 02 00")) << name;
    }
}

TEST(BootloaderSteps, ADeviceRebootedIntoItsBootloaderComesBackWithTheImagesVersion)
{
    struct Case
    {
        int dialect;
        bool packets;
        const char *image;
        int version;
    };
    const Case cases[] = {{2, false, ":/fw/assets/fw/AR-240_55.bin", 55}, {2, true, ":/fw/assets/fw/BN-540_31.ecp", 31}};
    for (const Case &c : cases) {
        BootloaderBench b(c.dialect, c.packets);
        ASSERT_TRUE(b.open()) << c.image;
        ASSERT_EQ(b.fw.qvx_protocol->reboot(1), COMM_OK) << c.image;
        bool packets = !c.packets;
        ASSERT_TRUE(b.fw.enterBootloader(&packets)) << c.image;
        EXPECT_EQ(packets, c.packets) << c.image;
        EXPECT_EQ(b.fw.transferAfterEntry(builtInImage(QString::fromLatin1(c.image)), packets, false), QString())
            << c.image;
        ASSERT_TRUE(b.bus.waitForApplication(5000)) << c.image;
        QFile file(QString::fromLatin1(c.image));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(b.bus.bootImage(), file.readAll()) << c.image;
        if (!b.fw.serial_port->isOpen()) {
            ASSERT_TRUE(b.fw.open(b.bus.portName(), 57600));
        }
        ushort model = 0;
        uchar firmware = 0;
        uchar error = 0;
        b.fw.setProtocolVersion("2.0");
        ASSERT_EQ(b.fw.qvx_protocol->ping(1, &model, &firmware, &error), COMM_OK) << c.image;
        EXPECT_EQ(firmware, c.version) << c.image;
    }
}

TEST(BootloaderSteps, WaitsTakeTheBytesThePortAlreadyHolds)
{
    // The answer is in before the wait starts: it arrived while the command
    // was still being written.
    BootloaderBench b(0);
    ASSERT_TRUE(b.open());
    b.bus.sendRaw("READY\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.fw.serial_port->bytesAvailable() >= 7; }, 5000));
    EXPECT_TRUE(b.fw.loadFirmware());
    EXPECT_EQ(b.logs, (QStringList{"[1] LOAD Ready OK !!!", "[1] READY"}));
}

namespace {

// Sets the flag from another thread after `ms`, as an interrupt handler would.
struct LateFlag
{
    std::thread thread;
    LateFlag(std::atomic<bool> &flag, int ms)
        : thread([&flag, ms] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            flag.store(true);
        })
    {
    }
    ~LateFlag() { thread.join(); }
};

} // namespace

TEST(BootloaderEntry, CtrlCFlagEndsAnEntryThatNothingAnswers)
{
    for (const int dialect : {2, 5}) {
        sim::BootFaults faults;
        faults.neverEnters = true;
        BootloaderBench b(dialect, false, faults);
        ASSERT_TRUE(b.open());
        b.bus.startBootloader(1);
        QElapsedTimer timer;
        bool packets = true;
        bool entered = true;
        {
            LateFlag interrupt(b.fw.cancelRequested, 300);
            timer.start();
            entered = b.fw.enterBootloader(&packets);
        }
        EXPECT_FALSE(entered) << dialect;
        EXPECT_FALSE(packets) << dialect;
        EXPECT_LT(timer.elapsed(), 300 + 1000) << dialect;
        EXPECT_EQ(b.logs.mid(0, 1), QStringList{"[E] Bootloader entry Canceled"}) << dialect;
        EXPECT_EQ(b.logs.size(), 2) << dialect;
        // The device did hear the entry: "#"s for the servo, carriage returns for the board.
        EXPECT_TRUE(b.arrived().contains(dialect == 5 ? '\r' : '#')) << dialect;
    }
}

TEST(BootloaderEntry, CancelledCommandTokenEndsTheEntry)
{
    sim::BootFaults faults;
    faults.neverEnters = true;
    BootloaderBench b(1, false, faults);
    ASSERT_TRUE(b.open());
    b.bus.startBootloader(1);
    CancellationToken token;
    b.fw.setCancellationToken(&token);
    std::thread interrupt([&token] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int running = 0;
        token.state.compare_exchange_strong(running, 1);
    });
    QElapsedTimer timer;
    timer.start();
    const bool entered = b.fw.enterBootloader(nullptr);
    interrupt.join();
    b.fw.clearCancellationToken();
    EXPECT_FALSE(entered);
    EXPECT_LT(timer.elapsed(), 300 + 1000);
    EXPECT_TRUE(b.fw.cancelRequested.load());
    EXPECT_EQ(b.logs.constFirst(), "[E] Bootloader entry Canceled");
}

TEST(BootloaderEntry, DeadlineEndsAnEntryThatNothingAnswers)
{
    EXPECT_EQ(QvxFirmware::kEntryDeadlineMs, 15000);
    EXPECT_GT(QvxFirmware::kRecoveryEntryDeadlineMs, QvxFirmware::kEntryDeadlineMs);
    sim::BootFaults faults;
    faults.neverEnters = true;
    BootloaderBench b(2, false, faults);
    ASSERT_TRUE(b.open());
    b.bus.startBootloader(1);
    QElapsedTimer timer;
    timer.start();
    b.fw.armEntryDeadline(400);
    EXPECT_FALSE(b.fw.enterBootloader(nullptr));
    EXPECT_GE(timer.elapsed(), 400);
    EXPECT_LT(timer.elapsed(), 400 + 1000);
    EXPECT_EQ(b.logs, (QStringList{"[E] Bootloader entry Canceled", "[E] "}));
    EXPECT_TRUE(b.fw.cancelRequested.load()) << "the deadline sets the cancel flag";

    // The deadline was used up: the next entry has its own again.
    b.fw.cancelRequested = false;
    b.logs.clear();
    b.bus.setBootloader(1, sim::BootloaderSetup{2, false, {}});
    EXPECT_TRUE(b.enter());
}

TEST(BootloaderEntry, NulPaddedEchoesGetACarriageReturnEachAndNeverReachTheBuffer)
{
    sim::BootFaults faults;
    faults.nulEchoes = 3;
    BootloaderBench b(2, false, faults);
    ASSERT_TRUE(b.open());
    ASSERT_TRUE(b.enter());
    EXPECT_EQ(b.logs.at(0), "[0] Bootloader entry OK !!!");
    EXPECT_FALSE(b.logs.at(1).contains(QChar(0)));
    EXPECT_TRUE(b.logs.at(1).startsWith("[0] ###")) << qPrintable(b.logs.at(1));
    // A carriage return per read that held an echo (echoes a loaded machine
    // delivers together are one read), and one to confirm the prompt.
    const qsizetype returns = b.arrived().count('\r');
    EXPECT_GE(returns, 2);
    EXPECT_LE(returns, 4);
}

TEST(BootloaderFaults, EachFaultEndsWithItsTextsAndThePortClosed)
{
    struct Case
    {
        const char *name;
        int dialect;
        bool packets;
        std::function<void(sim::BootFaults &)> fault;
        QString failure;
        QString log; // the step's own failure line
    };
    const Case cases[] = {
        {"never enters", 2, false, [](sim::BootFaults &f) { f.neverEnters = true; }, "Bootloader Entry Failed",
         "[E] Bootloader entry Canceled"},
        {"load refused", 2, false, [](sim::BootFaults &f) { f.rejectLoad = true; }, "Bootloader Error",
         "[E] L command return ERROR"},
        {"load refused, dialect 0", 0, false, [](sim::BootFaults &f) { f.rejectLoad = true; }, "Bootloader Error",
         "[E] L command return ERROR"},
        {"load refused, blocks", 4, false, [](sim::BootFaults &f) { f.rejectLoad = true; }, "Bootloader Error",
         "[E] L command NOT Ready"},
        {"block answered X:", 4, false, [](sim::BootFaults &f) { f.rejectBlock = true; },
         "Firmware Transfer Failed", "[E] sendFile: fail !!!"},
        {"wrong sum of a block", 4, false, [](sim::BootFaults &f) { f.wrongSum = true; },
         "Firmware Transfer Failed", "[E] sendFile: fail !!!"},
        {"wrong sum of the stream", 2, false, [](sim::BootFaults &f) { f.wrongSum = true; },
         "Firmware Transfer Failed", "[E] sendFile: return FAIL"},
        {"FAIL after the stream", 1, false, [](sim::BootFaults &f) { f.streamAnswer = "Write fail"; },
         "Firmware Transfer Failed", "[E] sendFile: return FAIL"},
        {"ERROR after the stream", 3, false, [](sim::BootFaults &f) { f.streamAnswer = "FAIL: ERROR 3"; },
         "Firmware Transfer Failed", "[E] sendFile: return ERROR"},
        {"silence mid-stream", 2, false, [](sim::BootFaults &f) { f.silentAfter = 200; },
         "Firmware Transfer Failed", "[E] sendFile: NOT Success"},
        {"silence mid-blocks", 4, false, [](sim::BootFaults &f) { f.silentAfter = 200; },
         "Firmware Transfer Failed", "[E] sendFile: fail !!!"},
        {"transfer start refused", 2, true, [](sim::BootFaults &f) { f.rejectLoad = true; },
         "Firmware Transfer Failed", "[E] sendFile: write fail"},
        {"data block refused", 2, true, [](sim::BootFaults &f) { f.rejectBlock = true; },
         "Firmware Transfer Failed", "[E] sendFile: write fail"},
        {"silence mid-packets", 2, true, [](sim::BootFaults &f) { f.silentAfter = 200; },
         "Firmware Transfer Failed", "[E] sendFile: write fail"},
        {"controller board never enters", 5, false, [](sim::BootFaults &f) { f.neverEnters = true; },
         "Bootloader Entry Failed", "[E] Bootloader entry Canceled"},
    };
    for (const Case &c : cases) {
        sim::BootFaults faults;
        c.fault(faults);
        BootloaderBench b(c.dialect, c.packets, faults);
        ASSERT_TRUE(b.open()) << c.name;
        b.fw.armEntryDeadline(1500);
        b.runSteps(b.image(patternImage(600)));
        EXPECT_EQ(b.failures, QStringList{c.failure}) << c.name;
        EXPECT_TRUE(b.logs.contains(c.log)) << c.name << "\n" << qPrintable(b.logs.join('\n'));
        EXPECT_FALSE(b.fw.serial_port->isOpen()) << c.name;
        EXPECT_FALSE(b.fw.port_held) << c.name;
        if (!c.packets) {
            // The failure exit's go commands went out last, the port still open.
            // A bootloader that takes the first go leaves and hears no more, so
            // what it heard ends with a start of them: where it stopped hearing
            // depends on how the bytes were split between its reads.
            const QByteArray goes = "GO\rG\r";
            const auto wentOut = [&] {
                const QByteArray arrived = b.arrived();
                for (qsizetype n = 1; n <= goes.size(); ++n)
                    if (arrived.endsWith(goes.left(n)))
                        return true;
                return false;
            };
            EXPECT_TRUE(QTest::qWaitFor(wentOut, 3000)) << c.name << ": " << b.arrived().right(40).toStdString();
        }
    }
}

TEST(BootloaderFaults, RepliesSplitAcrossReadsAreStillFound)
{
    for (const bool packets : {false, true}) {
        sim::BootFaults faults;
        faults.splitGapMs = 30;
        BootloaderBench b(2, packets, faults);
        ASSERT_TRUE(b.open());
        const QByteArray image = patternImage(300);
        b.runSteps(b.image(image));
        EXPECT_TRUE(b.failures.isEmpty()) << packets << "\n" << qPrintable(b.logs.join('\n'));
        EXPECT_TRUE(b.bus.waitForApplication(5000)) << packets;
        EXPECT_EQ(b.bus.bootImage(), image) << packets;
    }
}

TEST(BootloaderFaults, FailureExitsSendTheirGoCommandsWhateverTheDialect)
{
    struct Case
    {
        int dialect;
        bool address;
        QByteArray sent;
    };
    for (const Case &c : {Case{4, false, "GO\rG\r"}, Case{5, false, "GO\rG\r"},
                          Case{5, true, "GO 8009000\rG 8009000\r"}}) {
        BootloaderBench b(c.dialect);
        ASSERT_TRUE(b.open());
        b.bus.startBootloader(1);
        if (c.address)
            b.fw.failWithGoAddress("Bootloader Error");
        else
            b.fw.failWithGo("Bootloader Error");
        EXPECT_TRUE(QTest::qWaitFor([&] { return b.arrived() == c.sent; }, 3000)) << b.arrived().toStdString();
        EXPECT_FALSE(b.fw.serial_port->isOpen());
        EXPECT_FALSE(b.fw.port_held);
        EXPECT_EQ(b.failures, QStringList{"Bootloader Error"});
    }
    // On a closed port the exit still reports and releases.
    BootloaderBench b(2);
    b.fw.port_held = true;
    b.fw.failWithGo("Firmware Transfer Failed");
    EXPECT_EQ(b.failures, QStringList{"Firmware Transfer Failed"});
    EXPECT_FALSE(b.fw.port_held);
}

TEST(BootloaderSteps, LoadAtTheCalibrationAddress)
{
    for (const int dialect : {1, 2}) {
        BootloaderBench b(dialect);
        ASSERT_TRUE(b.open());
        ASSERT_TRUE(b.enter());
        b.logs.clear();
        EXPECT_TRUE(b.fw.loadAtAddress()) << dialect;
        EXPECT_EQ(b.logs.value(0), "[1] LOAD Ready OK !!!") << dialect;
        EXPECT_TRUE(b.arrived().contains(dialect == 2 ? "\rLOAD 8009000\r" : "\rL 8009000\r")) << dialect;
    }
}

TEST(BootloaderProgram, SimulatorProgramServesABootloaderAndKeepsTheImage)
{
    QTemporaryDir dir;
    const QString imageOut = dir.filePath("received.bin");
    SimProgram program({"id=1,model=1130,boot=packets"}, {"--in-bootloader", "1", "--boot-image", imageOut});
    QvxFirmware fw;
    fw.setTimeout(1000);
    ASSERT_TRUE(fw.open(program.portName(), 57600));
    fw.port_held = true;
    bool packets = false;
    ASSERT_TRUE(fw.enterBootloader(&packets));
    ASSERT_TRUE(packets);
    const QString image = ":/fw/assets/fw/BN-540_31.ecp";
    EXPECT_EQ(fw.transferAfterEntry(builtInImage(image), packets, false), QString());
    QFile expected(image);
    ASSERT_TRUE(expected.open(QIODevice::ReadOnly));
    const QByteArray bytes = expected.readAll();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            QFile got(imageOut);
            return got.open(QIODevice::ReadOnly) && got.readAll() == bytes;
        },
        5000));
    EXPECT_TRUE(program.received().contains("BOOT 1 RESTARTED 4096 BYTES FW 31"));
}
