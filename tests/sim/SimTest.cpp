// The test kit itself: what the engine tests and the end-to-end tests rely on.
#include "tests/sim/SimBus.h"
#include "tests/sim/SimModels.h"
#include "tests/sim/SimOptions.h"
#include "tests/sim/SimPackets.h"
#include "tests/support/QtPrinters.h"

#include "device/QvxModelRegistry.h"

#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// Reads from the port until `count` bytes came or a second passed.
QByteArray readBytes(QSerialPort &port, qsizetype count)
{
    QByteArray got;
    for (int i = 0; i < 100 && got.size() < count; ++i) {
        if (port.bytesAvailable() > 0 || port.waitForReadyRead(10))
            got += port.readAll();
    }
    return got;
}

struct OpenBus
{
    sim::SimBus bus;
    QSerialPort port;
    OpenBus()
    {
        port.setPortName(bus.portName());
        port.setBaudRate(57600);
    }
    bool open() { return bus.isOpen() && port.open(QIODevice::ReadWrite); }
    QByteArray exchange(const QByteArray &request, qsizetype replySize)
    {
        port.write(request);
        port.waitForBytesWritten(1000);
        return readBytes(port, replySize);
    }
};

} // namespace

TEST(SimPackets, CrcAndStuffingMatchTheProtocolExamples)
{
    EXPECT_EQ(sim::crc16("123456789"), 0xFEE8);
    EXPECT_EQ(sim::packet2(1, 0x01), sim::fromHex("FF FF FD 00 01 03 00 01 19 4E"));
    // WRITE of FF FF FD 00 to 0x0074: one FD inserted, LEN raised.
    EXPECT_EQ(sim::packet2(1, 0x03, sim::fromHex("74 00 FF FF FD 00")),
              sim::fromHex("FF FF FD 00 01 0A 00 03 74 00 FF FF FD FD 00 21 E7"));
    EXPECT_EQ(sim::unstuffBody(sim::fromHex("03 FF FF FD FD FF FF FD FD")), sim::fromHex("03 FF FF FD FF FF FD"));
    EXPECT_EQ(sim::packet1(1, 0x01), sim::fromHex("FF FF 01 02 01 FB"));
}

TEST(SimBusLink, DevicesAnswerOverARealSerialPort)
{
    OpenBus b;
    ASSERT_TRUE(b.open()) << b.bus.errorString().toStdString() << b.port.errorString().toStdString();
    b.bus.addDevice(sim::Device::protocol2(1, 1020, 53));
    b.bus.addDevice(sim::Device::protocol1(3, 12, 7));

    EXPECT_EQ(b.exchange(sim::packet2(1, 0x01), 14), sim::status2(1, 0, sim::fromHex("FC 03 35")));
    EXPECT_EQ(b.exchange(sim::packet1(3, 0x02, sim::fromHex("00 04")), 10),
              sim::packet1(3, 0, sim::fromHex("0C 00 07 03")));
    // Nobody at ID 9: no answer (the next reply comes alone), but the
    // instruction is on record.
    b.port.write(sim::packet2(9, 0x01));
    EXPECT_EQ(b.exchange(sim::packet2(1, 0x01), 14), sim::status2(1, 0, sim::fromHex("FC 03 35")));

    const QList<sim::Instruction> got = b.bus.received();
    ASSERT_EQ(got.size(), 4);
    EXPECT_EQ(got[0].logLine(), "2.0 1 PING");
    EXPECT_EQ(got[1].logLine(), "1.0 3 READ 00 04");
    EXPECT_EQ(got[2].id, 9);
}

TEST(SimBusLink, WritesChangeTheTableAndTheIdMovesTheDevice)
{
    OpenBus b;
    ASSERT_TRUE(b.open());
    b.bus.addDevice(sim::Device::protocol2(1, 1020, 53));
    EXPECT_EQ(b.exchange(sim::packet2(1, 0x03, sim::fromHex("40 00 01")), 11), sim::status2(1, 0));
    EXPECT_EQ(b.bus.memory(1, 64, 1), sim::fromHex("01"));
    // The reply to the ID change still comes from the old ID.
    EXPECT_EQ(b.exchange(sim::packet2(1, 0x03, sim::fromHex("07 00 05")), 11), sim::status2(1, 0));
    EXPECT_FALSE(b.bus.device(1).has_value());
    EXPECT_EQ(b.bus.memory(5, 64, 1), sim::fromHex("01"));
}

TEST(SimBusLink, ADeviceSetToABaudRateHearsOnlyThatRate)
{
    OpenBus b;
    ASSERT_TRUE(b.open());
    sim::Device dev = sim::Device::protocol2(1, 1020, 53);
    dev.baudRate = 1000000;
    b.bus.addDevice(dev);
    b.bus.addDevice(sim::Device::protocol2(2, 1130, 40)); // any rate
    // At 57600 only device 2 answers the broadcast ping.
    EXPECT_EQ(b.exchange(sim::packet2(0xFE, 0x01), 14), sim::status2(2, 0, sim::fromHex("6A 04 28")));
    b.port.setBaudRate(1000000);
    EXPECT_EQ(b.exchange(sim::packet2(0xFE, 0x01), 28),
              sim::status2(1, 0, sim::fromHex("FC 03 35")) + sim::status2(2, 0, sim::fromHex("6A 04 28")));
}

TEST(SimBusLink, FaultsShapeTheReply)
{
    struct Case
    {
        const char *name;
        sim::Faults faults;
        QByteArray expected;
    };
    const QByteArray good = sim::status2(1, 0, sim::fromHex("FC 03 35"));
    QByteArray corrupt = good;
    corrupt[13] = static_cast<char>(corrupt.at(13) ^ 0x5A);
    sim::Faults f;
    const Case cases[] = {
        {"corrupt", [&] { auto x = f; x.corruptChecksum = true; return x; }(), corrupt},
        {"truncate", [&] { auto x = f; x.truncateTo = 9; return x; }(), good.left(9)},
        {"noise", [&] { auto x = f; x.noise = sim::fromHex("00 11"); return x; }(), sim::fromHex("00 11") + good},
        {"error", [&] { auto x = f; x.error = 0x84; return x; }(), sim::status2(1, 0x84, sim::fromHex("FC 03 35"))},
        {"omit data", [&] { auto x = f; x.omitData = true; return x; }(), sim::status2(1, 0)},
    };
    OpenBus b;
    ASSERT_TRUE(b.open());
    b.bus.addDevice(sim::Device::protocol2(1, 1020, 53));
    for (const Case &c : cases) {
        b.bus.setFaults(1, c.faults);
        EXPECT_EQ(b.exchange(sim::packet2(1, 0x01), c.expected.size()), c.expected) << c.name;
        b.port.clear();
    }
}

TEST(SimModels, DevicesFromDescriptionsCarryTheirLayoutAndInitialValues)
{
    QvxModelRegistry registry;
    registry.load(":/device/assets/xml/", false);
    struct Case
    {
        quint16 model;
        std::optional<int> firmware;
        int expectedFirmware;
        sim::Protocol protocol;
    };
    const Case cases[] = {
        {1020, std::nullopt, 55, sim::Protocol::V2}, // the latest release
        {1020, 52, 52, sim::Protocol::V2},           // the version-0 description
        {12, 7, 7, sim::Protocol::V1},
        {400, std::nullopt, 14, sim::Protocol::V2},
    };
    for (const Case &c : cases) {
        QString error;
        const auto dev = sim::builtInDevice(c.model, 9, c.firmware, &error);
        ASSERT_TRUE(dev.has_value()) << c.model << ": " << error.toStdString();
        const QvxDeviceModel *model = registry.find(c.model, c.expectedFirmware);
        ASSERT_NE(model, nullptr) << c.model;
        EXPECT_EQ(dev->protocol, c.protocol) << c.model;
        EXPECT_EQ(dev->table.size(), model->tableSize) << c.model;
        EXPECT_EQ(dev->firmware, c.expectedFirmware) << c.model;
        auto at = [&](const QString &name) {
            const QvxControlItem *item = model->itemsByName.value(name);
            return item ? dev->table.mid(item->address, item->length) : QByteArray("missing");
        };
        EXPECT_EQ(at("Model Number"), QByteArray::fromRawData(reinterpret_cast<const char *>(&c.model), 2)) << c.model;
        EXPECT_EQ(at("Firmware Version"), QByteArray(1, static_cast<char>(c.expectedFirmware))) << c.model;
        EXPECT_EQ(at("ID"), sim::fromHex("09")) << c.model;
        EXPECT_EQ(dev->idAddress, model->itemsByName.value("ID")->address) << c.model;
        for (const QvxControlItem *item : model->itemsByAddress) {
            if (item->name == "Model Number" || item->name == "Firmware Version" || item->name == "ID" ||
                item->length > 4)
                continue;
            const quint32 init = static_cast<quint32>(item->init);
            EXPECT_EQ(at(item->name), QByteArray(reinterpret_cast<const char *>(&init), item->length))
                << c.model << " " << item->name.toStdString();
        }
    }
    QString error;
    EXPECT_FALSE(sim::builtInDevice(2200, 1, std::nullopt, &error).has_value()) << "a Modbus model";
    EXPECT_TRUE(error.contains("Modbus"));
    EXPECT_FALSE(sim::builtInDevice(4242, 1, std::nullopt, &error).has_value()) << "an unknown model";
}

TEST(SimOptions, DeviceTextBuildsTheDeviceOrSaysWhatIsWrong)
{
    QString error;
    const auto dev =
        sim::parseDevice("id=3,model=12,fw=7,protocol=1.0,baud=1000000,mem=30:0002,error=4,delay=20,silent", &error);
    ASSERT_TRUE(dev.has_value()) << error.toStdString();
    EXPECT_EQ(dev->protocol, sim::Protocol::V1);
    EXPECT_EQ(dev->table.size(), 50);
    EXPECT_EQ(dev->table.mid(0, 4), sim::fromHex("0C 00 07 03"));
    EXPECT_EQ(dev->table.mid(30, 2), sim::fromHex("00 02"));
    EXPECT_EQ(dev->baudRate, 1000000);
    EXPECT_EQ(dev->faults.error, 4);
    EXPECT_EQ(dev->faults.delayMs, 20);
    EXPECT_TRUE(dev->faults.silent);

    // A model without a description is built by code.
    const auto plain = sim::parseDevice("id=4,model=77,protocol=1.0,size=60", &error);
    ASSERT_TRUE(plain.has_value()) << error.toStdString();
    EXPECT_EQ(plain->table.size(), 60);
    EXPECT_EQ(plain->table.mid(0, 4), sim::fromHex("4D 00 00 04"));

    for (const char *bad : {"model=12", "id=1", "id=300,model=1", "id=1,model=1,protocol=3.0", "id=1,model=1,mem=300:00",
                            "id=1,model=1,noise=F", "id=1,model=1,colour=red", "id=1,model=1,fw",
                            "id=1,model=2200", "id=1,model=1020,size=300", "id=1,model=12,protocol=2.0"}) {
        error.clear();
        EXPECT_FALSE(sim::parseDevice(bad, &error).has_value()) << bad;
        EXPECT_FALSE(error.isEmpty()) << bad;
    }
}

TEST(SimOptions, BootloaderKeysGiveTheDeviceItsBootloader)
{
    QString error;
    const auto dev = sim::parseDevice("id=1,model=1020,boot=4,boot-reject-block,boot-answer=FAIL,boot-silent-after=300,"
                                      "boot-nul-echoes=2,boot-split=20,boot-never,boot-reject-load,boot-wrong-sum",
                                      &error);
    ASSERT_TRUE(dev.has_value()) << error.toStdString();
    ASSERT_TRUE(dev->bootloader.has_value());
    const sim::BootloaderSetup &boot = *dev->bootloader;
    EXPECT_EQ(boot.dialect, 4);
    EXPECT_FALSE(boot.packets);
    EXPECT_TRUE(boot.faults.rejectBlock && boot.faults.neverEnters && boot.faults.rejectLoad && boot.faults.wrongSum);
    EXPECT_EQ(boot.faults.streamAnswer, "FAIL");
    EXPECT_EQ(boot.faults.silentAfter, 300);
    EXPECT_EQ(boot.faults.nulEchoes, 2);
    EXPECT_EQ(boot.faults.splitGapMs, 20);

    const auto packets = sim::parseDevice("id=2,model=1130,boot=packets", &error);
    ASSERT_TRUE(packets.has_value()) << error.toStdString();
    EXPECT_TRUE(packets->bootloader->packets);
    EXPECT_FALSE(sim::parseDevice("id=1,model=1020", &error)->bootloader.has_value());

    for (const char *bad : {"id=1,model=1020,boot=6", "id=1,model=1020,boot=console", "id=1,model=1020,boot-never",
                            "id=1,model=1020,boot=2,boot-split=-1", "id=1,model=1020,boot=2,boot-loud"}) {
        error.clear();
        EXPECT_FALSE(sim::parseDevice(bad, &error).has_value()) << bad;
        EXPECT_FALSE(error.isEmpty()) << bad;
    }
}

TEST(SimProgram, PrintsThePortServesDevicesAndLogsInstructions)
{
    QTemporaryDir dir;
    const QString logPath = dir.filePath("received.log");
    QProcess simProgram;
    simProgram.start(qEnvironmentVariable("ZEPHLET_SIM"),
                     {"--device", "id=1,model=1020,fw=53", "--device", "id=2,model=1130,fw=40", "--log", logPath});
    ASSERT_TRUE(simProgram.waitForStarted());
    ASSERT_TRUE(simProgram.waitForReadyRead(5000));
    const QString portName = QString::fromLocal8Bit(simProgram.readLine()).trimmed();
    ASSERT_TRUE(portName.startsWith("/dev/")) << portName.toStdString();

    QSerialPort port;
    port.setPortName(portName);
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    port.write(sim::packet2(2, 0x01));
    port.waitForBytesWritten(1000);
    EXPECT_EQ(readBytes(port, 14), sim::status2(2, 0, sim::fromHex("6A 04 28")));
    port.write(sim::packet2(1, 0x03, sim::fromHex("40 00 01")));
    port.waitForBytesWritten(1000);
    EXPECT_EQ(readBytes(port, 11), sim::status2(1, 0));
    port.close();

    simProgram.kill();
    simProgram.waitForFinished();
    QFile log(logPath);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_EQ(log.readAll(), "2.0 2 PING\n2.0 1 WRITE 40 00 01\n");
}

TEST(SimProgram, RefusesABadDeviceText)
{
    QProcess simProgram;
    simProgram.start(qEnvironmentVariable("ZEPHLET_SIM"), {"--device", "id=1"});
    ASSERT_TRUE(simProgram.waitForFinished(5000));
    EXPECT_EQ(simProgram.exitCode(), 2);
    EXPECT_TRUE(simProgram.readAllStandardOutput().isEmpty());
    EXPECT_TRUE(simProgram.readAllStandardError().contains("model is missing"));
}
