// The packet bootloader's packets (header FF FF FD 0A) against a scripted
// bootloader on the simulated bus: the bytes of every operation, the reply
// values, and how the receive step treats stray, foreign, short and damaged
// replies.
#include "EngineOnBus.h"

#include "comm/QvxProtocol2.h"
#include "platform/OutputSink.h"
#include "tests/support/QtPrinters.h"

#include <functional>
#include <gtest/gtest.h>

using sim::fromHex;

namespace {

constexpr uchar kUntouched = 0xAA;

QString hexOf(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// A bootloader that answers every bootloader packet with `reply` (or, when
// `reply` is empty, with a status carrying `params`).
struct BootBus : EngineOnBus<QvxProtocol2>
{
    explicit BootBus(const QByteArray &params = {}, quint8 error = 0)
    {
        open();
        engine.extraLatency = 1000; // slack for a loaded machine
        answerWith(sim::bootStatus2(0xFE, error, params));
    }
    void answerWith(const QByteArray &reply)
    {
        bus.setResponder([reply](const sim::Instruction &in) -> std::optional<QByteArray> {
            return in.boot ? reply : QByteArray();
        });
    }
};

// Index 0x1234 and total 0x00012C00 as a reply carries them.
const QByteArray kIndexAndTotal = fromHex("34 12 00 2C 01 00");

} // namespace

TEST(BootPackets, TransferStartOfAThousandBytesIsByteForByte)
{
    BootBus b(kIndexAndTotal);
    quint16 index = 0;
    quint32 total = 0;
    uchar error = kUntouched;
    ASSERT_EQ(b.engine.bootReadF7(254, 1, 1000, &index, &total, &error), COMM_OK);
    EXPECT_EQ(hexOf(b.sent()), "FF FF FD 0A FE 08 00 F7 01 E8 03 00 00 D1 8A");
    EXPECT_EQ(index, 0x1234);
    EXPECT_EQ(total, 0x00012C00u);
    EXPECT_EQ(error, 0);
}

TEST(BootPackets, EveryOperationSendsItsParametersAndReadsItsValues)
{
    struct Case
    {
        const char *name;
        std::function<int(QvxProtocol2 &, uchar *error, quint32 *value)> run;
        const char *sentBody; // LEN, instruction and parameters
        quint32 value;        // the reply value the operation reads (0 when none)
    };
    const QByteArray data = fromHex("01 02 03");
    const Case cases[] = {
        {"06", [](QvxProtocol2 &e, uchar *err, quint32 *) { return e.bootCommand06(254, err); }, "03 00 06", 0},
        {"F8", [](QvxProtocol2 &e, uchar *err, quint32 *) { return e.bootCommandF8(254, err); }, "03 00 F8", 0},
        {"F8 with a value",
         [](QvxProtocol2 &e, uchar *err, quint32 *) { return e.bootCommandF8(254, 0x08009000u, err); },
         "07 00 F8 00 90 00 08", 0},
        {"F1",
         [](QvxProtocol2 &e, uchar *err, quint32 *v) {
             uchar value = 0;
             const int r = e.bootCommandF1(254, &value, err);
             *v = value;
             return r;
         },
         "03 00 F1", 0x34},
        {"FA short",
         [](QvxProtocol2 &e, uchar *err, quint32 *v) {
             quint16 value = 0;
             const int r = e.bootCommandFA(254, 0x11223344u, 0x5566, &value, err);
             *v = value;
             return r;
         },
         "09 00 FA 44 33 22 11 66 55", 0x1234},
        {"FA long",
         [](QvxProtocol2 &e, uchar *err, quint32 *v) {
             quint16 value = 0;
             const int r = e.bootCommandFA(254, 1, 2, 3, &value, err);
             *v = value;
             return r;
         },
         "0D 00 FA 01 00 00 00 02 00 00 00 03 00", 0x1234},
        {"F7 read with two values",
         [](QvxProtocol2 &e, uchar *err, quint32 *v) {
             quint16 index = 0;
             quint32 total = 0;
             const int r = e.bootReadF7(254, 17, 0x100, 0x200, &index, &total, err);
             *v = total;
             return r;
         },
         "0C 00 F7 11 00 01 00 00 00 02 00 00", 0x00012C00},
        {"F7 write of three bytes",
         [data](QvxProtocol2 &e, uchar *err, quint32 *v) {
             quint16 index = 0;
             quint32 total = 0;
             const int r = e.bootWriteF7(254, 2, 7, 3, reinterpret_cast<const uchar *>(data.constData()), &index,
                                         &total, err);
             *v = index;
             return r;
         },
         "09 00 F7 02 07 00 01 02 03", 0x1234},
        {"F7 write of no bytes (the last block of an image of whole blocks)",
         [](QvxProtocol2 &e, uchar *err, quint32 *v) {
             quint16 index = 0;
             quint32 total = 0;
             const int r = e.bootWriteF7(254, 3, 2, 0, nullptr, &index, &total, err);
             *v = index;
             return r;
         },
         "06 00 F7 03 02 00", 0x1234},
    };
    for (const Case &c : cases) {
        BootBus b(kIndexAndTotal, 0x05);
        uchar error = kUntouched;
        quint32 value = 0;
        ASSERT_EQ(c.run(b.engine, &error, &value), COMM_OK) << c.name;
        const QByteArray sent = b.sent();
        EXPECT_EQ(hexOf(sent.mid(5, sent.size() - 7)), QString::fromLatin1(c.sentBody)) << c.name;
        EXPECT_EQ(hexOf(sent.left(5)), "FF FF FD 0A FE") << c.name;
        EXPECT_EQ(sent, sim::bootPacket2(0xFE, static_cast<quint8>(sent.at(7)), sent.mid(8, sent.size() - 10)))
            << c.name << ": the CRC";
        EXPECT_EQ(error, 0x05) << c.name;
        EXPECT_EQ(value, c.value) << c.name;
    }
}

TEST(BootPackets, MarksInABlockAreStuffedAndTheReplyIsUnstuffedBeforeItsValuesAreRead)
{
    // Index FF FF and a total whose first byte is FD: the reply holds the mark.
    BootBus b(fromHex("FF FF FD 00 00 00"));
    const QByteArray block = fromHex("FF FF FD 10 FF FF FD");
    quint16 index = 0;
    quint32 total = 0;
    uchar error = kUntouched;
    ASSERT_EQ(b.engine.bootWriteF7(254, 2, 0, static_cast<quint16>(block.size()),
                                   reinterpret_cast<const uchar *>(block.constData()), &index, &total, &error),
              COMM_OK);
    EXPECT_EQ(hexOf(b.sent().left(7)), "FF FF FD 0A FE 0F 00") << "LEN 13 grows by one per mark";
    EXPECT_EQ(b.bus.received().constLast().params, fromHex("02 00 00") + block);
    EXPECT_EQ(index, 0xFFFF);
    EXPECT_EQ(total, 0xFDu);
}

TEST(BootPackets, ReplyValuesTheReplyDoesNotCarryAreLeftAlone)
{
    BootBus b(fromHex("07 00")); // an index, no total
    quint16 index = 0;
    quint32 total = 0xCAFE;
    uchar error = kUntouched;
    ASSERT_EQ(b.engine.bootReadF7(254, 1, 10, &index, &total, &error), COMM_OK);
    EXPECT_EQ(index, 7);
    EXPECT_EQ(total, 0xCAFEu);

    b.answerWith(sim::bootStatus2(0xFE, 0));
    uchar value = kUntouched;
    ASSERT_EQ(b.engine.bootCommandF1(254, &value, &error), COMM_OK);
    EXPECT_EQ(value, kUntouched);
}

TEST(BootPackets, ReceiveStepTakesOnlyAWholeBootloaderStatus)
{
    const QByteArray good = sim::bootStatus2(0x01, 0);
    QByteArray damaged = good;
    damaged[damaged.size() - 1] = static_cast<char>(damaged.at(damaged.size() - 1) ^ 0x5A);
    // LEN 3 with a valid CRC: no room for the error byte.
    QByteArray shortReply = fromHex("FF FF FD 0A FE 03 00 55");
    const quint16 crc = sim::crc16(shortReply);
    shortReply += static_cast<char>(crc & 0xFF);
    shortReply += static_cast<char>(crc >> 8);
    struct Case
    {
        const char *name;
        QByteArray reply;
        int result;
        QStringList logs;
    };
    const Case cases[] = {
        {"stray bytes ahead (an echo of the request)", fromHex("FD 0A FE") + good, COMM_OK,
         {"COMM_RX_CORRUPT: remove unnecessary packets", "remove data = FD 0A FE"}},
        {"a reply from any ID", good, COMM_OK, {}},
        {"a standard status is never a bootloader reply", sim::status2(0xFE, 0), COMM_RX_TIMEOUT, {}},
        {"a status shorter than its fixed part is dropped", shortReply, COMM_RX_TIMEOUT, {}},
        {"a short status followed by a good one", shortReply + good, COMM_OK,
         {"COMM_RX_CORRUPT: remove unnecessary packets", "remove data = " + hexOf(shortReply.mid(1))}},
        {"a damaged CRC", damaged, COMM_RX_CORRUPT, {"COMM_RX_CORRUPT: crc error", "read data = " + hexOf(damaged)}},
        {"a reply cut short", good.left(9), COMM_RX_TIMEOUT,
         {"COMM_RX_CORRUPT: rx time out", "read data = " + hexOf(good.left(9))}},
    };
    for (const Case &c : cases) {
        BootBus b;
        b.answerWith(c.reply);
        uchar error = kUntouched;
        EXPECT_EQ(b.engine.bootCommandF8(254, &error), c.result) << c.name;
        EXPECT_EQ(error, c.result == COMM_OK ? 0 : kUntouched) << c.name;
        // The foreign and short packets leave nothing for the next receive
        // once the clock ran out; what the logs show depends on the drops.
        if (c.result != COMM_RX_TIMEOUT || !c.logs.isEmpty()) {
            EXPECT_EQ(b.logs, c.logs) << c.name;
        }
        EXPECT_FALSE(b.engine.inTransaction) << c.name;
    }
}

TEST(BootPackets, TheReplyIsAnItemButOnlyTheRequestIsTraced)
{
    BootBus b;
    b.engine.verbose = true;
    QByteArray out;
    platform::OutputSink::beginCapture(&out);
    uchar error = kUntouched;
    const int result = b.engine.bootCommandF8(254, &error);
    platform::OutputSink::endCapture();
    ASSERT_EQ(result, COMM_OK);
    EXPECT_EQ(out, "[TX] " + b.sent().toHex(' ').toUpper() + "\n");
    ASSERT_EQ(b.items.size(), 2);
    EXPECT_EQ(b.items.at(1).direction, 1);
    EXPECT_EQ(b.items.at(1).protocol, "2.0");
    EXPECT_EQ(b.items.at(1).data, sim::bootStatus2(0xFE, 0));
}

TEST(BootPackets, InstructionF9UsesTheStandardHeaderAndItsReply)
{
    EngineOnBus<QvxProtocol2> b;
    ASSERT_TRUE(b.open());
    b.bus.setResponder([](const sim::Instruction &in) -> std::optional<QByteArray> {
        return in.code == 0xF9 && !in.boot ? sim::status2(in.id, 0x03) : QByteArray();
    });
    uchar error = kUntouched;
    ASSERT_EQ(b.engine.commandF9(1, &error), COMM_OK);
    EXPECT_EQ(b.sent(), sim::packet2(1, 0xF9));
    EXPECT_EQ(error, 0x03);
}

TEST(BootPackets, APacketTooLargeAfterStuffingIsNotSent)
{
    BootBus b;
    const QByteArray block(4096, '\x11');
    uchar error = kUntouched;
    EXPECT_EQ(b.engine.bootWriteF7(254, 2, 0, static_cast<quint16>(block.size()),
                                   reinterpret_cast<const uchar *>(block.constData()), nullptr, nullptr, &error),
              COMM_TX_ERROR);
    EXPECT_TRUE(b.items.isEmpty());
    EXPECT_EQ(error, kUntouched);
}
