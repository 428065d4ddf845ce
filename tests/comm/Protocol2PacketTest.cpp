// Protocol 2.0 packets as they go on the wire: CRC, byte stuffing, the bytes
// of every instruction, and the size limit.
#include "EngineOnBus.h"

#include "comm/QvxProtocol2.h"
#include "tests/support/QtPrinters.h"

#include <functional>
#include <gtest/gtest.h>

using sim::fromHex;

TEST(Protocol2Crc, MatchesTheCheckValueAndContinuesAcrossPieces)
{
    EXPECT_EQ(QvxProtocol2::updateCrc(0, "123456789", 9), 0xFEE8);
    EXPECT_EQ(QvxProtocol2::updateCrc(QvxProtocol2::updateCrc(0, "1234", 4), "56789", 5), 0xFEE8);
    EXPECT_EQ(QvxProtocol2::updateCrc(0, "123456789", 200), 0xFEE8) << "size beyond the data";
    // The PING of ID 1 carries CRC 0x4E19.
    EXPECT_EQ(QvxProtocol2::updateCrc(0, fromHex("FF FF FD 00 01 03 00 01"), 8), 0x4E19);
}

TEST(Protocol2Stuffing, AddsAnFdAfterEachMarkFromTheInstructionOnAndFixesLen)
{
    struct Case
    {
        const char *name;
        QByteArray plain;
        QByteArray stuffed;
    };
    const Case cases[] = {
        {"write of FF FF FD 00", fromHex("FF FF FD 00 01 09 00 03 74 00 FF FF FD 00"),
         fromHex("FF FF FD 00 01 0A 00 03 74 00 FF FF FD FD 00")},
        {"nothing to stuff", fromHex("FF FF FD 00 01 07 00 02 84 00 04 00"),
         fromHex("FF FF FD 00 01 07 00 02 84 00 04 00")},
        {"two marks in a row", fromHex("FF FF FD 00 01 0B 00 03 FF FF FD FF FF FD"),
         fromHex("FF FF FD 00 01 0D 00 03 FF FF FD FD FF FF FD FD")},
        {"a run of FF before FD", fromHex("FF FF FD 00 01 08 00 03 FF FF FF FD 00"),
         fromHex("FF FF FD 00 01 09 00 03 FF FF FF FD FD 00")},
    };
    for (const Case &c : cases) {
        QByteArray packet = c.plain;
        QvxProtocol2::addStuffing(packet);
        EXPECT_EQ(packet, c.stuffed) << c.name;
        // Removal works on the packet as received, with its two CRC bytes.
        QByteArray received = c.stuffed + fromHex("12 34");
        QvxProtocol2::removeStuffing(received);
        EXPECT_EQ(received, c.plain + fromHex("12 34")) << c.name;
    }
}

TEST(Protocol2Stuffing, RemovalLeavesTheCrcAlone)
{
    // Data ending in FF FF with a CRC of FD FD: nothing was stuffed there.
    const QByteArray received = fromHex("FF FF FD 00 01 07 00 55 00 FF FF FD FD");
    QByteArray packet = received;
    QvxProtocol2::removeStuffing(packet);
    EXPECT_EQ(packet, received);
}

namespace {

struct WireCase
{
    const char *name;
    std::function<int(QvxProtocol2 &)> run;
    QByteArray wire;
};

} // namespace

TEST(Protocol2Wire, EveryInstructionGoesOutByteExact)
{
    const uchar ffffFd00[] = {0xFF, 0xFF, 0xFD, 0x00};
    const uchar four[] = {0x01, 0x02, 0x03, 0x04};
    const QByteArray syncParam = fromHex("01 00 08 00 00 02 00 08 00 00");
    const QByteArray bulkParam = fromHex("01 74 00 04 00 00 08 00 00");
    const QList<QvxProtocol::BulkReadParam> ranges{{1, 132, 4}, {2, 132, 4}};
    uchar e = 0;
    ushort model = 0;
    uchar fw = 0;
    uchar data[4] = {};
    QByteArray dump;
    QList<QvxProtocol::BulkReadResult> results;

    const WireCase cases[] = {
        {"ping", [&](QvxProtocol2 &p) { return p.ping(1, &model, &fw, &e); },
         fromHex("FF FF FD 00 01 03 00 01 19 4E")},
        {"read 4 at 0x84", [&](QvxProtocol2 &p) { return p.readTxRx(1, 0x84, 4, data, &e); },
         fromHex("FF FF FD 00 01 07 00 02 84 00 04 00 1D 15")},
        {"reboot", [&](QvxProtocol2 &p) { return p.reboot(1); }, fromHex("FF FF FD 00 01 03 00 08 2F 4E")},
        {"write stuffed", [&](QvxProtocol2 &p) { return p.writeTxRx(1, 0x74, 4, ffffFd00, &e); },
         fromHex("FF FF FD 00 01 0A 00 03 74 00 FF FF FD FD 00 21 E7")},
        {"write 4 bytes (LEN 9)", [&](QvxProtocol2 &p) { return p.writeTxRx(1, 0x74, 4, four, &e); },
         sim::packet2(1, 0x03, fromHex("74 00 01 02 03 04"))},
        {"reg write", [&](QvxProtocol2 &p) { return p.regWriteTxRx(1, 0x74, 4, four); },
         sim::packet2(1, 0x04, fromHex("74 00 01 02 03 04"))},
        {"system write", [&](QvxProtocol2 &p) { return p.sysWriteTxRx(1, 0x74, 4, four, &e); },
         sim::packet2(1, 0x0D, fromHex("74 00 01 02 03 04"))},
        {"action", [&](QvxProtocol2 &p) { return p.action(1); }, sim::packet2(1, 0x05)},
        {"factory reset", [&](QvxProtocol2 &p) { return p.factoryReset(1); }, sim::packet2(1, 0x06, fromHex("02"))},
        {"clear 1", [&](QvxProtocol2 &p) { return p.clear(1, 1); }, sim::packet2(1, 0x10, fromHex("01 51 56 58 22"))},
        {"clear 2", [&](QvxProtocol2 &p) { return p.clear(1, 2); }, sim::packet2(1, 0x10, fromHex("02 45 52 43 4C"))},
        {"clear 3", [&](QvxProtocol2 &p) { return p.clear(1, 3); }, sim::packet2(1, 0x10, fromHex("03 00 00 00 00"))},
        {"multi-turn clear", [&](QvxProtocol2 &p) { return p.multiturnClear(1, 5); },
         sim::packet2(1, 0x10, fromHex("01 51 56 58 22 05"))},
        {"aux backup", [&](QvxProtocol2 &p) { return p.auxBackup(1); },
         sim::packet2(1, 0x20, fromHex("01 43 54 52 4C"))},
        {"aux restore", [&](QvxProtocol2 &p) { return p.auxRestore(1); },
         sim::packet2(1, 0x20, fromHex("02 43 54 52 4C"))},
        {"dump read", [&](QvxProtocol2 &p) { return p.dumpReadData(1, 0x0010, 100, 3, &dump); },
         sim::packet2(1, 0x02, fromHex("10 80 64 00 03"))},
        {"broadcast ping", [&](QvxProtocol2 &p) { return p.broadcastPing(20); },
         fromHex("FF FF FD 00 FE 03 00 01 31 42")},
        {"sync write (LEN 17)", [&](QvxProtocol2 &p) { return p.syncWrite(0x74, 4, syncParam); },
         sim::packet2(0xFE, 0x83, fromHex("74 00 04 00") + syncParam)},
        {"bulk write", [&](QvxProtocol2 &p) { return p.bulkWrite(bulkParam); }, sim::packet2(0xFE, 0x93, bulkParam)},
        {"bulk read", [&](QvxProtocol2 &p) { return p.bulkRead(ranges, &results); },
         sim::packet2(0xFE, 0x92, fromHex("01 84 00 04 00 02 84 00 04 00"))},
        {"fast bulk read (LEN 13)", [&](QvxProtocol2 &p) { return p.fastBulkRead(ranges, &results); },
         sim::packet2(0xFE, 0x9A, fromHex("01 84 00 04 00 02 84 00 04 00"))},
    };

    EngineOnBus<QvxProtocol2> b;
    ASSERT_TRUE(b.open());
    b.bus.addDevice(sim::Device::protocol2(1, 1020, 53));
    for (const WireCase &c : cases) {
        b.bus.clearReceived();
        b.items.clear();
        c.run(b.engine);
        ASSERT_TRUE(b.bus.waitForReceived(1, 2000)) << c.name;
        EXPECT_EQ(b.sent(0), c.wire) << c.name;
        // The sent item holds the packet exactly as written.
        ASSERT_FALSE(b.itemData(0).isEmpty()) << c.name;
        EXPECT_EQ(b.itemData(0).first(), c.wire) << c.name;
    }
}

TEST(Protocol2Wire, PacketsOfUpTo4096StuffedBytesGoOutLargerOnesAreRefused)
{
    struct Case
    {
        const char *name;
        int dataBytes;
        bool withMark; // the data holds one FF FF FD, stuffed to four bytes
        int expected;
    };
    // Header 4, ID, LEN 2, instruction, address 2: ten bytes before the data.
    const Case cases[] = {
        {"exactly 4096 bytes", 4086, false, COMM_OK},
        {"4097 bytes", 4087, false, COMM_TX_ERROR},
        {"4096 bytes after stuffing", 4085, true, COMM_OK},
        {"4097 bytes after stuffing", 4086, true, COMM_TX_ERROR},
    };
    EngineOnBus<QvxProtocol2> b;
    ASSERT_TRUE(b.open());
    b.bus.addDevice(sim::Device::protocol2(1, 1020, 53, 8192));
    for (const Case &c : cases) {
        b.bus.clearReceived();
        QByteArray data(c.dataBytes, '\x11');
        if (c.withMark)
            data.replace(100, 3, fromHex("FF FF FD"));
        uchar error = 0xAA;
        // From address 8 on, clear of the ID byte at 7.
        const int result = b.engine.writeTxRx(1, 8, static_cast<ushort>(data.size()),
                                              reinterpret_cast<const uchar *>(data.constData()), &error);
        EXPECT_EQ(result, c.expected) << c.name;
        if (c.expected == COMM_OK) {
            EXPECT_EQ(b.sent(0).size(), 4098) << c.name;
            EXPECT_EQ(b.bus.memory(1, 8, 3), data.left(3)) << c.name;
        } else {
            EXPECT_EQ(error, 0xAA) << c.name << ": error byte untouched";
            // Nothing went out: the next packet is the first the bus sees.
            uchar e = 0;
            b.engine.ping(1, nullptr, nullptr, &e);
            ASSERT_EQ(b.bus.received().size(), 1) << c.name;
            EXPECT_EQ(b.bus.received().first().name(), "PING") << c.name;
        }
    }
}

TEST(Protocol2Wire, ARefusedPacketIsLeftStuffedWithoutCrc)
{
    QvxProtocol2 engine; // no link needed: nothing may be written
    QByteArray packet = QvxProtocol2::instructionPacket(1, QvxProtocol2::Write, QByteArray(4089, '\0'));
    ASSERT_EQ(engine.txPacket(packet), COMM_TX_ERROR);
    EXPECT_EQ(packet.size(), 4097);
}
