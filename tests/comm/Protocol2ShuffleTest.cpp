// Protocol 2.0 shuffle ping and shuffle ID: devices that share an ID answer
// each with its scrambled identity.
#include "EngineOnBus.h"

#include "comm/QvxProtocol2.h"
#include "comm/ShuffleCode.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

using sim::fromHex;

namespace {

// One shufflePingStatus or shuffleIdStatus emission.
struct Status
{
    int id;
    int orgId;
    int modelNumber;
    int firmware;
    bool operator==(const Status &o) const
    {
        return id == o.id && orgId == o.orgId && modelNumber == o.modelNumber && firmware == o.firmware;
    }
};
void PrintTo(const Status &s, std::ostream *os)
{
    *os << "{" << s.id << ", " << s.orgId << ", model " << s.modelNumber << ", fw " << s.firmware << "}";
}

sim::Device servo(quint8 id, int idValue, quint16 model, quint8 firmware, quint8 seed)
{
    sim::Device dev = sim::Device::protocol2(id, model, firmware);
    dev.shuffleIdValue = idValue;
    dev.shuffleSeed = seed;
    return dev;
}

// Two new servos that arrived with the same ID 1, and one at ID 4.
struct Bus : EngineOnBus<QvxProtocol2>
{
    QList<Status> pinged;
    QList<Status> reassigned;

    Bus()
    {
        open();
        bus.addSharedDevice(servo(1, 31, 1020, 53, 0x00));
        bus.addSharedDevice(servo(1, 32, 1130, 41, 0xFF));
        bus.addSharedDevice(servo(4, 4, 3100, 12, 0x7E));
        QObject::connect(&engine, &QvxProtocol::shufflePingStatus, [this](uchar id, uchar org, ushort m, uchar fw) {
            pinged << Status{id, org, m, fw};
        });
        QObject::connect(&engine, &QvxProtocol::shuffleIdStatus, [this](uchar id, uchar org, ushort m, uchar fw) {
            reassigned << Status{id, org, m, fw};
        });
    }
};

// A status packet of ID 1 whose parameters a test chose.
QByteArray answer(const QByteArray &params, quint8 error = 0)
{
    return sim::status2(1, error, params);
}

} // namespace

TEST(Protocol2Shuffle, DescrambleUndoesTheDevicesScramblingForEverySeed)
{
    for (int seed = 0; seed < 256; ++seed) {
        const QByteArray scrambled = sim::scrambledIdentity(static_cast<quint8>(seed), 0xC9, 0x1234, 0xFE);
        uchar plain[4] = {};
        QvxProtocol2::descramble(static_cast<uchar>(seed), reinterpret_cast<const uchar *>(scrambled.constData()) + 1,
                                 plain, 4);
        EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(plain), 4), fromHex("C9 34 12 FE")) << seed;
        EXPECT_NE(scrambled.mid(1), fromHex("C9 34 12 FE")) << seed;
    }
}

TEST(Protocol2Shuffle, PingHearsEveryDeviceAndListensToTheEnd)
{
    Bus b;
    EXPECT_EQ(b.engine.shufflePing(600), COMM_RX_TIMEOUT);
    EXPECT_EQ(b.pinged, (QList<Status>{{1, 31, 1020, 53}, {1, 32, 1130, 41}, {4, 4, 3100, 12}}));
    EXPECT_TRUE(b.reassigned.isEmpty());
    QByteArray request = fromHex("FF FF FD 00 FE 07 00 C4");
    request += static_cast<char>(shuffle::kCodeLow);
    request += static_cast<char>(shuffle::kCodeHigh);
    request += static_cast<char>(shuffle::kQuery);
    request += '\x01';
    EXPECT_EQ(b.sent().left(12), request);
    EXPECT_TRUE(b.itemData(1).isEmpty()) << "answers make no items";
    EXPECT_TRUE(b.logs.isEmpty()) << b.logs.join('\n').toStdString();
    EXPECT_FALSE(b.engine.inTransaction);
}

TEST(Protocol2Shuffle, IdRoundTripWithTwoDevicesOnOneId)
{
    Bus b;
    const QByteArray data = fromHex("1F 20");
    EXPECT_EQ(b.engine.shuffleId(1, data, 5000, 2), COMM_OK);
    EXPECT_EQ(b.reassigned, (QList<Status>{{31, 1, 1020, 53}, {32, 1, 1130, 41}}));
    EXPECT_TRUE(b.pinged.isEmpty());
    const sim::Instruction sent = b.bus.received().last();
    EXPECT_EQ(sent.id, 1);
    EXPECT_EQ(sent.code, 0xC4);
    QByteArray params;
    params += static_cast<char>(shuffle::kCodeLow);
    params += static_cast<char>(shuffle::kCodeHigh);
    params += static_cast<char>(shuffle::kReassign);
    params += '\x00';
    EXPECT_EQ(sent.params, params + data);
    EXPECT_FALSE(b.engine.inTransaction);

    // Without data the request is LEN 7.
    EXPECT_EQ(b.engine.shuffleId(4, QByteArray(), 5000, 1), COMM_OK);
    EXPECT_EQ(b.sent().mid(4, 3), fromHex("04 07 00"));
    EXPECT_EQ(b.reassigned.last(), (Status{4, 4, 3100, 12}));
}

TEST(Protocol2Shuffle, IdWaitsOutTheTimeWhenTheCountIsNotReached)
{
    for (const int count : {0, -1, 3}) {
        Bus b;
        EXPECT_EQ(b.engine.shuffleId(1, fromHex("01"), 300, count), COMM_RX_TIMEOUT) << count;
        EXPECT_EQ(b.reassigned.size(), 2) << count;
        EXPECT_FALSE(b.engine.inTransaction);
    }
}

TEST(Protocol2Shuffle, ErrorAnswersAndOtherSizesAreNotCounted)
{
    // Each case answers the request with these packets, then one good answer.
    struct Case
    {
        const char *name;
        QByteArray before;
        QStringList idLogs;
    };
    const QByteArray good = answer(sim::scrambledIdentity(9, 21, 1020, 53));
    const Case cases[] = {
        {"an error answer", answer(sim::scrambledIdentity(9, 22, 1020, 53), 0x83),
         {"Shuffle ID Error : ID = 1 error = 3"}},
        {"an alert bit alone is no error", QByteArray(), {}},
        {"15 bytes", answer(fromHex("01 02 03 04")), {}},
        {"17 bytes", answer(fromHex("01 02 03 04 05 06")), {}},
        {"a plain ping answer", answer(fromHex("FC 03 35")), {}},
    };
    for (const Case &c : cases) {
        for (const bool ping : {true, false}) {
            Bus b;
            const QByteArray alert = answer(sim::scrambledIdentity(9, 23, 1020, 53), 0x80);
            const QByteArray first = c.before.isEmpty() ? alert : c.before;
            b.bus.setResponder([&](const sim::Instruction &in) -> std::optional<QByteArray> {
                if (in.code != 0xC4)
                    return std::nullopt;
                return first + good;
            });
            QList<Status> got;
            const int expectedResult = ping ? COMM_RX_TIMEOUT : COMM_OK;
            if (ping)
                EXPECT_EQ(b.engine.shufflePing(600), expectedResult) << c.name;
            else
                EXPECT_EQ(b.engine.shuffleId(1, {}, 5000, c.before.isEmpty() ? 2 : 1), expectedResult) << c.name;
            got = ping ? b.pinged : b.reassigned;
            QList<Status> expected;
            if (c.before.isEmpty())
                expected << (ping ? Status{1, 23, 1020, 53} : Status{23, 1, 1020, 53});
            expected << (ping ? Status{1, 21, 1020, 53} : Status{21, 1, 1020, 53});
            EXPECT_EQ(got, expected) << c.name << (ping ? " (ping)" : " (id)");
            EXPECT_EQ(b.logs, ping ? QStringList() : c.idLogs) << c.name;
        }
    }
}

TEST(Protocol2Shuffle, CorruptAnswerIsDroppedAndListeningGoesOn)
{
    Bus b;
    b.bus.removeDevice(4);
    sim::Faults corrupt;
    corrupt.corruptChecksum = true;
    b.bus.setFaults(1, corrupt); // the first of the two at ID 1
    EXPECT_EQ(b.engine.shuffleId(1, {}, 300, 2), COMM_RX_TIMEOUT);
    EXPECT_EQ(b.reassigned, (QList<Status>{{32, 1, 1130, 41}}));
    ASSERT_FALSE(b.logs.isEmpty());
    EXPECT_EQ(b.logs.first(), "COMM_RX_CORRUPT: crc error");
}
