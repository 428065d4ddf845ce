// get, table, status and set against the simulated bus.

#include "tests/control/ControlOnBus.h"
#include "platform/Terminal.h"
#include "tests/support/QtPrinters.h"

#include <QTimer>

namespace {

using namespace control_test;

const QString kIdentity = QStringLiteral("[ID:001] TS-100, v7\n");

class ItemCommands : public ControlOnBus
{
protected:
    void SetUp() override
    {
        ControlOnBus::SetUp();
        setMemory(132, "00080000");  // Present Position 2048
        setMemory(96, "FFFF");       // Present Current -1
        setMemory(52, "00F8FFFF");   // Homing Offset -2048
        bus_.addDevice(sim::Device::protocol2(3, 9999, 4)); // no description
    }

    // READ instructions the bus received for this address of a device.
    int readsAt(int address, quint8 id = kDevice) const
    {
        int count = 0;
        for (const sim::Instruction &i : bus_.received())
            if (i.code == 0x02 && i.id == id && quint8(i.params.at(0)) + (quint8(i.params.at(1)) << 8) == address)
                ++count;
        return count;
    }

    // Every WRITE the bus received, as "address:bytes" in hex.
    QStringList writes() const
    {
        QStringList list;
        for (const sim::Instruction &i : bus_.received())
            if (i.code == 0x03)
                list.append(QString::number(quint8(i.params.at(0)) | quint8(i.params.at(1)) << 8) + QLatin1Char(':')
                            + QString::fromLatin1(i.params.mid(2).toHex()));
        return list;
    }
};

TEST_F(ItemCommands, GetShowsOneRowAfterTheDeviceLine)
{
    struct Case
    {
        const char *name;
        const char *answers;
        const char *lines;
    };
    const Case cases[] = {
        {"present position", "",
         "132  : Present Position          :       2048 : 0x00000800 :   180.00 [°]\n"},
        {"Homing Offset", "", "52   : Homing Offset             :      -2048 : 0xFFFFF800 :  -180.00 [°]\n"},
        // The chooser for a partial name.
        {"current", "1\r",
         "------------------------------\n1 : Present Current\n------------------------------\n"
         "Choose item number (1-1, press Ctrl+C to cancel): 1\n"
         "96   : Present Current           :         -1 :     0xFFFF :    -2.69 [mA]\n"},
        // One-item rows show the whole name.
        {"thirty", "1\r", nullptr},
        {"hidden trim", "", "140  : Hidden Trim               :          0 :       0x00 : \n"},
        {"nothing like it", "", "[Error] Item not found: nothing like it\n"},
        {"limit", "\x03", "------------------------------\n1 : PWM Limit\n2 : Velocity Limit\n"
                          "------------------------------\nChoose item number (1-2, press Ctrl+C to cancel): \n"},
    };
    for (const Case &c : cases) {
        type(c.answers);
        control_->getItem(kDevice, QString::fromUtf8(c.name));
        const QString printed = out();
        if (c.lines)
            EXPECT_EQ(printed, kIdentity + QString::fromUtf8(c.lines)) << c.name;
        else
            EXPECT_TRUE(printed.endsWith(QStringLiteral("70   : An Item With A Thirty Char Nam :          0 :       0x00 : \n")))
                << printed.toStdString();
    }
}

TEST_F(ItemCommands, CommandsOnASilentOrUnknownDeviceSayWhy)
{
    const QList<QPair<const char *, std::function<void(quint8)>>> commands = {
        {"get", [&](quint8 id) { control_->getItem(id, QStringLiteral("Torque Enable")); }},
        {"get -c", [&](quint8 id) { control_->getItem(id, QStringLiteral("Torque Enable"), true); }},
        {"set", [&](quint8 id) { control_->setItem(id, QStringLiteral("Torque Enable"), 1); }},
        {"set dialogue", [&](quint8 id) { control_->setItemInteractive(id, QStringLiteral("Torque Enable")); }},
        {"table", [&](quint8 id) { control_->printTable(id); }},
        {"status", [&](quint8 id) { control_->printStatus(id); }},
    };
    for (const auto &[name, run] : commands) {
        run(2);
        EXPECT_EQ(out(), QStringLiteral("[Error] ID 2 : COMM_RX_TIMEOUT\n")) << name;
        EXPECT_EQ(control_->lastId(), 2) << name;
        run(3);
        EXPECT_EQ(out(), QStringLiteral("[ID:003] Unknown\n[Error] Control table not found for model 9999\n")) << name;
    }
    EXPECT_TRUE(writes().isEmpty());
}

TEST_F(ItemCommands, ContinuousGetRereadsUntilCtrlC)
{
    // Each turn looks at the first pending key: two Enters are dropped, then Ctrl+C stops.
    type("\r\r\x03");
    control_->getItem(kDevice, QStringLiteral("Present Position"), true);
    const QString row = QStringLiteral("\r132  : Present Position          :       2048 : 0x00000800 :   180.00 [°]   ");
    EXPECT_EQ(out(), kIdentity + QStringLiteral("Press Ctrl+C to stop continuous reading...\n") + row + row
                         + QStringLiteral("\n"));
    EXPECT_EQ(editor_.interruptFlag(), nullptr);
}

TEST_F(ItemCommands, ContinuousGetLeavesOtherKeysForTheEditor)
{
    type("ab\r");
    QTimer::singleShot(250, [this] { pressCtrlC(); });
    control_->getItem(kDevice, QStringLiteral("Present Position"), true, true);
    const QString printed = out();
    // With trace: one row per reading, between the trace lines.
    EXPECT_TRUE(printed.contains(QStringLiteral("\n132  : Present Position          :       2048 : 0x00000800 :   180.00 [°]\n[TX]")))
        << printed.toStdString();
    EXPECT_GE(printed.count(QStringLiteral("[TX] ")), 2);
    EXPECT_FALSE(printed.endsWith(QStringLiteral("   \n")));
    EXPECT_EQ(editor_.readLine(true), QStringLiteral("ab"));
}

TEST_F(ItemCommands, ContinuousGetReportsEachFailedReading)
{
    type("\r\x03");
    control_->getItem(kDevice, QStringLiteral("Present Position"), true);
    out();
    sim::Faults silent;
    silent.silent = true;
    QTimer::singleShot(150, [&] { bus_.setFaults(kDevice, silent); });
    QTimer::singleShot(450, [this] { pressCtrlC(); });
    control_->getItem(kDevice, QStringLiteral("Present Position"), true);
    const QString printed = out();
    EXPECT_GE(printed.count(QStringLiteral("[Error] ID 1 : COMM_RX_TIMEOUT\n")), 1) << printed.toStdString();
}

TEST_F(ItemCommands, TableShowsTheRangeFromOneRead)
{
    bus_.clearReceived();
    control_->printTable(kDevice, false, false, 54, 56);
    EXPECT_EQ(out(), kIdentity + QStringLiteral("52   : Homing Offset             :      -2048 : 0xFFFFF800 :  -180.00 [°]\n"
                                                "56   : Net Address               :          0 : 0x00000000 : 0.0.0.0\n"));
    EXPECT_EQ(received(0x02), 1); // one read of the whole table
    EXPECT_EQ(bus_.received().last().params, QByteArray::fromHex("00009700")); // 151 bytes from address 0

    control_->printTable(kDevice);
    const QString whole = out();
    EXPECT_EQ(whole.count(QLatin1Char('\n')), 24) << whole.toStdString(); // identity line and every visible item
    EXPECT_FALSE(whole.contains(QStringLiteral("Hidden Trim")));
    EXPECT_TRUE(whole.contains(QStringLiteral("\n70   : An Item With A Thirty Cha :")));
    EXPECT_TRUE(whole.endsWith(QStringLiteral("150  : Motor Present Temperature :          0 :       0x00 :        0 [°C]\n")));
}

TEST_F(ItemCommands, ATableLargerThanTheBufferIsRefusedUnread)
{
    folder_.writeDescription(QStringLiteral("big.xml"),
                             DescriptionFolder::withItems(
                                 QStringLiteral("Name=\"BIG-1\" ModelNumber=\"4343\" Type=\"Quorvex2\""),
                                 QStringLiteral("<Item Address=\"0\" Name=\"Model Number\" RW=\"1\" Length=\"2\"/>"
                                                "<Item Address=\"5000\" Name=\"Far Away\" RW=\"3\" Length=\"4\"/>")));
    makeControl();
    ASSERT_TRUE(control_->openPort(bus_.portName(), 1000000));
    bus_.addDevice(sim::Device::protocol2(7, 4343, 1));
    bus_.clearReceived();
    control_->printTable(7);
    EXPECT_EQ(out(), QStringLiteral("[ID:007] BIG-1, v1\n"
                                    "[Error] Control table of BIG-1 is 5004 bytes, larger than the 4096 bytes a table read holds\n"));
    EXPECT_EQ(received(0x02), 0);
}

TEST_F(ItemCommands, PagedTableAsksBetweenPages)
{
    if (platform::isTerminal(platform::StandardStream::Output))
        GTEST_SKIP() << "the page size follows the terminal window";
    const QString ask = QStringLiteral("-- Press Enter to continue (press 'q' to quit) --\n");
    type("x\r");
    control_->printTable(kDevice, true);
    QString printed = out();
    // Standard output is no terminal here: 17 rows a page, and no question after the last page.
    EXPECT_EQ(printed.count(ask), 1);
    // The answer's echo ("x" and a line end) stands between the question and the second page.
    EXPECT_EQ(printed.indexOf(ask) + ask.size() + 2, printed.indexOf(QStringLiteral("100  : Present PWM")))
        << printed.toStdString();
    EXPECT_TRUE(printed.endsWith(QStringLiteral("[°C]\n")));

    for (const char *answer : {" Q \r", "\x03"}) {
        type(answer);
        control_->printTable(kDevice, true);
        printed = out();
        EXPECT_TRUE(printed.contains(ask)) << answer;
        EXPECT_FALSE(printed.contains(QStringLiteral("Motor Present Temperature"))) << answer;
    }
    EXPECT_EQ(editor_.interruptFlag(), nullptr);
}

TEST_F(ItemCommands, RowsPerPageFollowTheWindow)
{
    for (const auto &[rows, perPage] : QList<QPair<int, int>>{{10, 7}, {6, 5}, {0, 17}, {40, 37}})
        EXPECT_EQ(tableRowsPerPage(rows), perPage) << rows;
}

TEST_F(ItemCommands, StatusShowsTheRowsTheModelHas)
{
    setMemory(11, "03");
    control_->printStatus(kDevice);
    const QString rule = QString(50, QLatin1Char('-')) + QLatin1Char('\n');
    EXPECT_EQ(out(), kIdentity + rule + QStringLiteral("Operating Mode  : Position\nTorque          : OFF\n") + rule
                         + QStringLiteral("Position        :   180.00 [°]\nCurrent         :    -2.69 [mA]\n"));
}

TEST_F(ItemCommands, DirectSetWritesTheValueAndRefusesWhatDoesNotFit)
{
    struct Case
    {
        const char *name;
        int value;
        const char *lines;
        const char *written; // "address:hex", or empty when nothing may be sent
    };
    const Case cases[] = {
        {"Torque Enable", 1, "[Success] write Torque Enable 1 OK\n", "64:01"},
        {"goal pwm", -100, "[Success] write Goal PWM -100 OK\n", "40:9cff"},
        {"Homing Offset", -2048, "[Success] write Homing Offset -2048 OK\n", "52:00f8ffff"},
        {"Torque Enable", 255, "[Success] write Torque Enable 255 OK\n", "64:ff"},
        {"Torque Enable", 300, "[Error] Value for Torque Enable must be between -128 and 255\n", ""},
        {"Torque Enable", -129, "[Error] Value for Torque Enable must be between -128 and 255\n", ""},
        {"Goal PWM", 65536, "[Error] Value for Goal PWM must be between -32768 and 65535\n", ""},
        {"no such item", 1, "[Error] Item not found: no such item\n", ""},
    };
    for (const Case &c : cases) {
        bus_.clearReceived();
        control_->setItem(kDevice, QString::fromUtf8(c.name), c.value);
        EXPECT_EQ(out(), kIdentity + QString::fromUtf8(c.lines)) << c.name << " " << c.value;
        EXPECT_EQ(writes().join(QLatin1Char(' ')), QString::fromUtf8(c.written)) << c.name << " " << c.value;
    }
    EXPECT_EQ(bus_.memory(kDevice, 64, 1), QByteArray::fromHex("ff"));
}

TEST_F(ItemCommands, ARefusedWriteShowsTheDeviceError)
{
    sim::Device small = sim::Device::protocol2(4, 4242, 7, 140); // the table ends before address 150
    bus_.addDevice(small);
    control_->setItem(4, QStringLiteral("Motor Present Temperature"), 1, true);
    const QString printed = out();
    EXPECT_TRUE(printed.contains(QStringLiteral("[TX] "))) << printed.toStdString();
    EXPECT_TRUE(printed.endsWith(QStringLiteral("[Error] ID 4 : Access Error\n"))) << printed.toStdString();
    EXPECT_FALSE(printed.contains(QStringLiteral("[Success]")));
}

TEST_F(ItemCommands, SetDialogueShowsTheRowAndWritesTheAnswer)
{
    setMemory(36, "7503"); // PWM Limit 885
    struct Case
    {
        const char *name;
        const char *answers;
        const char *row;
        const char *success;
        const char *written;
    };
    const Case cases[] = {
        {"Torque Enable", "1\r", "64   : Torque Enable             :          0,       0x00 : OFF\n",
         "[Success] change Torque Enable to ON\n", "64:01"},
        {"Drive Mode", "0,2\r", "10   : Drive Mode                :          0,       0x00 : \n",
         "[Success] change Drive Mode to Reverse Mode, Time-based Profile, \n", "10:05"},
        {"Goal PWM", "900\r-885\r", "40   : Goal PWM                  :          0,     0x0000 :     0.00 [%]\n",
         "[Success] change Goal PWM to -885\n", "40:8bfc"},
    };
    for (const Case &c : cases) {
        bus_.clearReceived();
        type(c.answers);
        control_->setItemInteractive(kDevice, QString::fromUtf8(c.name));
        const QString printed = out();
        EXPECT_TRUE(printed.startsWith(kIdentity + QString::fromUtf8(c.row))) << printed.toStdString();
        EXPECT_TRUE(printed.endsWith(QString::fromUtf8(c.success))) << printed.toStdString();
        EXPECT_EQ(writes().join(QLatin1Char(' ')), QString::fromUtf8(c.written)) << c.name;
    }
}

TEST_F(ItemCommands, NamesWithPercentMarkersAreShownAsTheyAre)
{
    // A model and an item whose names look like the markers of a message.
    folder_.writeDescription(QStringLiteral("marked.xml"),
                             DescriptionFolder::withItems(
                                 QStringLiteral("Name=\"MK-%1 %2\" ModelNumber=\"4445\" Type=\"Quorvex2\""),
                                 QStringLiteral("<Item Address=\"0\" Name=\"Model Number\" RW=\"1\" Length=\"2\"/>"
                                                "<Item Address=\"20\" Name=\"Label %1 Item\" RW=\"3\" Length=\"1\"/>")));
    makeControl();
    ASSERT_TRUE(control_->openPort(bus_.portName(), 1000000));
    bus_.addDevice(sim::Device::protocol2(7, 4445, 1));
    const QString identity = QStringLiteral("[ID:007] MK-%1 %2, v1\n");

    control_->setItem(7, QStringLiteral("Label %1 Item"), 300);
    EXPECT_EQ(out(), identity + "[Error] Value for Label %1 Item must be between -128 and 255\n");
    control_->setItem(7, QStringLiteral("Label %1 Item"), 5);
    EXPECT_EQ(out(), identity + "[Success] write Label %1 Item 5 OK\n");
    EXPECT_EQ(bus_.memory(7, 20, 1), QByteArray::fromHex("05"));

    // Script mode's refusal names the item the same way.
    const script::CommandResult refused = control_->set(7, QStringLiteral("Label %1 Item"), -129, false);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.message, QStringLiteral("Value for Label %1 Item must be between -128 and 255"));
    out();
}

TEST_F(ItemCommands, SetDialogueRefusesAChoiceTheItemsWidthCannotCarry)
{
    // Ten value names from 250 on: the last four do not fit in one byte.
    folder_.writeDescription(QStringLiteral("wide.xml"),
                             DescriptionFolder::withItems(
                                 QStringLiteral("Name=\"WIDE-1\" ModelNumber=\"4444\" Type=\"Quorvex2\""),
                                 QStringLiteral("<Item Address=\"0\" Name=\"Model Number\" RW=\"1\" Length=\"2\"/>"
                                                "<Item Address=\"20\" Name=\"Wide Choice\" RW=\"3\" Length=\"1\""
                                                " Min=\"250\" Max=\"259\" UI=\"3\" Label=\"a:b:c:d:e:f:g:h:i:j\"/>")));
    makeControl();
    ASSERT_TRUE(control_->openPort(bus_.portName(), 1000000));
    bus_.addDevice(sim::Device::protocol2(7, 4444, 1));
    bus_.clearReceived();
    type("259\r");
    control_->setItemInteractive(7, QStringLiteral("Wide Choice"));
    const QString printed = out();
    EXPECT_TRUE(printed.endsWith(QStringLiteral("[Error] Value for Wide Choice must be between -128 and 255\n")))
        << printed.toStdString();
    EXPECT_FALSE(printed.contains(QStringLiteral("[Success]")));
    EXPECT_TRUE(writes().isEmpty());

    type("255\r");
    control_->setItemInteractive(7, QStringLiteral("Wide Choice"));
    EXPECT_TRUE(out().endsWith(QStringLiteral("[Success] change Wide Choice to f\n")));
    EXPECT_EQ(writes(), QStringList{QStringLiteral("20:ff")});
}

TEST_F(ItemCommands, SetDialogueValueEntryReadsItsBoundsOnce)
{
    setMemory(36, "7503");
    bus_.clearReceived();
    type("abc\r-886\r\x03");
    control_->setItemInteractive(kDevice, QStringLiteral("Goal PWM"));
    const QString printed = out();
    EXPECT_EQ(printed.count(QStringLiteral("Input value (-885-885, press Ctrl+C to cancel): ")), 3);
    EXPECT_EQ(printed.count(QStringLiteral("[Error] Invalid value\n")), 2);
    EXPECT_TRUE(writes().isEmpty());
    // PWM Limit is read once for the whole dialogue: the row's sign test and both bounds share it.
    EXPECT_EQ(readsAt(36), 1);
}

// Items that an item's rules refer to are read once per row or command, and a
// reference that names no address is not read at all.
TEST_F(ItemCommands, RulesReadEachReferencedItemOnceAndNothingForAReferenceToNothing)
{
    QString error;
    const std::optional<sim::Device> ar240 = sim::builtInDevice(1020, 2, 53, &error);
    ASSERT_TRUE(ar240) << error.toStdString();
    bus_.addDevice(*ar240);
    bus_.clearReceived();

    // Goal Position's minimum "-1048575:addr52" is no reference to an address.
    control_->getItem(2, QStringLiteral("Goal Position"));
    EXPECT_TRUE(out().startsWith(QStringLiteral("[ID:002] AR-240, v53\n116  : Goal Position")));
    EXPECT_EQ(readsAt(0, 2), 0);
    EXPECT_EQ(readsAt(116, 2), 1);

    // Profile Velocity's row and the dialogue's scale line all depend on Drive Mode.
    bus_.clearReceived();
    type("\x03");
    control_->setItemInteractive(2, QStringLiteral("Profile Velocity"));
    EXPECT_TRUE(out().contains(QStringLiteral("Scale :  0.229 [rev/min]\n")));
    EXPECT_EQ(readsAt(10, 2), 1);
}

} // namespace
