// The transports as the meta-object system shows them: class names, signals
// and slots in their order, the registered value types, and calls by name
// with the defaulted arguments left out.
#include "PortOnBus.h"

#include "tests/support/MetaMethods.h"
#include "tests/support/QtPrinters.h"

#include <QMetaMethod>
#include <gtest/gtest.h>

namespace {

QStringList names(const QStringList &signatures)
{
    QStringList out;
    for (const QString &s : signatures)
        out << s.left(s.indexOf('('));
    return out;
}

} // namespace

TEST(TransportMetaObject, ClassNames)
{
    EXPECT_STREQ(QvxComm::staticMetaObject.className(), "QvxComm");
    EXPECT_STREQ(QvxProtocolComm::staticMetaObject.className(), "QvxProtocolComm");
    EXPECT_STREQ(QvxPort::staticMetaObject.className(), "QvxPort");
    EXPECT_EQ(QvxProtocolComm::staticMetaObject.superClass(), &QvxComm::staticMetaObject);
    EXPECT_EQ(QvxPort::staticMetaObject.superClass(), &QvxProtocolComm::staticMetaObject);
}

TEST(TransportMetaObject, AbstractTransportSignalsInOrder)
{
    const QStringList expected{
        "logMessage(QString)",
        "openFailed(QString,int)",
        "openSucceed(QString,int)",
        "closed()",
        "stateChanged(QvxComm::State)",
        "qvxFound(uchar,ushort,uchar)",
        "shufflePingStatus(uchar,uchar,ushort,uchar)",
        "shuffleIdStatus(uchar,uchar,ushort,uchar)",
        "read1ByteCompleted(int,uchar,ushort,uchar,uchar)",
        "read2ByteCompleted(int,uchar,ushort,ushort,uchar)",
        "read4ByteCompleted(int,uchar,ushort,uint,uchar)",
        "write1ByteCompleted(int,uchar,ushort,uchar,uchar)",
        "write2ByteCompleted(int,uchar,ushort,ushort,uchar)",
        "write4ByteCompleted(int,uchar,ushort,uint,uchar)",
        "sysWrite1ByteCompleted(int,uchar,ushort,uchar,uchar)",
        "sysWrite2ByteCompleted(int,uchar,ushort,ushort,uchar)",
        "sysWrite4ByteCompleted(int,uchar,ushort,uint,uchar)",
        "resetCompleted(int,uchar,uchar)",
        "rebootCompleted(int,uchar,uchar)",
        "clearCompleted(int,uchar,uchar)",
        "multiturnClearCompleted(int,uchar,uchar)",
        "updateRxStatus(bool)",
        "updateTxStatus(bool)",
        "outputPacket(QvxProtocol::PacketItem)",
        "updateCompleted(int,uchar,ushort,QByteArray,uchar,qlonglong)",
        "graphReadCompleted(int,uchar,ushort,ushort,QByteArray,uchar,qlonglong)",
        "getErrorHistoryCompleted(int,QStringList)",
        "restoreWriteCompleted(int,uchar)",
        "auxBackupCompleted(int,uchar,uchar)",
        "auxRestoreCompleted(int,uchar,uchar)",
        "multiGraphReadCompleted(int,qvx::MultiGraphReadResults,qlonglong)",
        "agingCompleted()",
        "agingStopped()",
        "multiAgingCompleted()",
        "multiAgingStopped(int)",
        "multiAgingStopped()",
        "motionAgingStopped(int)",
        "motionAgingStopped()",
        "dumpReadCompleted(int)",
        "dumpReadDataCompleted(int,uchar,int,QByteArray)",
        "readHandPresetDataCompleted(int,uchar,ushort,qvx::HandPresetData,uchar)",
        "writeHandPresetDataCompleted(int,uchar,ushort,uchar)",
    };
    EXPECT_EQ(ownMethods(QvxComm::staticMetaObject, QMetaMethod::Signal), expected);
    EXPECT_EQ(expected.size(), 42);
    // Parameter names as declared.
    const QMetaMethod graph = QvxComm::staticMetaObject.method(
        QvxComm::staticMetaObject.indexOfSignal("graphReadCompleted(int,uchar,ushort,ushort,QByteArray,uchar,qlonglong)"));
    EXPECT_EQ(graph.parameterNames(),
              (QList<QByteArray>{"result", "id", "address", "length", "data", "error", "tick"}));
}

TEST(TransportMetaObject, AbstractTransportSlotsInOrder)
{
    const QStringList expected{
        "connectQvx", "disconnectQvx", "open", "close",
        "write1ByteTxRx", "write1ByteTxRx", "write2ByteTxRx", "write2ByteTxRx", "write4ByteTxRx", "write4ByteTxRx",
        "read1ByteTxRx", "read1ByteTxRx", "read2ByteTxRx", "read2ByteTxRx", "read4ByteTxRx", "read4ByteTxRx",
        "sysWrite1ByteTxRx", "sysWrite1ByteTxRx", "sysWrite2ByteTxRx", "sysWrite2ByteTxRx",
        "sysWrite4ByteTxRx", "sysWrite4ByteTxRx",
        "reset", "reset", "reboot", "reboot", "clear", "clear", "multiturnClear", "multiturnClear",
        "syncWrite", "syncWrite", "auxBackup", "auxBackup", "auxRestore", "auxRestore",
        "startGraph", "stopGraph", "startUpdate", "stopUpdate", "setUpdateInterval", "getErrorHistory",
        "onGraphTimer", "onUpdateTimer", "startMultiGraph", "startMultiGraph", "stopMultiGraph", "onMultiGraphTimer",
        "startAging", "stopAging", "onAgingTimer", "startMultiAging", "stopMultiAging", "onMultiAgingTimer",
        "startMotionAging", "stopMotionAging", "onMotionAgingTimer", "dumpRead", "readHandPresetData",
        "writeHandPresetData",
    };
    const QStringList declared = ownMethods(QvxComm::staticMetaObject, QMetaMethod::Slot);
    EXPECT_EQ(names(declared), expected);
    EXPECT_TRUE(declared.contains("startAging(uchar,ushort,ushort,int,QvxComm::AgingDatas,QvxComm::AgingDatas)"));
    EXPECT_TRUE(declared.contains("startMultiAging(QvxComm::MultiAgingParams,qvx::MultiAgingOption)"));
    EXPECT_TRUE(declared.contains("startMultiGraph(qvx::MultiGraphReadParams,int,bool)"));
    EXPECT_TRUE(declared.contains("dumpRead(QvxComm::DumpType)"));
}

TEST(TransportMetaObject, PacketEngineTransportSlots)
{
    const QStringList expected{
        "write1ByteTxRx(uchar,ushort,uchar,QString)", "write1ByteTxRx(uchar,ushort,uchar)",
        "write2ByteTxRx(uchar,ushort,ushort,QString)", "write2ByteTxRx(uchar,ushort,ushort)",
        "write4ByteTxRx(uchar,ushort,uint,QString)", "write4ByteTxRx(uchar,ushort,uint)",
        "read1ByteTxRx(uchar,ushort,QString)", "read1ByteTxRx(uchar,ushort)",
        "read2ByteTxRx(uchar,ushort,QString)", "read2ByteTxRx(uchar,ushort)",
        "read4ByteTxRx(uchar,ushort,QString)", "read4ByteTxRx(uchar,ushort)",
        "sysWrite1ByteTxRx(uchar,ushort,uchar,QString)", "sysWrite1ByteTxRx(uchar,ushort,uchar)",
        "sysWrite2ByteTxRx(uchar,ushort,ushort,QString)", "sysWrite2ByteTxRx(uchar,ushort,ushort)",
        "sysWrite4ByteTxRx(uchar,ushort,uint,QString)", "sysWrite4ByteTxRx(uchar,ushort,uint)",
        "syncWrite(ushort,ushort,QByteArray,QString)", "syncWrite(ushort,ushort,QByteArray)",
        "reset(uchar,ushort)", "reset(uchar)", "reset(uchar,quint8&,bool)", "reset(uchar,quint8&)",
        "reboot(uchar,ushort)", "reboot(uchar)", "reboot(uchar,quint8&,bool)", "reboot(uchar,quint8&)",
        "clear(uchar,uchar,ushort)", "clear(uchar,uchar)", "clear(uchar,uchar,quint8&,bool)",
        "clear(uchar,uchar,quint8&)",
        "multiturnClear(uchar,uchar,ushort)", "multiturnClear(uchar,uchar)", "multiturnClear(uchar,uchar,quint8&)",
        "auxBackup(uchar,ushort)", "auxBackup(uchar)", "auxRestore(uchar,ushort)", "auxRestore(uchar)",
        "startMultiGraph(qvx::MultiGraphReadParams,int,bool)", "startMultiGraph(qvx::MultiGraphReadParams,int)",
        "readHandPresetData(uchar,ushort,int)",
        "writeHandPresetData(uchar,ushort,qvx::HandPresetData,int)",
    };
    EXPECT_EQ(ownMethods(QvxProtocolComm::staticMetaObject, QMetaMethod::Slot), expected);
    EXPECT_TRUE(ownMethods(QvxProtocolComm::staticMetaObject, QMetaMethod::Signal).isEmpty());
}

TEST(TransportMetaObject, SerialTransportSlotsAndSignals)
{
    EXPECT_EQ(ownMethods(QvxPort::staticMetaObject, QMetaMethod::Slot),
              (QStringList{"open(QString,int)", "close()", "handleReadyRead()",
                           "handleError(QSerialPort::SerialPortError)", "writeRaw(QByteArray)", "startPlay()",
                           "stopPlay()", "onPlayTimer()", "onModbusTimeoutTimer()"}));
    EXPECT_EQ(ownMethods(QvxPort::staticMetaObject, QMetaMethod::Signal),
              (QStringList{"readCompleted(int,uchar,ushort,ushort,QByteArray,uchar)", "playStopped()",
                           "playIndexChanged(int)"}));
}

TEST(TransportMetaObject, ValueTypesAreRegisteredUnderTheirNames)
{
    QvxPort port(false); // registers on construction
    for (const char *name : {"QvxComm::State", "QvxComm::DumpType", "QvxComm::AgingDatas",
                             "QvxComm::MultiAgingParams", "qvx::MultiGraphReadParams", "qvx::MultiGraphReadResults",
                             "qvx::HandPresetData", "qvx::MotionAgingOption", "qvx::MultiAgingOption",
                             "QvxProtocol::PacketItem"})
        EXPECT_TRUE(QMetaType::fromName(name).isValid()) << name;
}

TEST(TransportMetaObject, SlotsAreCallableByNameWithoutTheirDefaults)
{
    PortOnBus b;
    b.addServo(1);
    QList<int> reboots;
    QObject::connect(b.port.get(), &QvxComm::rebootCompleted, [&](int r, uchar id, uchar) { reboots << r << id; });
    bool opened = false;
    ASSERT_TRUE(QMetaObject::invokeMethod(b.port.get(), "open", Q_RETURN_ARG(bool, opened),
                                          Q_ARG(QString, b.bus.portName()), Q_ARG(int, 57600)));
    ASSERT_TRUE(opened);
    int result = -9;
    ASSERT_TRUE(QMetaObject::invokeMethod(b.port.get(), "reboot", Q_RETURN_ARG(int, result), Q_ARG(uchar, 1)));
    EXPECT_EQ(result, COMM_OK);
    EXPECT_EQ(reboots, (QList<int>{COMM_OK, 1}));
    ASSERT_TRUE(QMetaObject::invokeMethod(b.port.get(), "write1ByteTxRx", Q_RETURN_ARG(int, result),
                                          Q_ARG(uchar, 1), Q_ARG(ushort, 64), Q_ARG(uchar, 1)));
    EXPECT_EQ(result, COMM_OK);
    EXPECT_EQ(b.bus.memory(1, 64, 1), QByteArray(1, '\x01'));
    QvxComm::DumpType none;
    EXPECT_TRUE(QMetaObject::invokeMethod(b.port.get(), "dumpRead", Q_ARG(QvxComm::DumpType, none)));
    EXPECT_TRUE(QMetaObject::invokeMethod(b.port.get(), "close"));
    EXPECT_FALSE(b.port->isOpen());
}
