// The controller board against the simulated bus: the probe at its rates, the
// board's own update with its failures, and the update entry's choices (image,
// board, device kind).
#include "fw/QvxFirmware.h"
#include "tests/fw/UpdateBench.h"

#include <functional>

namespace {

constexpr quint8 kBoard = 200;
constexpr int kNewVersion = 15; // the board runs 14 before its update

struct BoardBench : UpdateBench
{
    // A board at ID 200 (answering only at `heldBaud` when not 0) whose
    // reboot write takes it into its bootloader.
    void addBoard(quint16 model, int heldBaud = 0)
    {
        sim::Device board = sim::Device::protocol2(kBoard, model, 14);
        board.baudRate = heldBaud;
        board.bootWriteAddress = 21;
        board.bootWriteValue = 4;
        bus.addDevice(board);
        bus.setBootloader(kBoard, sim::BootloaderSetup{5, false, {}});
    }

    QvxFirmware::UpdateParam boardOrder(int baudrate = 57600)
    {
        QvxFirmware::UpdateParam p;
        p.portName = bus.portName();
        p.baudrate = baudrate;
        p.id = kBoard;
        p.protocolVersion = QStringLiteral("2.0");
        p.modelName = QStringLiteral("Tarlin-C04");
        p.deviceKind = QStringLiteral("Controller2");
        p.firmwarePath = versionImage(QStringLiteral("Tarlin-C04"), kNewVersion);
        return p;
    }

    // The bytes of the built-in image of boardOrder().
    QByteArray builtInImage()
    {
        QFile file(boardOrder().firmwarePath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    std::optional<sim::Device> board() const { return bus.device(kBoard); }
};

} // namespace

TEST(ControllerProbe, FindsTheBoardAtItsRateOrNothing)
{
    struct Case
    {
        const char *what;
        quint16 model; // 0: nothing at ID 200
        int heldBaud;
        int expectModel;
        int expectBaud;
        int expectPings;
    };
    const Case cases[] = {
        {"board at 57600 answers at once", 400, 57600, 400, 57600, 1},
        {"older board at any rate", 220, 0, 220, 57600, 1},
        {"board only at 6250000", 450, 6250000, 450, 6250000, 3},
        {"a servo at ID 200 is no board", 1020, 0, 0, -1, 2},
        {"nothing at ID 200", 0, 0, 0, -1, 4},
    };
    for (const Case &c : cases) {
        BoardBench b;
        ASSERT_TRUE(b.bus.isOpen()) << qPrintable(b.bus.errorString());
        if (c.model != 0)
            b.addBoard(c.model, c.heldBaud);
        // The console hands its port over open.
        ASSERT_TRUE(b.fw.open(b.bus.portName(), 1000000)) << c.what;
        int baud = -1;
        EXPECT_EQ(b.fw.probeController(b.bus.portName(), &baud), c.expectModel) << c.what;
        EXPECT_EQ(baud, c.expectBaud) << c.what;
        EXPECT_FALSE(b.fw.isOpen()) << c.what;
        EXPECT_EQ(b.bus.receivedCount(0x01), c.expectPings) << c.what;
        for (const QString &line : b.record())
            EXPECT_EQ(line, QStringLiteral("2.0 200 PING")) << c.what << ": the probe only pings";
        EXPECT_EQ(b.fw.qvx_protocol->extraLatency, sim::kReplySlackMs) << c.what;
    }
}

TEST(ControllerUpdate, RebootsTransfersAndPingsTheBoard)
{
    BoardBench b;
    b.addBoard(400);
    const QvxFirmware::UpdateParam order = b.boardOrder();
    ASSERT_TRUE(b.fw.open(b.bus.portName(), 57600));
    EXPECT_TRUE(b.fw.firmware_update(order));
    EXPECT_EQ(b.successes, 1);
    EXPECT_TRUE(b.failures.isEmpty()) << qPrintable(b.failures.join('|'));
    EXPECT_FALSE(b.fw.isOpen());
    EXPECT_FALSE(b.fw.port_held);
    EXPECT_EQ(b.fw.boardModel, 400);
    EXPECT_EQ(b.fw.boardBaud, 57600);
    EXPECT_EQ(b.fw.extraLatency, 5000);
    EXPECT_EQ(b.bus.bootImage(), b.builtInImage());
    EXPECT_TRUE(b.bus.bootImageComplete());
    EXPECT_EQ(b.record(), (QStringList{"2.0 200 PING", "2.0 200 WRITE 15 00 04", "2.0 200 PING"}));
    EXPECT_TRUE(b.logs.contains(QStringLiteral("[0] Bootloader entry OK !!!"))) << qPrintable(b.logs.join('\n'));
    // The board restarted into the new firmware: its version, in its table too.
    const std::optional<sim::Device> board = b.board();
    ASSERT_TRUE(board.has_value());
    EXPECT_EQ(board->firmware, kNewVersion);
    EXPECT_EQ(b.bus.memory(kBoard, 6, 1), QByteArray(1, static_cast<char>(kNewVersion)));
    EXPECT_FALSE(b.bus.inBootloader());
}

TEST(ControllerUpdate, EachFailureGivesItsTextsWithThePortClosed)
{
    struct Case
    {
        const char *what;
        std::function<void(BoardBench &, QvxFirmware::UpdateParam &)> arrange;
        QStringList updateLogs;
        QString failure;
        int firmware; // the board's version afterwards
        int heldBaud = 0;
    };
    const Case cases[] = {
        {"no such port", [](BoardBench &b, QvxFirmware::UpdateParam &o) { o.portName = b.missingPort(); }, {},
         "Port Open Failed", 14},
        {"nothing answers the reboot write", [](BoardBench &, QvxFirmware::UpdateParam &o) { o.id = 7; },
         {"Update[2]: reboot fail"}, "QUORVEX Reboot Failed", 14},
        {"port gone while the board restarts",
         [](BoardBench &b, QvxFirmware::UpdateParam &) {
             b.pullAtClose([&b] { return b.heard(QStringLiteral("2.0 200 WRITE 15 00 04")); });
         },
         {}, "Port Open Failed", 14},
        {"bootloader never answers",
         [](BoardBench &b, QvxFirmware::UpdateParam &) {
             b.bootloaderNeverAnswers(kBoard, 5, sim::Protocol::V2, QStringLiteral("2.0 200 WRITE 15 00 04"), 5000);
         },
         {}, "Bootloader Entry Failed", 14},
        {"port gone after the transfer",
         [](BoardBench &b, QvxFirmware::UpdateParam &) {
             b.pullAtClose([&b] { return b.board() && b.board()->firmware == kNewVersion; });
         },
         {"Update[2]: open fail"}, "Bootloader Restart Failed", kNewVersion},
        // Steps up to the transfer run at 57600, whatever the order's rate.
        {"a board held at 57600 misses the closing ping at 1000000",
         [](BoardBench &, QvxFirmware::UpdateParam &o) { o.baudrate = 1000000; }, {}, "Bootloader Restart Failed",
         kNewVersion, 57600},
    };
    for (const Case &c : cases) {
        BoardBench b;
        b.addBoard(400, c.heldBaud);
        QvxFirmware::UpdateParam order = b.boardOrder();
        c.arrange(b, order);
        EXPECT_FALSE(b.fw.firmware_update(order)) << c.what;
        b.expectFailedAfter(c.updateLogs, c.failure, c.what);
        ASSERT_TRUE(b.board().has_value()) << c.what;
        EXPECT_EQ(b.board()->firmware, c.firmware) << c.what;
    }
}

TEST(ControllerUpdate, AnAdapterPulledDuringTheBootloaderEntryEndsItAtOnce)
{
    // Not left to the entry's deadline: the line is gone, nothing can answer.
    BoardBench b;
    b.addBoard(400);
    b.pullDuringTheEntry(kBoard, 5);
    EXPECT_FALSE(b.fw.firmware_update(b.boardOrder()));
    b.expectEntryEndedByThePortGone();
}

TEST(FirmwareUpdateEntry, UnknownKindFailsAfterOnlyTheProbeAndKeepsTheBoard)
{
    for (const char *kind : {"quorvex2", "QUORVEX2", "Controller", ""}) {
        BoardBench b;
        b.addBoard(400, 6250000);
        QvxFirmware::UpdateParam order = b.boardOrder();
        order.deviceKind = QString::fromLatin1(kind);
        ASSERT_TRUE(b.fw.open(b.bus.portName(), 57600));
        EXPECT_FALSE(b.fw.firmware_update(order)) << kind;
        EXPECT_EQ(b.failures, QStringList{"Device Type is Unknown"}) << kind;
        EXPECT_FALSE(b.fw.isOpen()) << kind;
        EXPECT_FALSE(b.fw.port_held) << kind;
        EXPECT_EQ(b.fw.extraLatency, 5000) << kind;
        EXPECT_EQ(b.fw.boardModel, 400) << kind;
        EXPECT_EQ(b.fw.boardBaud, 6250000) << kind;
        for (const QString &line : b.record())
            EXPECT_EQ(line, QStringLiteral("2.0 200 PING")) << kind;
    }
}

TEST(FirmwareUpdateEntry, ReplacementImageKeyMustMatchTheModelNameExactly)
{
    struct Case
    {
        const char *key;
        bool replaced;
    };
    for (const Case c : {Case{"Tarlin-C04", true}, Case{"tarlin-c04", false}, Case{"Tarlin", false}}) {
        BoardBench b;
        b.addBoard(400);
        b.fw.externalImages = {{QString::fromLatin1(c.key), b.image(QByteArray(200, '\x33'), "own.ecp")}};
        EXPECT_TRUE(b.fw.firmware_update(b.boardOrder())) << c.key;
        EXPECT_EQ(b.bus.bootImage(), c.replaced ? QByteArray(200, '\x33') : b.builtInImage()) << c.key;
    }
}
