// The Modbus transport's item and block transfers against a real server: how
// 1-, 2- and 4-byte items map onto holding registers at even and odd
// addresses, the read-modify-write of a byte, signedness, exception answers,
// register blocks and the chunked update and graph polls. The simulated servo
// stands in where a stock server cannot misbehave as needed.
#include "ModbusOnPeer.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtEndian>

#include <functional>

using namespace modbus_test;

namespace {

// Registers 2, 3, 5 and 6 of the item cases.
void presetItems(sim::LibmodbusServer &server)
{
    server.setRegister(2, 0xBEEF);
    server.setRegister(3, 0x1234);
    server.setRegister(5, 0x5678);
    server.setRegister(6, 0x1234);
}

} // namespace

TEST(ModbusItems, ReadsMapControlTableBytesOntoRegisters)
{
    OnLibmodbus m;
    ASSERT_TRUE(m.open());
    presetItems(*m.server);
    struct Case
    {
        int width;
        ushort address;
        int value;
        QStringList logs;
    };
    const Case cases[] = {
        {1, 7, 0x12, {"Address: 3, Value: 1234", "4660 18"}}, // odd: the high byte
        {1, 6, 0x34, {"Address: 3, Value: 1234", "4660 52"}}, // even: the low byte
        {2, 4, 0xBEEF, {"Address: 2, Value: beef", "48879"}},
        {2, 5, 0xBEEF, {"Address: 2, Value: beef", "48879"}}, // bit 0 of the address is ignored
        {4, 10, 0x12345678, {"Address: 5, Value: 5678", "Address: 6, Value: 1234", "305419896"}},
        {4, 11, 0x12345678, {"Address: 5, Value: 5678", "Address: 6, Value: 1234", "305419896"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(QStringLiteral("%1 bytes at %2").arg(c.width).arg(c.address).toStdString());
        int value = -1;
        uchar error = 0;
        const int result = settledAfresh(m.record, [&] {
            return c.width == 1   ? m.modbus->read1Byte(kId, c.address, &value, &error)
                   : c.width == 2 ? m.modbus->read2Byte(kId, c.address, &value, &error)
                                  : m.modbus->read4Byte(kId, c.address, &value, &error);
        });
        EXPECT_EQ(result, COMM_OK);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(error, 0);
        EXPECT_EQ(m.record.transferLogs(), c.logs);
        EXPECT_TRUE(m.record.seen.isEmpty()) << "the synchronous forms emit nothing";
    }
}

TEST(ModbusItems, NotifyingReadsSignalTheDecodedValue)
{
    OnLibmodbus m;
    ASSERT_TRUE(m.open());
    presetItems(*m.server);
    const auto notified = [&](auto read, const QString &name) {
        settledAfresh(m.record, read);
        return m.record.only(name);
    };
    EXPECT_EQ(notified([&] { return m.modbus->read1ByteTxRx(kId, 7); }, "read1"), QStringList{"read1 0 1 7 18 0"});
    EXPECT_EQ(notified([&] { return m.modbus->read2ByteTxRx(kId, 5); }, "read2"),
              QStringList{"read2 0 1 5 48879 0"});
    EXPECT_EQ(notified([&] { return m.modbus->read4ByteTxRx(kId, 10); }, "read4"),
              QStringList{"read4 0 1 10 305419896 0"});
}

TEST(ModbusItems, FourByteValuesWithBit31AreNegativeOnlyInTheSynchronousRead)
{
    OnLibmodbus m;
    ASSERT_TRUE(m.open());
    m.server->setRegister(5, 0x0000);
    m.server->setRegister(6, 0x8000);
    int value = 0;
    uchar error = 0;
    ASSERT_EQ(settledAfresh(m.record, [&] { return m.modbus->read4Byte(kId, 10, &value, &error); }),
              COMM_OK);
    EXPECT_EQ(value, -2147483647 - 1);
    EXPECT_EQ(m.record.transferLogs().last(), "-2147483648");
    ASSERT_EQ(settledAfresh(m.record, [&] { return m.modbus->read4ByteTxRx(kId, 10); }),
              COMM_OK);
    EXPECT_EQ(m.record.only("read4"), QStringList{"read4 0 1 10 2147483648 0"});
    EXPECT_EQ(m.record.transferLogs().last(), "2147483648");
}

TEST(ModbusItems, WritesLandInTheServersRegisters)
{
    OnLibmodbus m;
    ASSERT_TRUE(m.open());
    struct Case
    {
        const char *what;
        std::function<int(QvxModbus &, uchar *)> write;
        QList<int> registers;      // the registers to look at
        QList<quint16> before;     // their values before the write
        QList<quint16> after;      // and after it
    };
    const Case cases[] = {
        {"byte 0xAB at 7", [](QvxModbus &b, uchar *e) { return b.write1Byte(kId, 7, 0xAB, e); }, {3}, {0x1234}, {0xAB34}},
        {"byte 0xAB at 6", [](QvxModbus &b, uchar *e) { return b.write1Byte(kId, 6, 0xAB, e); }, {3}, {0x1234}, {0x12AB}},
        {"byte keeps only 8 bits", [](QvxModbus &b, uchar *e) { return b.write1Byte(kId, 6, 0x1CD, e); }, {3}, {0x1234}, {0x12CD}},
        {"2 bytes at 5", [](QvxModbus &b, uchar *e) { return b.write2Byte(kId, 5, 0x1CAFE, e); }, {2, 3}, {0, 0x1234}, {0xCAFE, 0x1234}},
        {"4 bytes at 10", [](QvxModbus &b, uchar *e) { return b.write4Byte(kId, 10, 0x12345678, e); }, {5, 6}, {0, 0}, {0x5678, 0x1234}},
        {"4 bytes negative", [](QvxModbus &b, uchar *e) { return b.write4Byte(kId, 10, -2, e); }, {5, 6}, {0, 0}, {0xFFFE, 0xFFFF}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (int i = 0; i < c.registers.size(); ++i)
            m.server->setRegister(c.registers.at(i), c.before.at(i));
        m.modbus->writeSeen = false;
        uchar error = 0;
        EXPECT_EQ(settled([&] { return c.write(*m.modbus, &error); }), COMM_OK);
        EXPECT_EQ(error, 0);
        for (int i = 0; i < c.registers.size(); ++i)
            EXPECT_EQ(m.server->reg(c.registers.at(i)), c.after.at(i)) << "register " << c.registers.at(i);
        EXPECT_TRUE(m.modbus->writeSeen);
    }
}

TEST(ModbusItems, EachWidthGoesOutAsItsOwnRequests)
{
    // What crosses the line: one register written alone is Write Single
    // Register, two are one Write Multiple Registers, a byte is a read and
    // then a write of its register.
    OnServo s;
    ASSERT_TRUE(s.open());
    s.servo.setRegister(3, 0x1234);
    struct Case
    {
        const char *what;
        std::function<int(QvxModbus &, uchar *)> write;
        QStringList requests; // "<function> <first register> <count> <values...>"
    };
    const Case cases[] = {
        {"byte at 7", [](QvxModbus &b, uchar *e) { return b.write1Byte(kId, 7, 0xAB, e); }, {"3 3 1", "6 3 1 ab34"}},
        {"2 bytes at 9", [](QvxModbus &b, uchar *e) { return b.write2Byte(kId, 9, 0xBEEF, e); }, {"6 4 1 beef"}},
        {"4 bytes at 10", [](QvxModbus &b, uchar *e) { return b.write4Byte(kId, 10, 0x12345678, e); },
         {"16 5 2 5678 1234"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        uchar error = 0;
        s.servo.clearRequests();
        ASSERT_EQ(settled([&] {
                      s.servo.clearRequests();
                      return c.write(*s.modbus, &error);
                  }),
                  COMM_OK);
        QStringList got;
        for (const sim::ModbusRequest &r : s.servo.requests()) {
            QStringList parts{QString::number(r.function), QString::number(r.start), QString::number(r.count)};
            for (const quint16 v : r.values)
                parts << QString::number(v, 16);
            got << parts.join(' ');
        }
        EXPECT_EQ(got, c.requests);
    }
}

TEST(ModbusItems, NotifyingWritesSignalTheirDataAndOutcome)
{
    OnLibmodbus m;
    ASSERT_TRUE(m.open());
    m.server->setRegister(3, 0x1234);
    ASSERT_EQ(settled([&] { return m.modbus->write1ByteTxRx(kId, 7, 0xAB); }), COMM_OK);
    ASSERT_EQ(settled([&] { return m.modbus->write2ByteTxRx(kId, 8, 0xCAFE); }), COMM_OK);
    ASSERT_EQ(settled([&] { return m.modbus->write4ByteTxRx(kId, 10, 0x80000001u); }), COMM_OK);
    EXPECT_EQ(m.record.only("write1").last(), "write1 0 1 7 171 0");
    EXPECT_EQ(m.record.only("write2").last(), "write2 0 1 8 51966 0");
    EXPECT_EQ(m.record.only("write4").last(), "write4 0 1 10 2147483649 0");
    EXPECT_EQ(m.server->reg(3), 0xAB34);
    EXPECT_EQ(m.server->reg(4), 0xCAFE);
    EXPECT_EQ(m.server->reg(5), 0x0001);
    EXPECT_EQ(m.server->reg(6), 0x8000);
}

TEST(ModbusItems, AnExceptionAnswerIsResultZeroWithTheCodePlus100)
{
    OnLibmodbus m(patternTable(40)); // registers 0 to 19: byte 40 and up is an illegal address
    ASSERT_TRUE(m.open());
    int value = -1;
    uchar error = 0;
    ASSERT_EQ(settledAfresh(m.record, [&] { return m.modbus->read2Byte(kId, 40, &value, &error); }),
              COMM_OK);
    EXPECT_EQ(error, 102);
    EXPECT_EQ(value, 0);
    ASSERT_EQ(m.record.transferLogs().size(), 1);
    EXPECT_TRUE(m.record.transferLogs().first().startsWith("Read response error: "));
    EXPECT_TRUE(m.record.transferLogs().first().endsWith(" (Mobus exception: 0x2)"));

    error = 0;
    ASSERT_EQ(settledAfresh(m.record, [&] { return m.modbus->write4Byte(kId, 40, 1, &error); }),
              COMM_OK);
    EXPECT_EQ(error, 102);
    EXPECT_TRUE(m.record.transferLogs().first().startsWith("Write response error: "));
    EXPECT_TRUE(m.record.transferLogs().first().endsWith(" (Mobus exception: 0x2)"));

    ASSERT_EQ(settledAfresh(m.record, [&] { return m.modbus->read4ByteTxRx(kId, 40); }),
              COMM_OK);
    EXPECT_EQ(m.record.only("read4"), QStringList{"read4 0 1 40 0 102"});

}

TEST(ModbusItems, AByteWriteWhoseReadMeetsAnExceptionFailsWithoutWriting)
{
    // The read phase of a byte write tells no exception apart from other
    // reply errors: the write fails, the error byte stays 0.
    OnServo s(20); // byte 41 lies in register 20: an illegal address
    ASSERT_TRUE(s.open());
    uchar error = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        s.record.clear();
        EXPECT_EQ(s.modbus->write1Byte(kId, 41, 1, &error), COMM_RX_FAIL);
        if (!s.record.transferLogs().isEmpty() && s.record.transferLogs().first().endsWith(" (code: 0x6)"))
            break; // not a missed reply window
        QTest::qWait(300);
    }
    EXPECT_EQ(error, 0);
    EXPECT_FALSE(s.modbus->writeSeen);
    ASSERT_EQ(s.record.transferLogs().size(), 1);
    EXPECT_TRUE(s.record.transferLogs().first().startsWith("Read response error: "));
    EXPECT_TRUE(s.record.transferLogs().first().endsWith(" (code: 0x6)"));
    ASSERT_TRUE(s.servo.waitForRequests(1, 5000));
    for (const sim::ModbusRequest &r : s.servo.requests())
        EXPECT_EQ(r.function, 3) << "nothing written after the failed read";
}

TEST(ModbusItems, AByteWriteWhoseReadAnswersTheWrongValueCountWritesNothing)
{
    // The write is built from the register its read returns. An answer with
    // another number of values is not that read's answer: the read fails and
    // nothing is written, so the neighbouring byte cannot change.
    OnServo s;
    ASSERT_TRUE(s.open());
    s.servo.setRegister(3, 0x1234);
    s.fault([](sim::ModbusFaults &f) { f.valueCount = 2; });
    EXPECT_EQ(s.modbus->write1ByteTxRx(kId, 7, 0xAB), COMM_RX_FAIL);
    EXPECT_EQ(s.record.only("write1").last(), "write1 -1002 1 7 171 0");
    for (const sim::ModbusRequest &r : s.servo.requests())
        EXPECT_EQ(r.function, 3) << "no write went out";
    EXPECT_EQ(s.servo.reg(3), 0x1234);
}

TEST(ModbusItems, ATimeOutGivesRxTimeoutAndValueZero)
{
    OnServo s;
    ASSERT_TRUE(s.open());
    s.fault([](sim::ModbusFaults &f) { f.silent = true; });
    int value = 77;
    uchar error = 0;
    EXPECT_EQ(s.modbus->read4Byte(kId, 10, &value, &error), COMM_RX_TIMEOUT);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(error, 0);
    ASSERT_EQ(s.record.transferLogs().size(), 1);
    EXPECT_TRUE(s.record.transferLogs().first().startsWith("Read response error: "));
    EXPECT_TRUE(s.record.transferLogs().first().endsWith(" (code: 0x5)"));
    EXPECT_EQ(s.modbus->read2ByteTxRx(kId, 4), COMM_RX_TIMEOUT);
    EXPECT_EQ(s.record.only("read2"), QStringList{"read2 -3001 1 4 0 0"});
}

TEST(ModbusItems, ARefusedRequestIsTxFailAndLeavesTheValue)
{
    QvxModbus modbus; // a client that was never connected refuses every request
    Recorder record(&modbus);
    int value = 77;
    uchar error = 0;
    EXPECT_EQ(modbus.read2Byte(kId, 4, &value, &error), COMM_TX_FAIL);
    EXPECT_EQ(value, 77);
    ASSERT_EQ(record.transferLogs().size(), 1);
    EXPECT_TRUE(record.transferLogs().first().startsWith("Read error: "));
    EXPECT_EQ(modbus.read2ByteTxRx(kId, 4), COMM_TX_FAIL);
    EXPECT_EQ(record.only("read2"), QStringList{"read2 -1001 1 4 0 0"});
    EXPECT_EQ(modbus.write2ByteTxRx(kId, 4, 9), COMM_TX_FAIL);
    EXPECT_EQ(record.only("write2"), QStringList{"write2 -1001 1 4 9 0"});
    EXPECT_TRUE(record.transferLogs().last().startsWith("Write error: "));
    EXPECT_EQ(modbus.write1ByteTxRx(kId, 5, 9), COMM_TX_FAIL) << "refused in its read phase";
    EXPECT_TRUE(record.transferLogs().last().startsWith("Read error: "));
}

TEST(ModbusItems, WithoutAClientNothingIsSentOrSignalled)
{
    QvxModbus modbus;
    modbus.createDevice(0); // no such connection type: no client
    ASSERT_EQ(modbus.client, nullptr);
    ASSERT_EQ(modbus.rtu, nullptr);
    Recorder record(&modbus);
    int value = 77;
    uchar error = 5;
    EXPECT_EQ(modbus.read1Byte(kId, 4, &value, &error), COMM_NOT_AVAILABLE);
    EXPECT_EQ(modbus.write1Byte(kId, 4, 1, &error), COMM_NOT_AVAILABLE);
    EXPECT_EQ(modbus.read4ByteTxRx(kId, 4), COMM_NOT_AVAILABLE);
    EXPECT_EQ(modbus.write1ByteTxRx(kId, 4, 1), COMM_NOT_AVAILABLE);
    EXPECT_EQ(modbus.readRegisters(kId, 0, 4, &error), COMM_NOT_AVAILABLE);
    EXPECT_EQ(modbus.readUpdate(kId, 8), COMM_NOT_AVAILABLE);
    EXPECT_EQ(modbus.readGraph(kId, 0, 8), COMM_NOT_AVAILABLE);
    EXPECT_EQ(value, 77);
    EXPECT_EQ(error, 5);
    EXPECT_FALSE(modbus.busy);
    EXPECT_TRUE(record.seen.isEmpty()) << record.seen.join(" | ").toStdString();
    EXPECT_TRUE(record.logs.isEmpty());
    EXPECT_FALSE(modbus.open(QStringLiteral("/dev/null"), kBaud));
    EXPECT_TRUE(record.seen.isEmpty());
}

// --- register blocks -------------------------------------------------------------------

TEST(ModbusBlocks, ReadRegistersAppendsLowByteFirstUpTo125)
{
    const QByteArray table = patternTable(300);
    OnLibmodbus m(table);
    ASSERT_TRUE(m.open());
    uchar error = 9;
    m.modbus->rxBuffer = "ab";
    ASSERT_EQ(settled([&] {
                  m.modbus->rxBuffer = "ab";
                  m.record.clear();
                  return m.modbus->readRegisters(kId, 2, 125, &error);
              }),
              COMM_OK);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(m.modbus->rxBuffer, "ab" + table.mid(4, 250)) << "appended, never cleared";
    EXPECT_EQ(m.modbus->responseTimeout(), 625);
    EXPECT_EQ(m.record.seen, (QStringList{"tx 1", "rx 1", "rx 0"}));

    // One more than a request may carry: refused before anything is sent.
    const int requests = m.server->requests();
    m.record.clear();
    error = 9;
    EXPECT_EQ(m.modbus->readRegisters(kId, 0, 126, &error), COMM_UNSUPPORTED);
    EXPECT_EQ(error, 9);
    EXPECT_TRUE(m.record.seen.isEmpty());
    EXPECT_EQ(m.server->requests(), requests);

    // An exception answer appends nothing.
    m.modbus->rxBuffer.clear();
    ASSERT_EQ(settledAfresh(m.record, [&] { return m.modbus->readRegisters(kId, 140, 20, &error); }),
              COMM_OK);
    EXPECT_EQ(error, 102);
    EXPECT_TRUE(m.modbus->rxBuffer.isEmpty());
    EXPECT_EQ(m.record.seen, (QStringList{"tx 1", "rx 0"}));
}

TEST(ModbusBlocks, TimeOutsGrowFiveMillisecondsARegisterFromElevenOn)
{
    OnServo s;
    ASSERT_TRUE(s.open());
    s.fault([](sim::ModbusFaults &f) { f.silent = true; });
    struct Case
    {
        ushort count;
        int timeoutMs;
    };
    for (const Case c : {Case{1, 50}, Case{10, 50}, Case{11, 55}, Case{125, 625}}) {
        SCOPED_TRACE(c.count);
        uchar error = 0;
        QElapsedTimer waited;
        waited.start();
        s.record.clear();
        EXPECT_EQ(s.modbus->readRegisters(kId, 0, c.count, &error), COMM_RX_TIMEOUT);
        const qint64 elapsed = waited.elapsed();
        EXPECT_EQ(s.modbus->responseTimeout(), c.timeoutMs);
        // Loose bounds only: the wait is the client's, on a loaded machine.
        EXPECT_GE(elapsed, c.timeoutMs * 8 / 10);
        EXPECT_LT(elapsed, c.timeoutMs + 5000);
        EXPECT_EQ(s.record.seen, (QStringList{"tx 1", "rx 0"}));
    }
}

TEST(ModbusBlocks, TheUpdatePollReads301BytesAs125And25Registers)
{
    const QByteArray table = patternTable(320);
    OnLibmodbus m(table);
    ASSERT_TRUE(m.open());
    ASSERT_EQ(settledAfresh(m.record, [&] { return m.modbus->readUpdate(kId, 301); }),
              COMM_OK);
    EXPECT_EQ(m.record.only("update"), QStringList{"update 0 1 300 " + text(table.left(300)) + " 0"});
    EXPECT_EQ(m.record.only("tx"), (QStringList{"tx 1", "tx 1"})) << "two requests";
    EXPECT_FALSE(m.modbus->busy);
    EXPECT_EQ(m.modbus->responseTimeout(), 125) << "the second request: 25 registers";

    // Nothing to read: no request, an empty snapshot.
    for (const ushort length : {0, 1}) {
        m.record.clear();
        const int requests = m.server->requests();
        EXPECT_EQ(m.modbus->readUpdate(kId, length), COMM_OK);
        EXPECT_EQ(m.record.seen, QStringList{"update 0 1 0  0"});
        EXPECT_EQ(m.server->requests(), requests);
    }
}

TEST(ModbusBlocks, AFailedSecondChunkDeliversTheBytesBeforeIt)
{
    // A time-out in the second request.
    OnServo s(200);
    for (int i = 0; i < 200; ++i)
        s.servo.setRegister(i, static_cast<quint16>(i * 0x0101));
    ASSERT_TRUE(s.open());
    QByteArray first;
    for (int i = 0; i < 125; ++i)
        first += QByteArray(2, static_cast<char>(i));
    // The first request must come back in time for the case: tried again
    // when a loaded machine missed it.
    const QString expected = "update -3001 1 250 " + text(first) + " 0";
    for (int attempt = 0; attempt < 5; ++attempt) {
        s.fault([](sim::ModbusFaults &f) { f.answerFirst = 1; });
        s.record.clear();
        EXPECT_EQ(s.modbus->readUpdate(kId, 301), COMM_RX_TIMEOUT);
        if (s.record.only("update") == QStringList{expected})
            break;
        QTest::qWait(300);
    }
    EXPECT_EQ(s.record.only("update"), QStringList{expected});
    EXPECT_FALSE(s.modbus->busy);

    // An exception answer in the second request of a real server: result 0
    // with the error byte.
    const QByteArray table = patternTable(260); // 130 registers
    OnLibmodbus m(table);
    ASSERT_TRUE(m.open());
    ASSERT_EQ(settledAfresh(m.record, [&] { return m.modbus->readUpdate(kId, 301); }),
              COMM_OK);
    EXPECT_EQ(m.record.only("update"), QStringList{"update 0 1 250 " + text(table.left(250)) + " 102"});
}

TEST(ModbusBlocks, AnExceptionOnAChunkBeforeTheLastEndsTheWholeRead)
{
    // 600 bytes are read as 125, 125 and 50 registers. An exception answer to
    // the first or the second request ends the read there: result 0 with the
    // exception's error byte, only the bytes before it in the signal, and no
    // later request, though the servo would answer it.
    OnServo s(300);
    QByteArray table;
    for (int i = 0; i < 300; ++i) {
        s.servo.setRegister(i, static_cast<quint16>(i * 0x0101));
        table += QByteArray(2, static_cast<char>(i));
    }
    ASSERT_TRUE(s.open());
    struct Case
    {
        const char *what;
        int refused; // the request answered with exception 4
        bool graph;  // the graph poll, else the update poll
    };
    const Case cases[] = {
        {"update, first request", 0, false},
        {"update, second request", 1, false},
        {"graph, first request", 0, true},
        {"graph, second request", 1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int result = COMM_RX_TIMEOUT;
        // A loaded machine may miss a reply window: tried again, the servo's
        // count of requests started afresh.
        for (int attempt = 0; attempt < 5 && result != COMM_OK; ++attempt) {
            if (attempt > 0)
                QTest::qWait(300);
            s.fault([&](sim::ModbusFaults &f) { f.refuseRequest = c.refused; });
            s.servo.clearRequests();
            s.record.clear();
            result = c.graph ? s.modbus->readGraph(kId, 0, 600) : s.modbus->readUpdate(kId, 600);
        }
        ASSERT_EQ(result, COMM_OK);
        const QByteArray before = table.left(250 * c.refused);
        const QStringList expected = (c.graph ? QStringList{"graph", "0", "1", "0"} : QStringList{"update", "0", "1"})
                                 + QStringList{text(before.size()), text(before), "104"};
        EXPECT_EQ(s.record.only(c.graph ? "graph" : "update"), QStringList(expected.join(' ')));
        QList<int> starts;
        for (const sim::ModbusRequest &r : s.servo.requests())
            starts << r.start;
        EXPECT_EQ(starts, c.refused == 0 ? QList<int>{0} : (QList<int>{0, 125})) << "nothing asked after the exception";
        EXPECT_FALSE(s.modbus->busy);
    }
}

TEST(ModbusBlocks, TheGraphPollStartsAtTheRegisterOfItsAddress)
{
    const QByteArray table = patternTable(300);
    OnLibmodbus m(table);
    ASSERT_TRUE(m.open());
    ASSERT_EQ(settledAfresh(m.record, [&] { return m.modbus->readGraph(kId, 5, 4); }),
              COMM_OK);
    EXPECT_EQ(m.record.only("graph"), QStringList{"graph 0 1 5 4 " + text(table.mid(4, 4)) + " 0"});
    EXPECT_FALSE(m.modbus->busy);
    EXPECT_EQ(m.modbus->lastPollTick != 0, true);
}

TEST(ModbusBlocks, AWriteQueuedWhileTheUpdateWaitsComesAfterItsSnapshot)
{
    // The update's reads wait without running other events of the thread: a
    // write queued meanwhile goes out after them, so the snapshot is never a
    // mix of the table before and after it.
    OnServo s;
    ASSERT_TRUE(s.open());
    s.servo.setRegister(3, 0x1234);
    s.fault([](sim::ModbusFaults &f) { f.readDelayMs = 20; });
    int written = 1;
    uchar error = 0;
    QTimer::singleShot(0, s.modbus.get(), [&] { written = s.modbus->write2Byte(kId, 6, 0x4242, &error); });
    ASSERT_EQ(settled([&] { return s.modbus->readUpdate(kId, 10); }), COMM_OK);
    EXPECT_EQ(s.record.only("update").last(), "update 0 1 10 00 00 00 00 00 00 34 12 00 00 0");
    EXPECT_FALSE(s.modbus->busy);
    ASSERT_TRUE(QTest::qWaitFor([&] { return written != 1; }, 5000));
    for (const sim::ModbusRequest &r : s.servo.requests()) {
        if (r.function == 6) {
            EXPECT_EQ(r.start, 3);
        }
    }
}

// --- a second, independent server ---------------------------------------------------------

TEST(ModbusOnPymodbus, ItemsBlocksAndExceptionsAgreeWithItsRegisters)
{
    const QByteArray table = patternTable(300);
    sim::PtyLink link;
    ASSERT_TRUE(link.isOpen()) << link.error().toStdString();
    sim::PymodbusServer server(link.serverSide(), kBaud, table);
    ASSERT_TRUE(server.isReady()) << server.error().toStdString();
    QvxModbus modbus;
    Recorder record(&modbus);
    ASSERT_TRUE(modbus.open(link.programSide(), kBaud));

    // A Python server answers slowly on a loaded machine: its first answers
    // may miss the 50 ms window, so each step is given a few tries.
    int value = 0;
    uchar error = 0;
    ASSERT_EQ(settled([&] { return modbus.read1Byte(kId, 7, &value, &error); }), COMM_OK);
    EXPECT_EQ(value, static_cast<quint8>(table.at(7)));
    ASSERT_EQ(settled([&] { return modbus.read2Byte(kId, 9, &value, &error); }), COMM_OK);
    EXPECT_EQ(value, static_cast<quint8>(table.at(8)) | static_cast<quint8>(table.at(9)) << 8);
    ASSERT_EQ(settled([&] { return modbus.read4Byte(kId, 20, &value, &error); }), COMM_OK);
    EXPECT_EQ(static_cast<quint32>(value), qFromLittleEndian<quint32>(table.constData() + 20));

    // A byte written at an odd address keeps its even neighbour.
    ASSERT_EQ(settled([&] { return modbus.write1Byte(kId, 31, 0xAB, &error); }), COMM_OK);
    ASSERT_EQ(settled([&] { return modbus.read2Byte(kId, 30, &value, &error); }), COMM_OK);
    EXPECT_EQ(value, 0xAB00 | static_cast<quint8>(table.at(30)));
    ASSERT_EQ(settled([&] { return modbus.write4Byte(kId, 40, -5, &error); }), COMM_OK);
    ASSERT_EQ(settled([&] { return modbus.read4Byte(kId, 40, &value, &error); }), COMM_OK);
    EXPECT_EQ(value, -5);

    modbus.rxBuffer.clear();
    ASSERT_EQ(settled([&] {
                  modbus.rxBuffer.clear();
                  return modbus.readRegisters(kId, 0, 125, &error);
              }),
              COMM_OK);
    QByteArray expected = table.left(250);
    expected[31] = static_cast<char>(0xAB);
    expected.replace(40, 4, QByteArray::fromHex("FBFFFFFF"));
    EXPECT_EQ(modbus.rxBuffer, expected);

    // An illegal address: exception code 2.
    ASSERT_EQ(settled([&] { return modbus.read2Byte(kId, 400, &value, &error); }), COMM_OK);
    EXPECT_EQ(error, 102);
    EXPECT_EQ(value, 0);
}
