// The console's firmware update flow: the progress line, the order it fills
// from a description, and the question before the update, on the simulated
// bus with keys typed into the real line editor.

#include "control/FirmwareUpdateFlow.h"
#include "tests/control/ControlOnBus.h"
#include "tests/fw/UpdateBench.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QSerialPort>
#include <QTemporaryDir>

namespace {

using namespace control_test;

// A description with the items the update order is made of; `more` adds or
// replaces items, `type` is the device kind.
QByteArray updateDescription(const QString &name, int modelNumber, const QString &type, const QString &items)
{
    return DescriptionFolder::withItems(
        QStringLiteral("Name=\"%1\" ModelNumber=\"%2\" Type=\"%3\" MinimumVersion=\"0\"").arg(name).arg(modelNumber).arg(type),
        QStringLiteral("<Item Address=\"0\" Memory=\"1\" Name=\"Model Number\" RW=\"1\" Length=\"2\" UI=\"0\"/>"
                       "<Item Address=\"6\" Memory=\"1\" Name=\"Firmware Version\" RW=\"1\" Length=\"1\" UI=\"0\"/>"
                       "<Item Address=\"7\" Memory=\"1\" Name=\"ID\" RW=\"3\" Length=\"1\" Min=\"0\" Max=\"252\" Init=\"1\" UI=\"1\"/>") +
            items,
        QStringLiteral("<ReleaseNotes MinimumVersion=\"0\">"
                       "<Release Version=\"45\" FileName=\"%1_45\" Enable=\"1\" Encrypt=\"0\"/>"
                       "<Release Version=\"46\" FileName=\"%1_46\" Enable=\"1\" Encrypt=\"1\"/>"
                       "<Release Version=\"47\" FileName=\"%1_47\" Enable=\"0\" Encrypt=\"0\"/>"
                       "</ReleaseNotes>")
            .arg(name));
}

QString baudItem(int address, int init)
{
    return QStringLiteral("<Item Address=\"%1\" Memory=\"1\" Name=\"Baud Rate (Bus)\" RW=\"3\" Length=\"1\" Min=\"0\""
                          " Max=\"7\" Init=\"%2\" UI=\"3\"/>")
        .arg(address)
        .arg(init);
}

QString protocolTypeItem(int address, const QString &min, const QString &max)
{
    return QStringLiteral("<Item Address=\"%1\" Memory=\"1\" Name=\"Protocol Type\" RW=\"3\" Length=\"1\" Min=\"%2\""
                          " Max=\"%3\" Init=\"2\" UI=\"3\"/>")
        .arg(address)
        .arg(min, max);
}

const QString kTorqueItem = QStringLiteral(
    "<Item Address=\"64\" Memory=\"2\" Name=\"Torque Enable\" RW=\"3\" Length=\"1\" Min=\"0\" Max=\"1\" UI=\"3\"/>");

const QByteArray kQuestion = "Do you want to proceed with firmware update? [Y/n]: ";

} // namespace

TEST(FirmwareProgressLine, TextHasThirtyCellsAndAPaddedNumber)
{
    const struct
    {
        int percent;
        const char *text;
    } cases[] = {
        {0, "Firmware update [------------------------------]   0%"},
        {45, "Firmware update [#############-----------------]  45%"},
        {100, "Firmware update [##############################] 100%"},
        {101, "Firmware update [##############################] 100%"},
        {-5, "Firmware update [------------------------------]   0%"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(FirmwareUpdateFlow::progressText(c.percent), QString::fromLatin1(c.text)) << c.percent;
}

TEST(FirmwareProgressLine, RedrawnInPlaceOnlyWhenTheNumberChanges)
{
    QvxControl control(nullptr);
    FirmwareUpdateFlow &flow = control.firmwareUpdate();
    OutputCapture output;
    const QByteArray zero = "\r" + FirmwareUpdateFlow::progressText(0).toUtf8();
    const QByteArray one = "\r" + FirmwareUpdateFlow::progressText(1).toUtf8();

    flow.onFirmwareProgress(0);
    flow.onFirmwareProgress(0);
    flow.onFirmwareProgress(1);
    EXPECT_EQ(output.take(), zero + one);
    // -5 is drawn as 0 but kept as -5, so a following 0 draws again.
    flow.onFirmwareProgress(-5);
    flow.onFirmwareProgress(0);
    EXPECT_EQ(output.take(), zero + zero);

    // The outcome ends the open line first, once.
    flow.onFirmwareFailed(QStringLiteral("Firmware Transfer Failed"));
    EXPECT_EQ(output.take(), QByteArray("\n[Error] Firmware update failed: Firmware Transfer Failed\n"));
    EXPECT_FALSE(flow.progressLineOpen());
    EXPECT_EQ(flow.progressPercent(), -1);
    flow.onFirmwareComplete();
    EXPECT_EQ(output.take(), QByteArray("[Success] Firmware update complete\n"));
}

TEST(FirmwareUpdateOrder, FilledFromTheDescriptionAndTheConnection)
{
    struct Case
    {
        const char *what;
        QString items;
        ushort protocolTypeAddress;
        ushort modbusProtocolTypeAddress;
        int torqueEnableAddress;
    };
    const Case cases[] = {
        {"protocol 1.0 or 2.0", protocolTypeItem(13, "1", "2") + kTorqueItem, 13, 0, 64},
        {"a range that reaches Modbus", protocolTypeItem(13, "1", "10"), 0, 13, -1},
        {"a range above Modbus", protocolTypeItem(13, "11", "20"), 13, 0, -1},
        {"limits that are no numbers count as 0", protocolTypeItem(13, "addr7", "x"), 13, 0, -1},
        {"no protocol type", kTorqueItem, 0, 0, 64},
    };
    for (const Case &c : cases) {
        DescriptionFolder folder;
        folder.write(QStringLiteral("qx.xml"),
                     updateDescription(QStringLiteral("QX-20"), 1500, QStringLiteral("Quorvex2"), baudItem(8, 0x103) + c.items));
        QvxModelRegistry registry;
        registry.load(folder.path(), true);
        const QvxDeviceModel *model = registry.find(1500, 45);
        ASSERT_NE(model, nullptr) << c.what;
        const std::optional<QvxFirmware::UpdateParam> order =
            FirmwareUpdateFlow::updateOrder(*model, QStringLiteral("/dev/ttyX"), 1000000, 9);
        ASSERT_TRUE(order) << c.what;
        EXPECT_EQ(order->portName, QStringLiteral("/dev/ttyX")) << c.what;
        EXPECT_EQ(order->baudrate, 1000000) << c.what;
        EXPECT_EQ(order->id, 9) << c.what;
        EXPECT_EQ(order->protocolVersion, QStringLiteral("2.0")) << c.what;
        EXPECT_EQ(order->protocolTypeAddress, c.protocolTypeAddress) << c.what;
        EXPECT_EQ(order->modbusProtocolTypeAddress, c.modbusProtocolTypeAddress) << c.what;
        EXPECT_EQ(order->modelName, QStringLiteral("QX-20")) << c.what;
        EXPECT_EQ(order->deviceKind, QStringLiteral("Quorvex2")) << c.what;
        EXPECT_EQ(order->defaultBaudValue, 3) << c.what << ": the low 8 bits of Init";
        EXPECT_EQ(order->baudRateAddress, 8) << c.what;
        EXPECT_EQ(order->latestFirmwareVersion, 46) << c.what << ": the last enabled release";
        EXPECT_EQ(order->firmwarePath, QStringLiteral(":/fw/assets/fw/QX-20_46.ecp")) << c.what;
        EXPECT_TRUE(order->spareFlag) << c.what;
        EXPECT_TRUE(order->spareRecords.isEmpty()) << c.what;
        EXPECT_EQ(order->modbusResetAddress, 0) << c.what;
        EXPECT_EQ(order->modbusBootEntryAddress, 0) << c.what;
        EXPECT_EQ(order->torqueEnableAddress, c.torqueEnableAddress) << c.what;
        EXPECT_EQ(order->masterId, -1) << c.what;
        EXPECT_EQ(order->masterBaudAddressA, 0) << c.what;
        EXPECT_EQ(order->masterBaudAddressB, 0) << c.what;
    }

    DescriptionFolder folder;
    folder.write(QStringLiteral("qx.xml"), updateDescription(QStringLiteral("QX-20"), 1500, QStringLiteral("Quorvex2"), kTorqueItem));
    QvxModelRegistry registry;
    registry.load(folder.path(), true);
    ASSERT_NE(registry.find(1500, 45), nullptr);
    EXPECT_FALSE(FirmwareUpdateFlow::updateOrder(*registry.find(1500, 45), QStringLiteral("/dev/ttyX"), 57600, 1))
        << "no update without a \"Baud Rate (Bus)\" item";
}

// The question on the simulated bus. The device kind has no procedure, so an
// update that starts ends at once after the board probe with "Device Type is
// Unknown" and writes nothing; a WRITE in the record would be the update
// going further than it should.
class UpdateQuestion : public ControlOnBus
{
protected:
    static constexpr quint8 kServo = 2;

    void SetUp() override
    {
        folder_.writeDescription(QStringLiteral("qx-20.xml"),
                                 updateDescription(QStringLiteral("QX-20"), 1500, QStringLiteral("Quorvex9"),
                                                   baudItem(8, 3) + protocolTypeItem(13, "1", "2") + kTorqueItem));
        ControlOnBus::SetUp();
        bus_.addDevice(sim::Device::protocol2(kServo, 1500, 45));
        bus_.addDevice(sim::Device::protocol2(3, 1500, 46));
        bus_.addDevice(sim::Device::protocol2(4, 1500, 47));
    }

    // Everything up to the question of an update of the servo.
    static QByteArray opening()
    {
        return "[ID:002] QX-20, v45\ncurrent : 45 ==> latest : 46\n" + kQuestion;
    }

    bool writeReceived() const
    {
        for (const sim::Instruction &in : bus_.received()) {
            if (in.logLine().contains(QLatin1String("WRITE")))
                return true;
        }
        return false;
    }
};

TEST_F(UpdateQuestion, YesAnEmptyLineOrYesWithBlanksStartTheUpdate)
{
    for (const QByteArray &answer : {QByteArray(""), QByteArray("Y"), QByteArray("  yes ")}) {
        control_->transport()->setTimeout(kSlackMs); // an update leaves 5000 ms behind
        type(answer + "\n");
        control_->updateFirmware(kServo);
        EXPECT_EQ(out(), QString::fromUtf8(opening() + answer + "\nStarting firmware update...\n"
                                                                "[Error] Firmware update failed: Device Type is Unknown\n"))
            << answer.toStdString();
        EXPECT_TRUE(control_->isPortOpen()) << "opened again after the update closed it";
        EXPECT_EQ(control_->lastId(), kServo);
    }
    EXPECT_FALSE(writeReceived());
}

TEST_F(UpdateQuestion, NoCancelsAndOtherWordsAskAgain)
{
    type("maybe\nNo\n");
    control_->updateFirmware(kServo);
    EXPECT_EQ(out(), QString::fromUtf8(opening() + "maybe\n" + kQuestion + "No\nFirmware update cancelled.\n"));
    EXPECT_EQ(bus_.received().size(), 1) << "the identifying ping only";
    EXPECT_TRUE(control_->isPortOpen());
}

TEST_F(UpdateQuestion, CtrlCOrTheEndOfInputAtTheQuestionCancelsWithNothingSent)
{
    // Ctrl+C while the question waits (typed as a key: here the line editor reads a pipe).
    type("\x03");
    control_->updateFirmware(kServo);
    EXPECT_EQ(out(), QString::fromUtf8(opening() + "\nFirmware update cancelled.\n"));

    // The end of input.
    pipe_.closeWriter();
    control_->updateFirmware(kServo);
    EXPECT_EQ(out(), QString::fromUtf8(opening() + "\nFirmware update cancelled.\n"));
    EXPECT_EQ(bus_.received().size(), 2) << "the identifying pings only";
}

TEST_F(UpdateQuestion, ACtrlCBeforeTheQuestionDoesNotAnswerIt)
{
    // The console's own flag, set by a Ctrl+C while the device was pinged:
    // the question still waits for what is typed.
    std::atomic<bool> consoleFlag{true};
    editor_.setInterruptFlag(&consoleFlag);
    type("n\n");
    control_->updateFirmware(kServo);
    EXPECT_EQ(out(), QString::fromUtf8(opening() + "n\nFirmware update cancelled.\n"));
    EXPECT_FALSE(writeReceived());
    EXPECT_EQ(editor_.interruptFlag(), nullptr) << "the question's flag is taken back; the console points it again";
}

TEST_F(UpdateQuestion, NoQuestionWhenNothingIsToBeDone)
{
    struct Case
    {
        quint8 id;
        const char *lines;
    };
    const Case cases[] = {
        {3, "[ID:003] QX-20, v46\ncurrent : 46 ==> latest : 46\n"
            "[INFO] No firmware update is required. The installed firmware is the same as or newer than the latest "
            "available version.\n"},
        {4, "[ID:004] QX-20, v47\ncurrent : 47 ==> latest : 46\n"
            "[INFO] No firmware update is required. The installed firmware is the same as or newer than the latest "
            "available version.\n"},
        {5, "[Error] ID 5 : COMM_RX_TIMEOUT\n"},
        {1, "[ID:001] TS-100, v7\ncurrent : 7 ==> latest : 0\n"
            "[INFO] No firmware update is required. The installed firmware is the same as or newer than the latest "
            "available version.\n"},
    };
    for (const Case &c : cases) {
        control_->updateFirmware(c.id);
        EXPECT_EQ(out(), QString::fromUtf8(c.lines)) << int(c.id);
        EXPECT_EQ(control_->lastId(), c.id);
    }
    EXPECT_FALSE(writeReceived());
}

TEST_F(UpdateQuestion, APortThatCannotBeOpenedAgainIsLeftClosedWithAWarning)
{
    // Another program takes the port while the update has it closed.
    QSerialPort other;
    other.setPortName(bus_.portName());
    auto *firmware = qobject_cast<QvxFirmware *>(control_->transport());
    ASSERT_NE(firmware, nullptr);
    QObject::connect(firmware, qOverload<QString>(&QvxFirmware::firmware_failed),
                     [&other] { EXPECT_TRUE(other.open(QIODevice::ReadWrite)) << other.errorString().toStdString(); });
    type("y\n");
    control_->updateFirmware(kServo);
    EXPECT_EQ(out(), QString::fromUtf8(opening() + "y\nStarting firmware update...\n"
                                                   "[Error] Firmware update failed: Device Type is Unknown\n"
                                                   "[WARN] Serial port is closed after firmware update. Reopen the "
                                                   "port before the next command.\n"));
    EXPECT_FALSE(control_->isPortOpen());
    EXPECT_EQ(control_->portName(), bus_.portName()) << "the connection is still named";
    EXPECT_EQ(control_->baudRate(), 1000000u);
}

// The update order of each device kind on the simulated bus, for what happens
// before the update's first write: one servo a kind at release 45 (46 is the
// latest), answering the version check at any rate.
class UpdateStart : public ControlOnBus
{
protected:
    struct Kind
    {
        const char *kind;
        const char *name;
        quint16 model;
        quint8 id;
    };
    static constexpr Kind kKinds[] = {{"Quorvex1", "QK-1", 1601, 11},
                                      {"Quorvex2", "QK-2", 1602, 12},
                                      {"QuorvexM", "QK-M", 1603, 13},
                                      {"Controller2", "QK-C", 1604, 14}};

    void SetUp() override
    {
        for (const Kind &k : kKinds) {
            folder_.writeDescription(QString::fromLatin1(k.name).toLower() + QStringLiteral(".xml"),
                                     updateDescription(QString::fromLatin1(k.name), k.model,
                                                       QString::fromLatin1(k.kind), baudItem(8, 3) + kTorqueItem));
        }
        ControlOnBus::SetUp();
        for (const Kind &k : kKinds)
            bus_.addDevice(sim::Device::protocol2(k.id, k.model, 45));
        firmware_ = qobject_cast<QvxFirmware *>(control_->transport());
        ASSERT_NE(firmware_, nullptr);
    }

    // Everything up to the question of an update of `k`.
    static QByteArray opening(const Kind &k)
    {
        return QStringLiteral("[ID:%1] %2, v45\ncurrent : 45 ==> latest : 46\n")
                   .arg(k.id, 3, 10, QLatin1Char('0'))
                   .arg(QString::fromLatin1(k.name))
                   .toUtf8() +
               kQuestion;
    }

    // The model's own image, which no model described in the xml folder has.
    QString builtInImage(const Kind &k) { return control_->findControlTable(k.model, 45)->firmwarePath; }

    // A replacement image of `k` with these bytes (a folder when `folder`).
    QString replacement(const Kind &k, const QByteArray &bytes, bool folder = false)
    {
        const QString path = images_.filePath(QString::fromLatin1(k.name) + QStringLiteral("_46.ecp"));
        if (folder) {
            EXPECT_TRUE(QDir().mkpath(path));
        } else {
            QFile file(path);
            EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        }
        firmware_->externalImages = {{QString::fromLatin1(k.name), path}};
        return path;
    }

    QTemporaryDir images_;
    QvxFirmware *firmware_ = nullptr;
};

TEST_F(UpdateStart, AnUnusableImageIsRefusedWithItsReasonBeforeAnythingIsSent)
{
    enum class Image { None, Empty, Folder, TooLarge };
    struct Case
    {
        const char *what;
        Image image;
    };
    const Case cases[] = {{"no image for the model", Image::None},
                          {"empty image", Image::Empty},
                          {"image that is no regular file", Image::Folder},
                          {"image above its transfer's limit", Image::TooLarge}};
    for (const Kind &k : kKinds) {
        for (const Case &c : cases) {
            const QString what = QStringLiteral("%1, %2").arg(QLatin1String(k.kind), QLatin1String(c.what));
            firmware_->externalImages.clear();
            QString reason;
            switch (c.image) {
            case Image::None:
                reason = QStringLiteral("Firmware Not Found: %1 (no image built in for %2, and none in %3)")
                             .arg(builtInImage(k), QString::fromLatin1(k.name), QvxFirmware::replacementFolder());
                break;
            case Image::Empty:
                reason = QStringLiteral("Firmware Not Usable: %1 (empty image)").arg(replacement(k, {}));
                break;
            case Image::Folder:
                reason = QStringLiteral("Firmware Not Usable: %1 (not a regular file)").arg(replacement(k, {}, true));
                break;
            case Image::TooLarge: {
                // A protocol 1.0 servo takes its image over the console, which
                // counts no blocks: its bound is far above any real image.
                const bool console = QLatin1String(k.kind) == QLatin1String("Quorvex1");
                const qint64 limit = console ? QvxFirmware::kLargestConsoleImage : QvxFirmware::kLargestPacketImage;
                reason = QStringLiteral("Firmware Not Usable: %1 (%2 bytes, more than the %3 %4)")
                             .arg(replacement(k, QByteArray(limit + 1, '\x5A')))
                             .arg(limit + 1)
                             .arg(limit)
                             .arg(console ? QStringLiteral("an image may have")
                                          : QStringLiteral("a packet transfer can count"));
                break;
            }
            }
            bus_.clearReceived();
            type("y\n");
            control_->updateFirmware(k.id);
            EXPECT_EQ(out(), QString::fromUtf8(opening(k) + "y\nStarting firmware update...\n[Error] Firmware update "
                                                            "failed: " + reason.toUtf8() + "\n"))
                << qPrintable(what);
            // The version check's ping is all the bus heard: no board probe, no write, no restart.
            EXPECT_EQ(bus_.received().size(), 1) << qPrintable(what);
            EXPECT_TRUE(control_->isPortOpen()) << qPrintable(what) << ": the port as it was";
            EXPECT_FALSE(firmware_->port_held) << qPrintable(what);
            QDir(images_.path()).removeRecursively();
            QDir().mkpath(images_.path());
        }
    }
}

TEST_F(UpdateStart, CtrlCDuringTheBoardProbeCancelsBeforeTheFirstWrite)
{
    const Kind &k = kKinds[1];
    replacement(k, "QK-2 version=46\n" + QByteArray(300, '\x5A'));
    CancellationToken token;
    control_->beginCommand(&token);
    // Ctrl+C as the probe's first ping arrives.
    bus_.setResponder([&token](const sim::Instruction &in) -> std::optional<QByteArray> {
        if (in.id == 200)
            token.state.store(1);
        return std::nullopt;
    });
    type("y\n");
    control_->updateFirmware(k.id);
    EXPECT_EQ(out(), QString::fromUtf8(opening(k) + "y\nStarting firmware update...\n"
                                                    "[Error] Firmware update failed: Canceled\n"));
    EXPECT_EQ(firmware_->token, &token) << "still lent to the command";
    EXPECT_TRUE(control_->isPortOpen());
    for (const sim::Instruction &in : bus_.received())
        EXPECT_TRUE(in.logLine() == QLatin1String("2.0 12 PING") || in.logLine() == QLatin1String("2.0 200 PING"))
            << qPrintable(in.logLine());
    control_->endCommand();
}

// The console speaks protocol 1.0 at 1 Mbit/s to a protocol 1.0 servo that
// coming back from any restart runs at its factory rate (115200) until it is
// set to its own again, and whose digital reset takes it into its bootloader.
// Whichever way its update ends, the console speaks as before: its protocol,
// its rate, and the latency the README gives for that way out.
class UpdateWaysOut : public ControlOnBus
{
protected:
    static constexpr quint8 kServo = 5;
    static constexpr int kRate = 1000000;     // protocol 1.0 register value 1
    static constexpr quint8 kFactoryRate = 16; // 115200
    static constexpr int kBaudAddress = 4;
    static constexpr int kTorqueAddress = 24;

    // The models: one of each way (the kind decides the procedure, the baud
    // item's initial value the rate the servo restarts at).
    struct Model
    {
        const char *name;
        quint16 number;
        const char *kind;
        int factoryRate;
    };
    static constexpr Model kUpdatable{"VK-28", 1701, "Quorvex1", kFactoryRate};
    static constexpr Model kUnknownKind{"VK-29", 1702, "Quorvex9", kFactoryRate};
    static constexpr Model kNoFactoryRate{"VK-30", 1703, "Quorvex1", 3}; // 3 is no protocol 1.0 rate

    void SetUp() override
    {
        for (const Model &m : {kUpdatable, kUnknownKind, kNoFactoryRate}) {
            folder_.writeDescription(QString::fromLatin1(m.name) + QStringLiteral(".xml"),
                                     updateDescription(QString::fromLatin1(m.name), m.number, QString::fromLatin1(m.kind),
                                                       baudItem(kBaudAddress, m.factoryRate) + torqueItem()));
        }
        ControlOnBus::SetUp();
        firmware_ = qobject_cast<QvxFirmware *>(control_->transport());
        ASSERT_NE(firmware_, nullptr);
    }

    static QString torqueItem()
    {
        return QStringLiteral("<Item Address=\"%1\" Memory=\"2\" Name=\"Torque Enable\" RW=\"3\" Length=\"1\" Min=\"0\""
                              " Max=\"1\" UI=\"3\"/>")
            .arg(kTorqueAddress);
    }

    // The servo of `m` on the bus, and the console on protocol 1.0 at its rate.
    void connect(const Model &m)
    {
        RestartingServo1 servo;
        servo.id = kServo;
        servo.model = m.number;
        servo.firmware = 45;
        servo.baudAddress = kBaudAddress;
        servo.factoryValue = kFactoryRate;
        servo.rate = kRate;
        servo.torqueAddress = kTorqueAddress;
        servo.addTo(bus_);
        bus_.setResponder({});
        makeControl();
        firmware_ = qobject_cast<QvxFirmware *>(control_->transport());
        ASSERT_TRUE(control_->openPort(bus_.portName(), kRate));
        control_->setProtocolVersion(QStringLiteral("1.0"));
        firmware_->externalImages = {
            {QString::fromLatin1(m.name), image(QByteArray(m.name) + " version=46\n")}};
        output_.take();
        bus_.clearReceived();
    }

    QString image(const QByteArray &firstLine)
    {
        const QString path = images_.filePath(QStringLiteral("image.bin"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(firstLine + QByteArray(500, '\x6B')) > 0);
        return path;
    }

    QTemporaryDir images_;
    QvxFirmware *firmware_ = nullptr;
};

TEST_F(UpdateWaysOut, EveryWayOutLeavesTheConsolesProtocolRateAndLatency)
{
    struct Case
    {
        const char *what;
        Model model;
        bool cancel; // Ctrl+C as the board probe's first ping arrives
        const char *outcome;
        int latency; // the README: an update past its board probe leaves 5000 ms
        int version; // what the servo answers afterwards
    };
    const Case cases[] = {
        {"Ctrl+C during the board probe", kUpdatable, true, "[Error] Firmware update failed: Canceled", kSlackMs, 45},
        {"no procedure for the kind", kUnknownKind, false, "[Error] Firmware update failed: Device Type is Unknown",
         5000, 45},
        {"a failure before the procedure's first write", kNoFactoryRate, false,
         "[Error] Firmware update failed: Port Open Failed", 5000, 45},
        {"success", kUpdatable, false, "[Success] Firmware update complete", 5000, 46},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        connect(c.model);
        CancellationToken token;
        control_->beginCommand(&token);
        if (c.cancel) {
            bus_.setResponder([&token](const sim::Instruction &in) -> std::optional<QByteArray> {
                if (in.id == 200)
                    token.state.store(1);
                return std::nullopt;
            });
        }
        type("y\n");
        control_->updateFirmware(kServo);
        control_->endCommand();
        bus_.setResponder({});
        EXPECT_TRUE(out().endsWith(QLatin1String(c.outcome) + QLatin1Char('\n')));

        EXPECT_EQ(firmware_->version(), QStringLiteral("1.0"));
        EXPECT_TRUE(control_->isPortOpen());
        EXPECT_EQ(firmware_->serial_port->baudRate(), kRate);
        EXPECT_EQ(firmware_->extraLatency, c.latency);
        EXPECT_EQ(firmware_->qvx_protocol1->extraLatency, c.latency);
        EXPECT_EQ(firmware_->qvx_protocol2->extraLatency, c.latency);
        if (c.latency != kSlackMs)
            firmware_->setTimeout(kSlackMs); // as the user's `timeout` would
        bus_.clearReceived();
        control_->pingAndPrint(kServo); // a protocol 1.0 ping, then the model's read
        EXPECT_EQ(out(), QStringLiteral("ID 5 : ACK\n[ID:005] %1, v%2\n").arg(QLatin1String(c.model.name)).arg(c.version));
        QStringList heard;
        for (const sim::Instruction &in : bus_.received())
            heard << in.logLine();
        EXPECT_EQ(heard.value(0), QStringLiteral("1.0 5 PING")) << qPrintable(heard.join('\n'));
    }
}
