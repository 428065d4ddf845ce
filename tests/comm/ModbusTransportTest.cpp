// The Modbus transport: opening and closing the client, the connect step with
// its identification ping, the device commands on their command registers,
// how a request's failures are judged, the stubs of what only the servo
// protocols have, and the transport as the meta-object system shows it.
#include "ModbusOnPeer.h"

#include <QElapsedTimer>
#include <QMetaMethod>
#include <QTimer>

#include <functional>

using namespace modbus_test;

TEST(ModbusLink, OpenCloseAndConnectAgainstARealServer)
{
    QByteArray table = patternTable(300);
    table[0] = 0x06; // model number 1030 in register 0
    table[1] = 0x04;
    table[6] = 43; // firmware version in the low byte of register 3
    table[7] = 26;
    OnLibmodbus m(table);
    ASSERT_TRUE(m.open());
    EXPECT_EQ(m.record.seen, (QStringList{"closed", QStringLiteral("openSucceed %1 %2").arg(m.link.programSide()).arg(kBaud)}));
    EXPECT_FALSE(m.modbus->isOpen()) << "an open client is not yet a connected device";
    EXPECT_EQ(m.modbus->version(), "MODBUS");

    ushort model = 0;
    uchar firmware = 0;
    uchar error = 0xEE;
    ASSERT_EQ(settled([&] { return m.modbus->ping(kId, &model, &firmware, &error); }), COMM_OK);
    EXPECT_EQ(model, 1030);
    EXPECT_EQ(firmware, 43);
    EXPECT_EQ(error, 0);

    // The connect step opens again with the stored settings and pings.
    m.record.clear();
    ASSERT_TRUE(connectSettled(*m.modbus, kId));
    EXPECT_TRUE(m.modbus->isOpen());
    EXPECT_EQ(m.modbus->targetId, kId);
    EXPECT_EQ(m.record.only("stateChanged"), QStringList{"stateChanged 1"});

    // Closed and opened again on the same link: the server is still there.
    m.record.clear();
    m.modbus->close();
    EXPECT_EQ(m.record.seen, (QStringList{"closed", "stateChanged 0"}));
    EXPECT_FALSE(m.modbus->isOpen());
    ASSERT_TRUE(m.open());
    int value = 0;
    EXPECT_EQ(settled([&] { return m.modbus->read2Byte(kId, 0, &value, &error); }), COMM_OK);
    EXPECT_EQ(value, 1030);
}

TEST(ModbusLink, CloseOfANeverConnectedTransportSaysClosedOnceAndNoStateChange)
{
    QvxModbus modbus;
    Recorder record(&modbus);
    modbus.close();
    EXPECT_EQ(record.seen, QStringList{"closed"});
    EXPECT_EQ(modbus.state, QvxComm::Disconnected);
}

TEST(ModbusLink, OpenOfAPortThatIsNotThereFails)
{
    QvxModbus modbus;
    Recorder record(&modbus);
    EXPECT_FALSE(modbus.open(QStringLiteral("/dev/zephlet-no-such-port"), kBaud));
    EXPECT_EQ(record.only("openFailed"), QStringList{QStringLiteral("openFailed /dev/zephlet-no-such-port %1").arg(kBaud)});
    EXPECT_EQ(modbus.portName, "/dev/zephlet-no-such-port");
    EXPECT_EQ(modbus.baudRate, kBaud);
    EXPECT_FALSE(modbus.connectQvx(kId)) << "the connect step cannot open either";
}

TEST(ModbusLink, APortNameHoldingANulByteIsNotOpenedCutAtTheNul)
{
    OnServo s(2);
    const QString name = s.servo.portName() + QChar(u'\0') + QStringLiteral("x");
    EXPECT_FALSE(s.modbus->open(name, kBaud));
    EXPECT_EQ(s.record.only("openFailed").size(), 1);
    EXPECT_TRUE(s.open()) << "the name without its tail opens";
}

TEST(ModbusLink, AnExceptionAnsweredCountEndsTheErrorHistoryWithoutCompletion)
{
    OnServo s(2); // registers 0 and 1 only: the count at address 10 is an illegal address
    ASSERT_TRUE(s.open());
    int value = 7;
    uchar error = 0;
    ASSERT_EQ(settled([&] { return s.modbus->read1Byte(kId, 10, &value, &error); }), COMM_OK);
    ASSERT_EQ(error, 102);
    int completions = 0;
    QObject::connect(s.modbus.get(), &QvxComm::getErrorHistoryCompleted, [&] { ++completions; });
    s.modbus->getErrorHistory(kId, 10, 11, 12);
    EXPECT_EQ(completions, 0) << "an exception answer holds no count";
    EXPECT_FALSE(s.modbus->busy);
}

TEST(ModbusLink, AnExceptionAnsweredPingFailsTheConnectStep)
{
    OnServo s(2); // registers 0 and 1 only: the ping's read of 4 is an illegal address
    s.modbus->portName = s.servo.portName();
    s.modbus->baudRate = kBaud;
    ushort model = 7;
    uchar firmware = 7;
    uchar error = 0;
    ASSERT_TRUE(s.open());
    EXPECT_EQ(settled([&] { return s.modbus->ping(kId, &model, &firmware, &error); }), COMM_OK);
    EXPECT_EQ(error, 102);
    EXPECT_EQ(model, 7) << "outputs untouched without values";
    EXPECT_EQ(firmware, 7);

    s.servo.clearRequests();
    s.record.clear();
    EXPECT_FALSE(s.modbus->connectQvx(kId));
    EXPECT_EQ(s.servo.requests().size(), 2) << "pinged twice";
    EXPECT_FALSE(s.modbus->isOpen());
    EXPECT_EQ(s.record.seen.last(), "closed");
    EXPECT_TRUE(s.record.only("stateChanged").isEmpty());
}

TEST(ModbusLink, APingAnswerOfAnotherValueCountIsNotItsAnswer)
{
    // The ping asks for four registers: an answer carrying another number of
    // them answers some other request, and the ping's wait goes on without it.
    OnServo s;
    s.servo.setRegister(0, 1030);
    s.servo.setRegister(3, 6699);
    ASSERT_TRUE(s.open());
    ushort model = 0;
    uchar firmware = 9;
    uchar error = 0;
    ASSERT_EQ(settled([&] { return s.modbus->ping(kId, &model, &firmware, &error); }), COMM_OK);
    EXPECT_EQ(model, 1030);
    EXPECT_EQ(firmware, 43);
    for (const int count : {3, 0, 5}) {
        s.fault([count](sim::ModbusFaults &f) { f.valueCount = count; });
        model = 7;
        firmware = 7;
        EXPECT_EQ(s.modbus->ping(kId, &model, &firmware, &error), COMM_RX_TIMEOUT) << count << " values";
        EXPECT_EQ(model, 7) << count << " values";
        EXPECT_EQ(firmware, 7) << count << " values";
    }
}

TEST(ModbusLink, APingTimeOutIsNotLogged)
{
    OnServo s;
    ASSERT_TRUE(s.open());
    s.fault([](sim::ModbusFaults &f) { f.silent = true; });
    ushort model = 0;
    uchar firmware = 0;
    uchar error = 0;
    EXPECT_EQ(s.modbus->ping(kId, &model, &firmware, &error), COMM_RX_TIMEOUT);
    EXPECT_TRUE(s.record.transferLogs().isEmpty()) << s.record.transferLogs().join(" | ").toStdString();
}

TEST(ModbusLink, SetBaudRateConnectsToTheStoredTarget)
{
    OnServo s;
    s.modbus->portName = s.servo.portName();
    s.modbus->baudRate = kBaud;
    ASSERT_TRUE(connectSettled(*s.modbus, kId));
    s.servo.clearRequests();
    bool connected = false;
    for (int attempt = 0; attempt < 3 && !connected; ++attempt)
        connected = s.modbus->setBaudRate(57600);
    EXPECT_TRUE(connected);
    EXPECT_EQ(s.modbus->baudRate, 57600);
    ASSERT_FALSE(s.servo.requests().isEmpty());
    EXPECT_EQ(s.servo.requests().first().id, kId);
    EXPECT_EQ(s.servo.requests().first().start, 0);
    EXPECT_EQ(s.servo.requests().first().count, 4);
}

TEST(ModbusLink, AConnectionErrorDropsTheLinkButKeepsTheClient)
{
    OnServo s;
    s.modbus->portName = s.servo.portName();
    s.modbus->baudRate = kBaud;
    ASSERT_TRUE(connectSettled(*s.modbus, kId));
    s.modbus->rxBuffer = "left";
    s.modbus->pollGaps = {5, 6};
    const ModbusRtu *link = s.modbus->rtu;
    s.record.clear();
    ASSERT_TRUE(QMetaObject::invokeMethod(s.modbus.get(), "handleError",
                                          Q_ARG(QModbusDevice::Error, QModbusDevice::ConnectionError)));
    EXPECT_EQ(s.record.seen, QStringList{"stateChanged 0"}) << "no closed()";
    EXPECT_EQ(s.record.logs.size(), 1);
    EXPECT_TRUE(s.record.logs.first().startsWith("handleError : "));
    EXPECT_TRUE(s.modbus->rxBuffer.isEmpty());
    EXPECT_TRUE(s.modbus->pollGaps.isEmpty());
    EXPECT_EQ(s.modbus->rtu, link);

    // Any other error is only logged.
    s.record.clear();
    s.modbus->rxBuffer = "kept";
    s.modbus->handleError(QModbusDevice::TimeoutError);
    EXPECT_TRUE(s.record.seen.isEmpty());
    EXPECT_EQ(s.record.logs.size(), 1);
    EXPECT_EQ(s.modbus->rxBuffer, "kept");
}

// --- device commands --------------------------------------------------------------------

TEST(ModbusCommands, EachWritesItsValueToItsCommandRegister)
{
    struct Case
    {
        const char *name;
        std::function<int(QvxModbus &)> run;
        int reg;
        quint16 value;
        int timeoutMs;
        const char *signal; // "" for none
    };
    const Case cases[] = {
        {"reset", [](QvxModbus &m) { return m.reset(kId, 512); }, 256, 2, 50, "reset 0 1 0"},
        {"reboot", [](QvxModbus &m) { return m.reboot(kId, 514); }, 257, 1, 50, "reboot 0 1 0"},
        {"clear", [](QvxModbus &m) { return m.clear(kId, 7, 516); }, 258, 512, 10000, "clear 0 1 0"},
        {"multiturnClear", [](QvxModbus &m) { return m.multiturnClear(kId, 1, 546); }, 273, 273, 10000,
         "multiturnClear 0 1 0"},
        {"auxBackup", [](QvxModbus &m) { return m.auxBackup(kId, 518); }, 259, 1, 2000, "auxBackup 0 1 0"},
        {"auxRestore", [](QvxModbus &m) { return m.auxRestore(kId, 519); }, 259, 2, 2000, "auxRestore 0 1 0"},
        {"rebootToBootloader", [](QvxModbus &m) { return m.rebootToBootloader(kId, 520); }, 260, 1025, 50, ""},
    };
    OnServo big(300);
    ASSERT_TRUE(big.open());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        big.servo.clearRequests();
        big.record.clear();
        EXPECT_EQ(settled([&] { return c.run(*big.modbus); }), COMM_OK);
        const QList<sim::ModbusRequest> requests = big.servo.requests();
        ASSERT_FALSE(requests.isEmpty());
        EXPECT_EQ(requests.last().function, 6);
        EXPECT_EQ(requests.last().start, c.reg);
        EXPECT_EQ(requests.last().values, QList<quint16>{c.value});
        EXPECT_EQ(big.servo.reg(c.reg), c.value);
        EXPECT_EQ(big.modbus->responseTimeout(), c.timeoutMs);
        EXPECT_EQ(big.record.seen.isEmpty() ? QString() : big.record.seen.last(), QString::fromLatin1(c.signal));
    }
}

TEST(ModbusCommands, AddressZeroMeansNoSuchRegisterAndSendsNothing)
{
    OnServo s;
    ASSERT_TRUE(s.open());
    s.record.clear();
    EXPECT_EQ(s.modbus->reset(kId, 0), COMM_UNSUPPORTED);
    EXPECT_EQ(s.modbus->reset(kId), COMM_UNSUPPORTED);
    EXPECT_EQ(s.modbus->reboot(kId), COMM_UNSUPPORTED);
    EXPECT_EQ(s.modbus->clear(kId, 1), COMM_UNSUPPORTED);
    EXPECT_EQ(s.modbus->multiturnClear(kId, 1, 0), COMM_UNSUPPORTED);
    EXPECT_EQ(s.modbus->auxBackup(kId), COMM_UNSUPPORTED);
    EXPECT_EQ(s.modbus->auxRestore(kId), COMM_UNSUPPORTED);
    EXPECT_EQ(s.modbus->rebootToBootloader(kId, 0), COMM_UNSUPPORTED);
    EXPECT_FALSE(s.servo.waitForRequests(1, 200));
    EXPECT_TRUE(s.record.seen.isEmpty());
}

TEST(ModbusCommands, FailuresAreSignalledToo)
{
    OnServo s(100); // register 256 lies outside: an exception answer
    ASSERT_TRUE(s.open());
    EXPECT_EQ(settled([&] { return s.modbus->reset(kId, 512); }), COMM_OK);
    EXPECT_EQ(s.record.only("reset").last(), "reset 0 1 102");
    s.fault([](sim::ModbusFaults &f) { f.silent = true; });
    EXPECT_EQ(s.modbus->reboot(kId, 20), COMM_RX_TIMEOUT);
    EXPECT_EQ(s.record.only("reboot"), QStringList{"reboot -3001 1 0"});

    QvxModbus none;
    none.createDevice(0);
    Recorder record(&none);
    EXPECT_EQ(none.clear(kId, 0, 516), COMM_NOT_AVAILABLE);
    EXPECT_EQ(record.seen, QStringList{"clear -9000 1 0"});
}

// --- what the servo protocols alone have -------------------------------------------------

TEST(ModbusStubs, AnswerUnsupportedWithoutTraffic)
{
    OnServo s;
    ASSERT_TRUE(s.open());
    s.record.clear();
    QvxModbus &m = *s.modbus;
    qvx::MotionAgingOption option;
    EXPECT_EQ(m.broadcastPing(100), COMM_UNSUPPORTED);
    EXPECT_EQ(m.shufflePing(100), COMM_UNSUPPORTED);
    EXPECT_EQ(m.shuffleId(kId, QByteArray(4, '\0'), 100, 1), COMM_UNSUPPORTED);
    EXPECT_EQ(m.sysWrite1ByteTxRx(kId, 4, 1), COMM_UNSUPPORTED);
    EXPECT_EQ(m.sysWrite2ByteTxRx(kId, 4, 1), COMM_UNSUPPORTED);
    EXPECT_EQ(m.sysWrite4ByteTxRx(kId, 4, 1), COMM_UNSUPPORTED);
    EXPECT_EQ(m.syncWrite(4, 1, QByteArray(2, '\1')), COMM_UNSUPPORTED);
    EXPECT_EQ(m.readMultiGraph({}), COMM_UNSUPPORTED);
    EXPECT_EQ(m.bulkWrite(QByteArray(6, '\1')), COMM_UNSUPPORTED);
    EXPECT_EQ(m.syncWriteDirect(4, 1, QByteArray(2, '\1')), COMM_UNSUPPORTED);
    EXPECT_EQ(m.dumpReadData(0, 0, 10), COMM_UNSUPPORTED);
    EXPECT_EQ(m.readHandPresetData(kId, 4, 2), COMM_UNSUPPORTED);
    EXPECT_EQ(m.writeHandPresetData(kId, 4, {}, 2), COMM_UNSUPPORTED);
    EXPECT_FALSE(m.isMotionInProgress(option));
    m.startMultiGraph({}, 10);
    EXPECT_FALSE(m.multiGraphTimer->isActive());
    m.setProtocolVersion(QStringLiteral("1.0"));
    m.setTimeout(500);
    EXPECT_EQ(m.version(), "MODBUS");
    EXPECT_EQ(m.extraLatency, 0);
    EXPECT_FALSE(s.servo.waitForRequests(1, 200));
    EXPECT_TRUE(s.record.seen.isEmpty());
}

// --- the meta-object --------------------------------------------------------------------

TEST(ModbusMetaObject, OwnSlotsInOrderAndNoSignals)
{
    const QMetaObject &meta = QvxModbus::staticMetaObject;
    EXPECT_STREQ(meta.className(), "QvxModbus");
    EXPECT_EQ(meta.superClass(), &QvxComm::staticMetaObject);
    QStringList slotList;
    QStringList signalList;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        (method.methodType() == QMetaMethod::Signal ? signalList : slotList)
            << QString::fromLatin1(method.methodSignature());
    }
    EXPECT_TRUE(signalList.isEmpty());
    EXPECT_EQ(slotList, (QStringList{
                            "open(QString,int)",
                            "close()",
                            "write1ByteTxRx(uchar,ushort,uchar,QString)",
                            "write1ByteTxRx(uchar,ushort,uchar)",
                            "write2ByteTxRx(uchar,ushort,ushort,QString)",
                            "write2ByteTxRx(uchar,ushort,ushort)",
                            "write4ByteTxRx(uchar,ushort,uint,QString)",
                            "write4ByteTxRx(uchar,ushort,uint)",
                            "read1ByteTxRx(uchar,ushort,QString)",
                            "read1ByteTxRx(uchar,ushort)",
                            "read2ByteTxRx(uchar,ushort,QString)",
                            "read2ByteTxRx(uchar,ushort)",
                            "read4ByteTxRx(uchar,ushort,QString)",
                            "read4ByteTxRx(uchar,ushort)",
                            "sysWrite1ByteTxRx(uchar,ushort,uchar,QString)",
                            "sysWrite1ByteTxRx(uchar,ushort,uchar)",
                            "sysWrite2ByteTxRx(uchar,ushort,ushort,QString)",
                            "sysWrite2ByteTxRx(uchar,ushort,ushort)",
                            "sysWrite4ByteTxRx(uchar,ushort,uint,QString)",
                            "sysWrite4ByteTxRx(uchar,ushort,uint)",
                            "syncWrite(ushort,ushort,QByteArray,QString)",
                            "syncWrite(ushort,ushort,QByteArray)",
                            "reset(uchar,ushort)",
                            "reset(uchar)",
                            "reboot(uchar,ushort)",
                            "reboot(uchar)",
                            "clear(uchar,uchar,ushort)",
                            "clear(uchar,uchar)",
                            "multiturnClear(uchar,uchar,ushort)",
                            "auxBackup(uchar,ushort)",
                            "auxBackup(uchar)",
                            "auxRestore(uchar,ushort)",
                            "auxRestore(uchar)",
                            "handleError(QModbusDevice::Error)",
                            "startMultiGraph(qvx::MultiGraphReadParams,int,bool)",
                            "startMultiGraph(qvx::MultiGraphReadParams,int)",
                            "dumpReadData(uchar,ushort,ushort)",
                            "readHandPresetData(uchar,ushort,int)",
                            "writeHandPresetData(uchar,ushort,qvx::HandPresetData,int)",
                        }));
}

TEST(ModbusMetaObject, SlotsAreCallableByName)
{
    OnServo s(300);
    ASSERT_TRUE(s.open());
    s.servo.setRegister(2, 0xBEEF);
    int result = -9;
    ASSERT_EQ(settled([&] {
                  EXPECT_TRUE(QMetaObject::invokeMethod(s.modbus.get(), "read2ByteTxRx", Q_RETURN_ARG(int, result),
                                                        Q_ARG(uchar, kId), Q_ARG(ushort, 4)));
                  return result;
              }),
              COMM_OK);
    EXPECT_EQ(s.record.only("read2").last(), "read2 0 1 4 48879 0");
    ASSERT_EQ(settled([&] {
                  EXPECT_TRUE(QMetaObject::invokeMethod(s.modbus.get(), "multiturnClear", Q_RETURN_ARG(int, result),
                                                        Q_ARG(uchar, kId), Q_ARG(uchar, 1), Q_ARG(ushort, 546)));
                  return result;
              }),
              COMM_OK);
    EXPECT_EQ(s.servo.reg(273), 273);
    EXPECT_TRUE(QMetaObject::invokeMethod(s.modbus.get(), "close"));
    EXPECT_EQ(s.record.seen.last(), "closed");
}

TEST(ModbusLink, AWaitRunsNoOtherEventOfItsThread)
{
    // The wait for an answer is synchronous: an event of the thread (here an
    // open that would replace the link under the wait) runs after it.
    OnServo s;
    s.servo.setRegister(2, 0x0102);
    ASSERT_TRUE(s.open());
    s.fault([](sim::ModbusFaults &f) { f.readDelayMs = 30; });
    bool reopened = false;
    QTimer::singleShot(0, s.modbus.get(), [&] { reopened = s.modbus->open(s.servo.portName(), kBaud); });
    int value = 77;
    uchar error = 0;
    const int result = s.modbus->read2Byte(kId, 4, &value, &error);
    EXPECT_FALSE(reopened) << "the open ran inside the wait";
    if (result == COMM_OK) { // else a loaded machine missed the 50 ms window
        EXPECT_EQ(value, 0x0102);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return reopened; }, 5000)) << "the open ran once the thread was free";
    s.fault([](sim::ModbusFaults &) {});
    EXPECT_EQ(settled([&] { return s.modbus->read2Byte(kId, 4, &value, &error); }), COMM_OK);
    EXPECT_EQ(value, 0x0102);
}
