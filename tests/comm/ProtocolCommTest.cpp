// The packet-engine transport over the serial transport: the engine switch,
// item transfers, completion signals with the temporary protocol switch, the
// relayed engine signals, settings, the dump and error-history reads, the
// hand-preset blocks and the motion check.
#include "PortOnBus.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>

using sim::fromHex;

namespace {

constexpr quint8 kBoard = 200;

struct Completion
{
    QString signal;
    QString versionAtEmit;
    int result;
    int id;
    int address;
    quint32 data;
    int error;
};

// Every completion signal of the nine transfers, with the protocol text that
// was current while it was emitted.
struct CompletionLog
{
    QList<Completion> seen;
    explicit CompletionLog(QvxPort &port)
    {
        add(port, &QvxComm::read1ByteCompleted, "read1ByteCompleted");
        add(port, &QvxComm::read2ByteCompleted, "read2ByteCompleted");
        add(port, &QvxComm::read4ByteCompleted, "read4ByteCompleted");
        add(port, &QvxComm::write1ByteCompleted, "write1ByteCompleted");
        add(port, &QvxComm::write2ByteCompleted, "write2ByteCompleted");
        add(port, &QvxComm::write4ByteCompleted, "write4ByteCompleted");
        add(port, &QvxComm::sysWrite1ByteCompleted, "sysWrite1ByteCompleted");
        add(port, &QvxComm::sysWrite2ByteCompleted, "sysWrite2ByteCompleted");
        add(port, &QvxComm::sysWrite4ByteCompleted, "sysWrite4ByteCompleted");
    }
    template <class T>
    void add(QvxPort &port, void (QvxComm::*signal)(int, uchar, ushort, T, uchar), const char *name)
    {
        QObject::connect(&port, signal, [this, &port, name](int r, uchar id, ushort address, T data, uchar e) {
            seen << Completion{QString::fromLatin1(name), port.version(), r, id, address, quint32(data), e};
        });
    }
};

// (result, id, error) of every emission of a three-argument completion signal.
QList<QList<int>> emissions(QvxPort &port, void (QvxComm::*signal)(int, uchar, uchar), const std::function<int()> &run,
                            int *result)
{
    QList<QList<int>> out;
    const auto c = QObject::connect(&port, signal, [&](int r, uchar id, uchar e) { out << QList<int>{r, id, e}; });
    *result = run();
    QObject::disconnect(c);
    return out;
}

} // namespace

TEST(ProtocolComm, ProtocolTextSelectsTheEngine)
{
    struct Case
    {
        QString text;
        QString version; // what version() answers afterwards
        bool protocol1;  // the current engine afterwards
    };
    const Case cases[] = {
        {"1.0", "1.0", true},
        {"2.0", "2.0", false},
        {"MODBUS", "MODBUS", false},
        {"", "", false},
        {"2.0 ", "2.0 ", false},
    };
    for (const Case &c : cases) {
        QvxPort port(false);
        EXPECT_EQ(port.version(), QStringLiteral("2.0"));
        EXPECT_EQ(port.qvx_protocol, port.qvx_protocol2);
        port.setProtocolVersion(c.text);
        EXPECT_EQ(port.version(), c.version) << qPrintable(c.text);
        EXPECT_EQ(port.qvx_protocol, c.protocol1 ? static_cast<QvxProtocol *>(port.qvx_protocol1)
                                                : static_cast<QvxProtocol *>(port.qvx_protocol2))
            << qPrintable(c.text);
    }
}

TEST(ProtocolComm, TransferForAnotherProtocolSwitchesForThatCallOnly)
{
    struct Case
    {
        const char *signal;
        std::function<int(QvxPort &)> call;
        quint8 code;
        quint32 data;            // carried by the signal
        int address;             // where a write lands
        QByteArray written;      // the bytes there afterwards (writes)
    };
    const Case cases[] = {
        {"write1ByteCompleted", [](QvxPort &p) { return p.write1ByteTxRx(1, 20, 0x5A, "1.0"); }, 0x03, 0x5A, 20,
         fromHex("5A")},
        {"write2ByteCompleted", [](QvxPort &p) { return p.write2ByteTxRx(1, 20, 0x1234, "1.0"); }, 0x03, 0x1234,
         20, fromHex("34 12")},
        {"write4ByteCompleted", [](QvxPort &p) { return p.write4ByteTxRx(1, 20, 0xA1B2C3D4u, "1.0"); }, 0x03,
         0xA1B2C3D4u, 20, fromHex("D4 C3 B2 A1")},
        {"sysWrite1ByteCompleted", [](QvxPort &p) { return p.sysWrite1ByteTxRx(1, 24, 0x11, "1.0"); }, 0x0D, 0x11,
         24, fromHex("11")},
        {"sysWrite2ByteCompleted", [](QvxPort &p) { return p.sysWrite2ByteTxRx(1, 24, 0x2211, "1.0"); }, 0x0D,
         0x2211, 24, fromHex("11 22")},
        {"sysWrite4ByteCompleted", [](QvxPort &p) { return p.sysWrite4ByteTxRx(1, 24, 0x44332211u, "1.0"); }, 0x0D,
         0x44332211u, 24, fromHex("11 22 33 44")},
        // The protocol 1.0 servo: model 12 at 0, firmware 7 at 2, ID 1 at 3.
        {"read1ByteCompleted", [](QvxPort &p) { return p.read1ByteTxRx(1, 0, "1.0"); }, 0x02, 12, -1, {}},
        {"read2ByteCompleted", [](QvxPort &p) { return p.read2ByteTxRx(1, 2, "1.0"); }, 0x02, 0x0107, -1, {}},
        {"read4ByteCompleted", [](QvxPort &p) { return p.read4ByteTxRx(1, 0, "1.0"); }, 0x02, 0x0107000C, -1, {}},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        b.bus.addDevice(sim::Device::protocol1(1, 12, 7));
        ASSERT_TRUE(b.open()) << c.signal;
        CompletionLog log(*b.port);
        EXPECT_EQ(c.call(*b.port), COMM_OK) << c.signal;
        ASSERT_EQ(log.seen.size(), 1) << c.signal;
        EXPECT_EQ(log.seen[0].signal, QString::fromLatin1(c.signal));
        EXPECT_EQ(log.seen[0].versionAtEmit, QStringLiteral("1.0")) << c.signal;
        EXPECT_EQ(log.seen[0].result, COMM_OK) << c.signal;
        EXPECT_EQ(log.seen[0].data, c.data) << c.signal;
        EXPECT_EQ(log.seen[0].error, 0) << c.signal;
        EXPECT_EQ(b.port->version(), QStringLiteral("2.0")) << c.signal;
        EXPECT_EQ(b.port->qvx_protocol, b.port->qvx_protocol2) << c.signal;
        const QList<sim::Instruction> got = b.bus.received();
        ASSERT_EQ(got.size(), 1) << c.signal;
        EXPECT_EQ(got[0].protocol, sim::Protocol::V1) << c.signal;
        EXPECT_EQ(got[0].code, c.code) << c.signal;
        if (c.address >= 0) {
            EXPECT_EQ(b.bus.memory(1, c.address, int(c.written.size()), sim::Protocol::V1), c.written) << c.signal;
        }
    }
}

TEST(ProtocolComm, FailedTransfersSignalTheirResultWithValueZero)
{
    PortOnBus b;
    b.addServo(1);
    b.fault(1, [](sim::Faults &f) { f.silent = true; });
    ASSERT_TRUE(b.open());
    CompletionLog log(*b.port);
    EXPECT_EQ(b.port->read4ByteTxRx(1, 132), COMM_RX_TIMEOUT);
    EXPECT_EQ(b.port->write2ByteTxRx(1, 64, 0x0101), COMM_RX_TIMEOUT);
    ASSERT_EQ(log.seen.size(), 2);
    EXPECT_EQ(log.seen[0].signal, QStringLiteral("read4ByteCompleted"));
    EXPECT_EQ(QList<int>({log.seen[0].result, log.seen[0].id, log.seen[0].address, int(log.seen[0].data),
                          log.seen[0].error}),
              QList<int>({COMM_RX_TIMEOUT, 1, 132, 0, 0}));
    EXPECT_EQ(log.seen[1].data, 0x0101u); // a write reports the data it sent

    // The protocol 1.0 engine lacks sync writes: -1, nothing sent.
    EXPECT_EQ(b.port->syncWrite(64, 1, fromHex("01 01"), QStringLiteral("1.0")), COMM_UNSUPPORTED);
    EXPECT_EQ(b.bus.receivedCount(0x83), 0);
    EXPECT_EQ(b.port->syncWrite(64, 1, fromHex("01 01")), COMM_OK);
    EXPECT_TRUE(b.bus.waitForReceived(3, 2000));
    EXPECT_EQ(b.bus.receivedCount(0x83), 1);
}

TEST(ProtocolComm, ARefusedReadDeliversNoValue)
{
    // The device refuses every read with Data Range Error and sends no data.
    PortOnBus b;
    b.addServo(1);
    b.fault(1, [](sim::Faults &f) {
        f.error = 0x04;
        f.omitData = true;
    });
    ASSERT_TRUE(b.open());
    for (const short width : {1, 2, 4}) {
        int value = 777;
        uchar error = 0;
        EXPECT_EQ(b.port->readValue(1, 132, width, &value, &error), COMM_OK) << width;
        EXPECT_EQ(error, 0x04) << width;
        EXPECT_EQ(value, 777) << width;
    }
    CompletionLog log(*b.port);
    EXPECT_EQ(b.port->read4ByteTxRx(1, 132), COMM_OK);
    ASSERT_EQ(log.seen.size(), 1);
    EXPECT_EQ(log.seen[0].error, 0x04);
    EXPECT_EQ(log.seen[0].data, 0u);
}

TEST(ProtocolComm, ItemReadsAndWritesKeepTheirWidth)
{
    struct Case
    {
        const char *name;
        QByteArray memory; // at address 140
        int width;
        bool silent;
        int result;
        int value; // afterwards; 777 = untouched
    };
    const Case cases[] = {
        {"1 byte zero-extended", fromHex("FF 00 00 00"), 1, false, COMM_OK, 255},
        {"2 bytes low first", fromHex("34 12 00 00"), 2, false, COMM_OK, 0x1234},
        {"2 bytes zero-extended", fromHex("FF FF 00 00"), 2, false, COMM_OK, 65535},
        {"4 bytes keep their bit pattern", fromHex("FF FF FF FF"), 4, false, COMM_OK, -1},
        {"failed read leaves the value", fromHex("34 12 00 00"), 2, true, COMM_RX_TIMEOUT, 777},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        b.addServo(1);
        b.bus.setMemory(1, 140, c.memory);
        if (c.silent)
            b.fault(1, [](sim::Faults &f) { f.silent = true; });
        ASSERT_TRUE(b.open()) << c.name;
        int value = 777;
        uchar error = 0xAA;
        EXPECT_EQ(b.port->readValue(1, 140, short(c.width), &value, &error), c.result) << c.name;
        EXPECT_EQ(value, c.value) << c.name;
    }

    struct Write
    {
        const char *name;
        std::function<int(QvxPort &, uchar *)> call;
        QByteArray written; // at address 140
        quint8 code;
    };
    const Write writes[] = {
        {"write1Byte takes the low byte", [](QvxPort &p, uchar *e) { return p.write1Byte(1, 140, 0x1FF, e); },
         fromHex("FF 00 00 00"), 0x03},
        {"write2Byte takes the low 16 bits", [](QvxPort &p, uchar *e) { return p.write2Byte(1, 140, 0x12345, e); },
         fromHex("45 23 00 00"), 0x03},
        {"write4Byte of a negative value", [](QvxPort &p, uchar *e) { return p.write4Byte(1, 140, -2, e); },
         fromHex("FE FF FF FF"), 0x03},
        {"sysWriteValue of 2 bytes", [](QvxPort &p, uchar *e) { return p.sysWriteValue(1, 140, 2, 0x0A0B, e); },
         fromHex("0B 0A 00 00"), 0x0D},
        {"sysWrite4Byte", [](QvxPort &p, uchar *e) { return p.sysWrite4Byte(1, 140, 0x01020304u, e); },
         fromHex("04 03 02 01"), 0x0D},
    };
    for (const Write &w : writes) {
        PortOnBus b;
        b.addServo(1);
        ASSERT_TRUE(b.open()) << w.name;
        uchar error = 0xAA;
        EXPECT_EQ(w.call(*b.port, &error), COMM_OK) << w.name;
        EXPECT_EQ(error, 0) << w.name;
        EXPECT_EQ(b.bus.memory(1, 140, 4), w.written) << w.name;
        EXPECT_EQ(b.bus.received().last().code, w.code) << w.name;
    }
}

TEST(ProtocolComm, SizesOtherThanOneTwoFourAreRefusedWithoutTraffic)
{
    PortOnBus b;
    b.addServo(1);
    ASSERT_TRUE(b.open());
    for (const short size : {short(0), short(3), short(-1), short(8)}) {
        uchar error = 0xAA;
        int value = 777;
        EXPECT_EQ(b.port->sysWriteValue(1, 10, size, 5, &error), COMM_UNSUPPORTED) << size;
        EXPECT_EQ(b.port->readValue(1, 10, size, &value, &error), COMM_UNSUPPORTED) << size;
        EXPECT_EQ(value, 777) << size;
    }
    EXPECT_TRUE(b.bus.received().isEmpty());
}

TEST(ProtocolComm, EngineSignalsReachTheTransport)
{
    PortOnBus b;
    b.addServo(1);
    b.addServo(4);
    b.bus.addDevice(sim::Device::protocol1(2, 12, 7));
    ASSERT_TRUE(b.open());
    int result = 0;
    EXPECT_EQ(emissions(*b.port, &QvxComm::clearCompleted, [&] { return b.port->clear(1, 1); }, &result),
              (QList<QList<int>>{{COMM_OK, 1, 0}}));
    EXPECT_EQ(emissions(*b.port, &QvxComm::multiturnClearCompleted, [&] { return b.port->multiturnClear(1, 0); },
                        &result),
              (QList<QList<int>>{{COMM_OK, 1, 0}}));
    EXPECT_EQ(emissions(*b.port, &QvxComm::auxBackupCompleted, [&] { return b.port->auxBackup(1); }, &result),
              (QList<QList<int>>{{COMM_OK, 1, 0}}));
    EXPECT_EQ(emissions(*b.port, &QvxComm::rebootCompleted, [&] { return b.port->reboot(4); }, &result),
              (QList<QList<int>>{{COMM_OK, 4, 0}}));
    QList<int> found;
    QObject::connect(b.port.get(), &QvxComm::qvxFound, [&](uchar id, ushort, uchar) { found << id; });
    EXPECT_EQ(b.port->broadcastPing(200), COMM_RX_TIMEOUT);
    EXPECT_EQ(found, (QList<int>{1, 4}));
    QList<int> shuffled;
    QObject::connect(b.port.get(), &QvxComm::shufflePingStatus,
                     [&](uchar id, uchar, ushort, uchar) { shuffled << id; });
    QObject::connect(b.port.get(), &QvxComm::shuffleIdStatus, [&](uchar, uchar org, ushort, uchar) { shuffled << org; });
    EXPECT_EQ(b.port->shufflePing(200), COMM_RX_TIMEOUT);
    EXPECT_EQ(b.port->shuffleId(4, QByteArray(), 5000, 1), COMM_OK);
    EXPECT_EQ(shuffled, (QList<int>{1, 4, 4}));

    // On protocol 1.0 the reset still reports through the relay; clear is not
    // there: -1, nothing sent, no signal.
    b.port->setProtocolVersion(QStringLiteral("1.0"));
    EXPECT_EQ(emissions(*b.port, &QvxComm::resetCompleted, [&] { return b.port->reset(2); }, &result),
              (QList<QList<int>>{{COMM_OK, 2, 0}}));
    const int before = b.bus.received().size();
    EXPECT_TRUE(emissions(*b.port, &QvxComm::clearCompleted, [&] { return b.port->clear(2, 1); }, &result).isEmpty());
    EXPECT_EQ(result, COMM_UNSUPPORTED);
    EXPECT_EQ(b.bus.received().size(), before);
}

TEST(ProtocolComm, TimeoutAndTokenReachBothEngines)
{
    QvxPort port(false);
    port.setTimeout(250);
    EXPECT_EQ(port.extraLatency, 250);
    EXPECT_EQ(port.qvx_protocol1->extraLatency, 250);
    EXPECT_EQ(port.qvx_protocol2->extraLatency, 250);

    CancellationToken token;
    port.setCancellationToken(&token);
    EXPECT_EQ(port.token, &token);
    EXPECT_EQ(port.qvx_protocol1->token, &token);
    EXPECT_EQ(port.qvx_protocol2->token, &token);
    port.clearCancellationToken();
    EXPECT_EQ(port.token, nullptr);
    EXPECT_EQ(port.qvx_protocol1->token, nullptr);
    EXPECT_EQ(port.qvx_protocol2->token, nullptr);
}

TEST(ProtocolComm, LentTokenCancelsAWait)
{
    PortOnBus b;
    b.addServo(1);
    b.fault(1, [](sim::Faults &f) { f.silent = true; });
    ASSERT_TRUE(b.open());
    b.port->setTimeout(5000);
    CancellationToken token;
    token.state = 1;
    b.port->setCancellationToken(&token);
    int value = 0;
    uchar error = 0;
    EXPECT_EQ(b.port->read1Byte(1, 0, &value, &error), COMM_CANCELLED);
    b.port->clearCancellationToken();
    b.port->setTimeout(0);
    EXPECT_EQ(b.port->read1Byte(1, 0, &value, &error), COMM_RX_TIMEOUT);
}

TEST(TransportState, SettingsByKey)
{
    struct Case
    {
        int key;
        QVariant stored;
        QVariant read; // what connectionSetting gives back afterwards
    };
    const Case cases[] = {
        {0, QStringLiteral("COM7"), QStringLiteral("COM7")},
        {1, 115200, 115200},
        {2, 7, 7},
        {3, 2, 2},
        {4, 2, 2},
        {5, 1, 1},
        {6, 70000, 70000 & 0xFFFF}, // a 16-bit TCP port
        {7, QStringLiteral("10.0.0.9"), QStringLiteral("10.0.0.9")},
        {8, 5, 0},
        {-1, 5, 0},
    };
    for (const Case &c : cases) {
        QvxPort port(false);
        EXPECT_TRUE(port.setConnectionSetting(c.key, c.stored)) << c.key;
        EXPECT_EQ(port.connectionSetting(c.key).toString(), c.read.toString()) << c.key;
    }
    QvxPort port(false);
    EXPECT_EQ(port.connectionSetting(2).toInt(), 8);
    EXPECT_EQ(port.connectionSetting(4).toInt(), 1);
    EXPECT_EQ(port.connectionType, 0);
    EXPECT_FALSE(port.isModbusConnection());
}

TEST(TransportState, ApplyingASettingReachesTheSerialPort)
{
    PortOnBus b;
    // A pseudo-terminal keeps 8 data bits without parity, so those two are
    // applied to the closed port, which takes them along to its next open.
    EXPECT_TRUE(b.port->applySetting(QvxComm::KeyDataBits, 7));
    EXPECT_EQ(b.port->serial_port->dataBits(), QSerialPort::Data7);
    EXPECT_TRUE(b.port->applySetting(QvxComm::KeyParity, QSerialPort::EvenParity));
    EXPECT_EQ(b.port->serial_port->parity(), QSerialPort::EvenParity);
    EXPECT_EQ(b.port->dataBits, 7);
    EXPECT_TRUE(b.port->applySetting(QvxComm::KeyDataBits, 8));
    EXPECT_TRUE(b.port->applySetting(QvxComm::KeyParity, QSerialPort::NoParity));
    ASSERT_TRUE(b.open());
    EXPECT_TRUE(b.port->applySetting(QvxComm::KeyStopBits, QSerialPort::TwoStop));
    EXPECT_EQ(b.port->serial_port->stopBits(), QSerialPort::TwoStop);
    EXPECT_TRUE(b.port->applySetting(QvxComm::KeyFlowControl, QSerialPort::SoftwareControl));
    EXPECT_EQ(b.port->serial_port->flowControl(), QSerialPort::SoftwareControl);
    EXPECT_TRUE(b.port->applySetting(QvxComm::KeyBaudRate, 115200));
    EXPECT_EQ(b.port->serial_port->baudRate(), 115200);
    EXPECT_EQ(b.port->baudRate, 115200);
    for (const int key : {0, 6, 7, 9})
        EXPECT_FALSE(b.port->applySetting(key, 1)) << key;
}

TEST(TransportState, StateChangesAreReportedOnce)
{
    PortOnBus b;
    b.port->setState(QvxComm::Disconnected);
    b.port->setState(QvxComm::Connected);
    b.port->setState(QvxComm::Connected);
    b.port->setState(QvxComm::Disconnected);
    EXPECT_EQ(b.events, (QStringList{"stateChanged 1", "stateChanged 0"}));
}

TEST(TransportDump, RegionsAreReadInChunksOfAHundred)
{
    struct Case
    {
        const char *name;
        int size;
        QvxComm::DumpType type;
        QStringList chunks; // "type:offset+length" in order
    };
    QvxComm::DumpType region2;
    region2.region2 = true;
    QvxComm::DumpType regions0and4;
    regions0and4.region0 = true;
    regions0and4.region4 = true;
    const Case cases[] = {
        {"250 bytes", 250, region2, {"2:0+100", "2:100+100", "2:200+50"}},
        {"200 bytes end with an empty chunk", 200, region2, {"2:0+100", "2:100+100", "2:200+0"}},
        {"nothing to dump", 0, region2, {"2:0+0"}},
        {"no region asked for", 250, QvxComm::DumpType{}, {}},
        {"two regions in order", 120, regions0and4, {"0:0+100", "0:100+20", "4:0+100", "4:100+20"}},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        b.bus.addDevice(sim::Device::protocol2(kBoard, 400, 1));
        b.bus.setMemory(kBoard, 8, QByteArray(1, char(c.size & 0xFF)) + QByteArray(1, char(c.size >> 8)));
        // The board answers a READ with bit 15 of the address set from its dump.
        b.bus.setResponder([](const sim::Instruction &in) -> std::optional<QByteArray> {
            if (in.code != 0x02 || in.params.size() != 5 || !(in.params[1] & 0x80))
                return std::nullopt;
            const int length = quint8(in.params[2]) | (quint8(in.params[3]) << 8);
            return sim::status2(in.id, 0x40, QByteArray(length, char(in.params[4])));
        });
        ASSERT_TRUE(b.open()) << c.name;
        QStringList chunks; // as signalled: "type:length"
        QList<int> completed;
        QObject::connect(b.port.get(), &QvxComm::dumpReadDataCompleted,
                         [&](int r, uchar e, int type, const QByteArray &data) {
                             EXPECT_TRUE(b.port->busy);
                             EXPECT_EQ(r, COMM_OK);
                             EXPECT_EQ(e, 0); // whatever the reply's error byte
                             // The data is the whole reply: 11 bytes around the chunk.
                             chunks << QStringLiteral("%1:%2").arg(type).arg(data.size() - 11);
                         });
        QObject::connect(b.port.get(), &QvxComm::dumpReadCompleted, [&](int size) { completed << size; });
        b.port->dumpRead(c.type);
        EXPECT_FALSE(b.port->busy) << c.name;
        EXPECT_EQ(completed, QList<int>{c.size}) << c.name;
        // What went to the board: the size read, then one READ per chunk.
        QStringList asked;
        const QList<sim::Instruction> got = b.bus.received();
        ASSERT_FALSE(got.isEmpty()) << c.name;
        EXPECT_EQ(got[0].params, fromHex("08 00 02 00")) << c.name;
        for (qsizetype i = 1; i < got.size(); ++i) {
            const QByteArray &p = got[i].params;
            EXPECT_EQ(got[i].id, kBoard) << c.name;
            asked << QStringLiteral("%1:%2+%3")
                         .arg(quint8(p[4]))
                         .arg(quint8(p[0]) | ((quint8(p[1]) & 0x7F) << 8))
                         .arg(quint8(p[2]) | (quint8(p[3]) << 8));
        }
        EXPECT_EQ(asked, c.chunks) << c.name;
        QStringList expectedSignals;
        for (const QString &chunk : c.chunks)
            expectedSignals << chunk.section(':', 0, 0) + ':' + chunk.section('+', 1);
        EXPECT_EQ(chunks, expectedSignals) << c.name;
    }
}

TEST(TransportDump, FailureEndsWithoutCompletion)
{
    struct Case
    {
        const char *name;
        bool boardPresent;
        int failingChunk; // index of the chunk READ the board leaves unanswered; -1 none
        bool sizeRefused; // the board refuses the read of the size with an error number
        int chunkSignals;
    };
    const Case cases[] = {
        {"size unreadable", false, -1, false, 0},
        {"size refused", true, -1, true, 0},
        {"second chunk unanswered", true, 1, false, 2},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        if (c.boardPresent) {
            b.bus.addDevice(sim::Device::protocol2(kBoard, 400, 1));
            b.bus.setMemory(kBoard, 8, fromHex("FA 00")); // 250
        }
        auto chunk = std::make_shared<int>(0);
        const int failing = c.failingChunk;
        const bool sizeRefused = c.sizeRefused;
        b.bus.setResponder([chunk, failing, sizeRefused](const sim::Instruction &in) -> std::optional<QByteArray> {
            if (in.code == 0x02 && in.params.size() == 4 && sizeRefused)
                return sim::status2(in.id, 0x04);
            if (in.code != 0x02 || in.params.size() != 5)
                return std::nullopt;
            if ((*chunk)++ == failing)
                return QByteArray();
            const int length = quint8(in.params[2]) | (quint8(in.params[3]) << 8);
            return sim::status2(in.id, 0, QByteArray(length, '\0'));
        });
        ASSERT_TRUE(b.open()) << c.name;
        int chunkSignals = 0;
        int completions = 0;
        QObject::connect(b.port.get(), &QvxComm::dumpReadDataCompleted, [&] { ++chunkSignals; });
        QObject::connect(b.port.get(), &QvxComm::dumpReadCompleted, [&] { ++completions; });
        QvxComm::DumpType type;
        type.region1 = true;
        b.port->dumpRead(type);
        EXPECT_EQ(completions, 0) << c.name;
        EXPECT_EQ(chunkSignals, c.chunkSignals) << c.name; // the failed chunk reports too
        EXPECT_FALSE(b.port->busy) << c.name;
    }
}

TEST(TransportDump, ErrorHistorySkipsOnlyUnreadableEntries)
{
    constexpr ushort kCount = 150, kIndex = 151, kData = 152;
    struct Case
    {
        const char *name;
        int count;
        QList<int> silentEntries;  // their data read goes unanswered
        QList<int> refusedEntries; // their data read is refused with an error number and no data
        bool countRefused;         // so is the read of the count
        bool indexWriteFails;      // the device ignores the selection of entry 2
        bool completed;
        QStringList entries;
    };
    const Case cases[] = {
        {"no entries", 0, {}, {}, false, false, true, {}},
        {"three entries, the second unreadable", 3, {2}, {}, false, false, true, {"1001", "1003"}},
        {"all readable", 2, {}, {}, false, false, true, {"1001", "1002"}},
        {"selection fails", 3, {}, {}, false, true, false, {}},
        {"three entries, the first and third refused", 3, {}, {1, 3}, false, false, true, {"1002"}},
        {"the count refused", 3, {}, {}, true, false, false, {}},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        b.addServo(1);
        b.bus.setMemory(1, kCount, QByteArray(1, char(c.count)));
        auto selected = std::make_shared<int>(0);
        const QList<int> silent = c.silentEntries;
        const QList<int> refused = c.refusedEntries;
        const bool countRefused = c.countRefused;
        const bool indexFails = c.indexWriteFails;
        b.bus.setResponder([=](const sim::Instruction &in) -> std::optional<QByteArray> {
            if (in.params.size() < 2)
                return std::nullopt;
            const int address = quint8(in.params[0]) | (quint8(in.params[1]) << 8);
            if (in.code == 0x0D && address == kIndex) {
                *selected = quint8(in.params[2]);
                if (indexFails && *selected == 2)
                    return QByteArray();
                return std::nullopt; // the device takes the write
            }
            if (in.code == 0x02 && address == kCount && countRefused)
                return sim::status2(in.id, 0x07); // Data Length Error, no data
            if (in.code == 0x02 && address == kData) {
                if (silent.contains(*selected))
                    return QByteArray();
                if (refused.contains(*selected))
                    return sim::status2(in.id, 0x04);
                const int value = 1000 + *selected;
                return sim::status2(in.id, 0, QByteArray(1, char(value & 0xFF)) + QByteArray(1, char(value >> 8)));
            }
            return std::nullopt;
        });
        ASSERT_TRUE(b.open()) << c.name;
        QList<QStringList> lists;
        QObject::connect(b.port.get(), &QvxComm::getErrorHistoryCompleted, [&](int r, const QStringList &l) {
            EXPECT_EQ(r, COMM_OK);
            EXPECT_TRUE(b.port->busy); // cleared only after the signal
            lists << l;
        });
        b.port->getErrorHistory(1, kCount, kIndex, kData);
        EXPECT_FALSE(b.port->busy) << c.name;
        if (c.completed) {
            EXPECT_EQ(lists, QList<QStringList>{c.entries}) << c.name;
        } else {
            EXPECT_TRUE(lists.isEmpty()) << c.name;
        }
    }
}

TEST(HandPreset, WrittenBlockHasTheLayoutOfItsSlotCount)
{
    const auto block = [](const char *head) {
        QByteArray b = fromHex(head);
        return b + QByteArray(88 - b.size(), '\0');
    };
    QByteArray twenty; // 20 + 20 slots of 1..40, then the trailer 5 6 7 8
    for (int v = 1; v <= 40; ++v)
        twenty += QByteArray(1, char(v)) + QByteArray(1, '\0');
    twenty += fromHex("05 00 06 00 07 00 08 00");
    QByteArray twentyFive; // 25 first values (50 bytes), then 19 of the second cut at 88
    for (int v = 1; v <= 44; ++v)
        twentyFive += QByteArray(1, char(v)) + QByteArray(1, '\0');

    struct Case
    {
        const char *name;
        QList<qint16> first;
        QList<qint16> second;
        std::array<qint16, 4> trailer;
        int slotCount;
        QByteArray written;
    };
    QList<qint16> oneToTwenty, twentyOneToForty, oneToTwentyFive, twentySixToFifty;
    for (qint16 v = 1; v <= 20; ++v) {
        oneToTwenty << v;
        twentyOneToForty << qint16(v + 20);
    }
    for (qint16 v = 1; v <= 25; ++v) {
        oneToTwentyFive << v;
        twentySixToFifty << qint16(v + 25);
    }
    const Case cases[] = {
        {"two slots, second list short", {1, -1}, {}, {5, 0, 0, 0}, 2, block("01 00 FF FF 00 00 00 00 05 00")},
        {"twenty slots fill the block", oneToTwenty, twentyOneToForty, {5, 6, 7, 8}, 20, twenty},
        {"no slots: the trailer leads", {1, 2}, {3}, {-2, 0, 0, 9}, 0, block("FE FF 00 00 00 00 09 00")},
        {"a negative count counts as none", {1}, {1}, {1, 0, 0, 0}, -4, block("01 00")},
        {"values beyond the count are not sent", {1, 2, 3}, {4, 5, 6}, {}, 1, block("01 00 04 00")},
        {"more than twenty slots are cut at 88 bytes", oneToTwentyFive, twentySixToFifty, {9, 9, 9, 9}, 25,
         twentyFive},
        {"a huge count costs nothing", {7}, {}, {}, 0x7FFFFFFF, block("07 00")},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        b.addServo(1);
        ASSERT_TRUE(b.open()) << c.name;
        qvx::HandPresetData data;
        data.firstValues = c.first;
        data.secondValues = c.second;
        data.trailer = c.trailer;
        QList<QList<int>> signalled;
        QObject::connect(b.port.get(), &QvxComm::writeHandPresetDataCompleted,
                         [&](int r, uchar id, ushort address, uchar e) { signalled << QList<int>{r, id, address, e}; });
        EXPECT_EQ(b.port->writeHandPresetData(1, 100, data, c.slotCount), COMM_OK) << c.name;
        EXPECT_EQ(b.bus.memory(1, 100, 88), c.written) << c.name;
        EXPECT_EQ(b.bus.received().last().params.size(), 2 + 88) << c.name;
        EXPECT_EQ(signalled, (QList<QList<int>>{{COMM_OK, 1, 100, 0}})) << c.name;
    }
}

TEST(HandPreset, ReadBlockIsSplitBySlotCount)
{
    QByteArray stored;
    for (int v = 1; v <= 44; ++v) // 44 signed words: 1, -2, 3, -4, ...
        stored += QByteArray(1, char(v % 2 ? v : -v)) + QByteArray(1, char(v % 2 ? 0 : 0xFF));
    struct Case
    {
        const char *name;
        int slotCount;
        bool silent;
        int result;
        bool signalled;
        QList<qint16> first, second;
        std::array<qint16, 4> trailer;
    };
    const Case cases[] = {
        {"three slots", 3, false, COMM_OK, true, {1, -2, 3}, {-4, 5, -6}, {7, -8, 9, -10}},
        {"no slots", 0, false, COMM_OK, true, {}, {}, {1, -2, 3, -4}},
        {"negative count as none", -2, false, COMM_OK, true, {}, {}, {1, -2, 3, -4}},
        {"twenty slots", 20, false, COMM_OK, true, {}, {}, {41, -42, 43, -44}},
        {"failed read gives zeros", 3, true, COMM_RX_TIMEOUT, true, {0, 0, 0}, {0, 0, 0}, {0, 0, 0, 0}},
        {"more than twenty slots refused", 21, false, COMM_UNSUPPORTED, false, {}, {}, {}},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        b.addServo(1);
        b.bus.setMemory(1, 100, stored);
        if (c.silent)
            b.fault(1, [](sim::Faults &f) { f.silent = true; });
        ASSERT_TRUE(b.open()) << c.name;
        QList<qvx::HandPresetData> got;
        QList<int> results;
        QObject::connect(b.port.get(), &QvxComm::readHandPresetDataCompleted,
                         [&](int r, uchar, ushort, const qvx::HandPresetData &d, uchar) {
                             results << r;
                             got << d;
                         });
        EXPECT_EQ(b.port->readHandPresetData(1, 100, c.slotCount), c.result) << c.name;
        if (!c.signalled) {
            EXPECT_TRUE(got.isEmpty()) << c.name;
            EXPECT_TRUE(b.bus.received().isEmpty()) << c.name;
            continue;
        }
        ASSERT_EQ(got.size(), 1) << c.name;
        EXPECT_EQ(results[0], c.result) << c.name;
        if (c.slotCount != 20) {
            EXPECT_EQ(got[0].firstValues, c.first) << c.name;
            EXPECT_EQ(got[0].secondValues, c.second) << c.name;
        } else {
            EXPECT_EQ(got[0].firstValues.size(), 20) << c.name;
            EXPECT_EQ(got[0].secondValues.last(), qint16(-40)) << c.name;
        }
        EXPECT_EQ(got[0].trailer, c.trailer) << c.name;
    }
}

TEST(MotionCheck, MovingBitOfTheFirstStepsServos)
{
    struct Case
    {
        const char *name;
        quint8 status1, status2;
        quint8 error1;
        bool protocol1;
        int tableSize2; // a table too small for the status: the servo refuses
        bool moving;
        QStringList logs;
    };
    const Case cases[] = {
        {"one still moving", 0x02, 0x00, 0, false, 256, true, {"2", "0"}},
        {"all arrived", 0x01, 0x00, 0, false, 256, false, {"1", "0"}},
        {"error values are summed", 0x00, 0x00, 1, false, 256, false, {"0", "0", "ERROR : 1"}},
        {"protocol 1.0 cannot ask", 0x00, 0x00, 0, true, 256, true, {}},
        {"a reply without its status byte", 0x00, 0x00, 0, false, 100, true, {"0", "ERROR : 7"}},
    };
    for (const Case &c : cases) {
        PortOnBus b;
        b.addServo(1);
        b.bus.addDevice(sim::Device::protocol2(2, 1020, 53, c.tableSize2));
        b.bus.setMemory(1, 123, QByteArray(1, char(c.status1)));
        b.bus.setMemory(2, 123, QByteArray(1, char(c.status2)));
        if (c.error1) {
            sim::Faults f;
            f.error = c.error1;
            b.bus.setFaults(1, f);
        }
        ASSERT_TRUE(b.open()) << c.name;
        if (c.protocol1)
            b.port->setProtocolVersion(QStringLiteral("1.0"));
        qvx::MotionAgingOption option;
        option.steps = {qvx::MotionStep{{{1, 100, 0, 0}, {2, 200, 0, 0}}, 0}, qvx::MotionStep{{{3, 0, 0, 0}}, 0}};
        EXPECT_EQ(b.port->isMotionInProgress(option), c.moving) << c.name;
        EXPECT_EQ(b.logs, c.logs) << c.name;
        if (!c.protocol1) {
            EXPECT_EQ(b.bus.received().last().params, fromHex("01 7B 00 01 00 02 7B 00 01 00")) << c.name;
        }
    }
}

TEST(MotionCheck, OptionWithoutStepsAsksNobody)
{
    PortOnBus b;
    b.addServo(1);
    ASSERT_TRUE(b.open());
    qvx::MotionAgingOption option;
    EXPECT_TRUE(b.port->isMotionInProgress(option));
    EXPECT_TRUE(b.bus.received().isEmpty());
}
