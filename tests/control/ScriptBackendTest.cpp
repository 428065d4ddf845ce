// QvxControl as script mode's backend, against the simulated bus: the device
// and item maps, every failure with its code, message and details, and what
// reaches the bus (or does not).

#include "comm/CancellationToken.h"
#include "comm/QvxComm.h"
#include "tests/control/ControlOnBus.h"
#include "tests/support/QtPrinters.h"

#include <QVariantList>

namespace {

using namespace control_test;
using script::CommandResult;

QVariantMap device(int id, int modelNumber = 4242, const QString &model = "TS-100", int firmware = 7)
{
    return {{"id", id}, {"model_number", modelNumber}, {"model", model}, {"firmware", firmware}};
}

QVariantMap with(QVariantMap map, const QVariantMap &more)
{
    for (auto it = more.constBegin(); it != more.constEnd(); ++it)
        map.insert(it.key(), it.value());
    return map;
}

QVariantMap communication(int id, int result, int error = 0)
{
    return {{"id", id}, {"communication_result", result}, {"packet_error", error}};
}

// An item map as the backend builds it.
QVariantMap item(const QString &name, int address, int length, const QString &access, const QString &memory,
                 int value, const QString &display, const QString &unit)
{
    return {{"name", name},   {"address", address}, {"length", length},   {"access", access},
            {"memory", memory}, {"value", value},   {"display_value", display}, {"unit", unit}};
}

void expectFailure(const CommandResult &result, const QString &code, const QString &message,
                   const QVariantMap &details = {})
{
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.code, code);
    EXPECT_EQ(result.message, message);
    EXPECT_EQ(result.data, details);
}

void expectSuccess(const CommandResult &result, const QVariantMap &data)
{
    EXPECT_TRUE(result.ok) << result.code.toStdString() << ": " << result.message.toStdString();
    EXPECT_TRUE(result.code.isEmpty());
    EXPECT_TRUE(result.message.isEmpty());
    EXPECT_EQ(result.data, data);
}

class ScriptBackend : public ControlOnBus
{
protected:
    void SetUp() override
    {
        ControlOnBus::SetUp();
        bus_.addDevice(sim::Device::protocol2(3, 9999, 4)); // a model without description
        bus_.addDevice(sim::Device::protocol2(6, 4242, 7));
        sim::Faults refusing;
        refusing.error = 0x02; // Instruction Error in every status packet
        bus_.setFaults(6, refusing);
        backend_ = control_.get();
    }

    script::IQvxCommandBackend *backend_ = nullptr;
};

TEST_F(ScriptBackend, GetDescribesTheDeviceAndTheItem)
{
    setMemory(132, "00080000");   // 2048
    setMemory(96, "ffff");         // -1 by its sign rule
    setMemory(10, "05");           // bits 0 and 2
    setMemory(12, "0a");           // bits 1 and 3; bit 3 has no name
    const struct
    {
        QString name;
        QVariantMap item;
    } cases[] = {
        {"present position", item("Present Position", 132, 4, "r", "ram", 2048, "180", "°")},
        {"Present Current", item("Present Current", 96, 2, "r", "ram", -1, "-2.69", "mA")},
        {"Operating Mode", item("Operating Mode", 11, 1, "rw", "eeprom", 3, "Position", "")},
        {"Profile Time", item("Profile Time", 104, 4, "rw", "ram", 0, "0", "ms:rev/min")},
        {"Drive Mode", with(item("Drive Mode", 10, 1, "rw", "eeprom", 5, "Reverse Mode, Time-based Profile", ""),
                            {{"active_flags", QVariantList{QVariantMap{{"bit", 0}, {"name", "Reverse Mode"}},
                                                           QVariantMap{{"bit", 2}, {"name", "Time-based Profile"}}}}})},
        {"Status Flags", with(item("Status Flags", 12, 1, "r", "ram", 10, "B, Bit 3", ""),
                              {{"active_flags", QVariantList{QVariantMap{{"bit", 1}, {"name", "B"}},
                                                             QVariantMap{{"bit", 3}, {"name", "Bit 3"}}}}})},
        // Hidden items are read by name; "ID" is also inside "Hidden Trim" but equals one name.
        {"trim", item("Hidden Trim", 140, 1, "rw", "ram", 0, "0", "")},
        {"id", item("ID", 7, 1, "rw", "eeprom", 1, "1", "")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        expectSuccess(backend_->get(1, c.name, false), with(device(1), {{"item", c.item}}));
    }
    EXPECT_EQ(control_->lastId(), 1);
    EXPECT_TRUE(out().isEmpty()); // nothing printed but a trace when asked for

    setMemory(10, "00");
    expectSuccess(backend_->get(1, "drive mode", false),
                  with(device(1), {{"item", with(item("Drive Mode", 10, 1, "rw", "eeprom", 0, "None", ""),
                                                 {{"active_flags", QVariantList{}}})}}));
}

TEST(ScriptItemNames, ANameMatchesRegardlessOfCaseAndTwinsInCaseGiveTheFirstInKeyOrder)
{
    DescriptionFolder folder;
    folder.write(QStringLiteral("m.xml"),
                 DescriptionFolder::withItems(
                     QStringLiteral("ModelNumber=\"1\" MinimumVersion=\"0\""),
                     QStringLiteral("<Item Address=\"10\" Length=\"1\" Name=\"Goal Speed\"/>"
                                    "<Item Address=\"11\" Length=\"1\" Name=\"led\"/>"
                                    "<Item Address=\"12\" Length=\"1\" Name=\"LED\"/>")));
    QvxModelRegistry registry;
    registry.load(folder.path(), nullptr, false);
    const QvxDeviceModel *model = registry.find(1, 0);
    ASSERT_NE(model, nullptr);
    const struct
    {
        const char *typed;
        int address;
    } cases[] = {
        {"goal speed", 10},
        {"GOAL SPEED", 10},
        {"Led", 12}, // "LED" comes before "led" in the name map's order
        {"led", 12},
    };
    for (const auto &c : cases) {
        QvxControlItem *found = nullptr;
        ASSERT_TRUE(QvxControl::findItemResult(model, QString::fromUtf8(c.typed), &found).ok) << c.typed;
        ASSERT_NE(found, nullptr) << c.typed;
        EXPECT_EQ(found->address, c.address) << c.typed;
    }
}

TEST_F(ScriptBackend, ItemNamesThatDoNotNameOneItem)
{
    expectFailure(backend_->get(1, "Nothing", false), "item_not_found", "Control table item not found: Nothing");
    expectFailure(backend_->get(1, "goal", false), "ambiguous_item", "Item name is ambiguous: goal",
                  {{"matches", QStringList{"Goal PWM", "Goal Velocity"}}});
    expectFailure(backend_->set(1, "Limit", 1, false), "ambiguous_item", "Item name is ambiguous: Limit",
                  {{"matches", QStringList{"PWM Limit", "Velocity Limit"}}});
    EXPECT_EQ(received(0x02), 0); // no item was read
    EXPECT_EQ(control_->lastId(), 1); // the device lookup before it succeeded
}

TEST_F(ScriptBackend, SetWritesWithinTheItemsBounds)
{
    expectSuccess(backend_->set(1, "torque enable", 1, false),
                  with(device(1), {{"item", item("Torque Enable", 64, 1, "rw", "ram", 1, "ON", "")},
                                   {"value", 1},
                                   {"acknowledged", true}}));
    EXPECT_EQ(bus_.memory(1, 64, 1), QByteArray::fromHex("01"));
    expectSuccess(backend_->set(1, "Homing Offset", -5, false),
                  with(device(1), {{"item", item("Homing Offset", 52, 4, "rw", "eeprom", -5, "-0.439453125", "°")},
                                   {"value", -5},
                                   {"acknowledged", true}}));
    EXPECT_EQ(bus_.memory(1, 52, 4), QByteArray::fromHex("fbffffff"));
    EXPECT_EQ(received(0x03), 2);

    const struct
    {
        QString name;
        int value;
        int minimum;
        int maximum;
    } refused[] = {
        {"Torque Enable", 2, 0, 1},
        {"Spare Byte", -1, 0, 255},
        {"An Item With A Thirty Char Nam", 300, -128, 255}, // no limits of its own: its width
        {"Goal PWM", 70000, -32768, 65535},                  // limits that refer to other items: its width
        {"Homing Offset", 1044480, -1044479, 1044479},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.name.toStdString());
        expectFailure(backend_->set(1, c.name, c.value, false), "invalid_argument",
                      QStringLiteral("Value for %1 must be between %2 and %3").arg(c.name).arg(c.minimum).arg(c.maximum),
                      {{"minimum", c.minimum}, {"maximum", c.maximum}, {"value", c.value}});
    }
    // Read-only before any bound.
    expectFailure(backend_->set(1, "Present Position", 1 << 30, false), "invalid_argument", "Item is read-only");
    EXPECT_EQ(received(0x03), 2); // nothing more was written
}

TEST_F(ScriptBackend, TableReadsTheWholeTableOnceAndShowsTheItemsInTheRange)
{
    setMemory(44, "09010000"); // 265
    const CommandResult one = backend_->table(1, 45, 45, false);
    expectSuccess(one, with(device(1), {{"range", QVariantMap{{"start", 45}, {"end", 45}}},
                                        {"items", QVariantList{item("Velocity Limit", 44, 4, "rw", "eeprom", 265,
                                                                    "60.685", "rev/min")}}}));
    EXPECT_EQ(received(0x02), 1);

    const CommandResult whole = backend_->table(1, 0, 65535, false);
    ASSERT_TRUE(whole.ok);
    QStringList names;
    for (const QVariant &entry : whole.data.value("items").toList())
        names.append(entry.toMap().value("name").toString());
    EXPECT_FALSE(names.contains("Hidden Trim"));
    EXPECT_EQ(names.first(), "Model Number");
    EXPECT_EQ(names.last(), "Motor Present Temperature"); // the category's items come last
    EXPECT_EQ(names.size(), 23);
}

TEST_F(ScriptBackend, StatusReadsTheItemsTheModelHas)
{
    setMemory(96, "0a00");
    const CommandResult result = backend_->status(1);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    QStringList keys;
    for (const QVariant &entry : result.data.value("items").toList())
        keys.append(entry.toMap().value("key").toString());
    // Rows the model lacks are left out; the category's "Motor Present Temperature" is no "Present Temperature".
    EXPECT_EQ(keys, (QStringList{"operating_mode", "torque", "position", "current"}));
    EXPECT_EQ(result.data.value("items").toList().at(3).toMap(),
              with(item("Present Current", 96, 2, "r", "ram", 10, "26.9", "mA"), {{"key", "current"}}));
    EXPECT_EQ(with(result.data, {{"items", QVariant()}}), with(device(1), {{"items", QVariant()}}));
}

TEST_F(ScriptBackend, ScanListsWhatAnswersAndSkipsSilentIds)
{
    expectSuccess(backend_->scan(0, 5, true, false),
                  {{"range", QVariantMap{{"start", 0}, {"end", 5}}},
                   {"devices", QVariantList{device(1), device(3, 9999, "Unknown", 4)}}});
    expectSuccess(backend_->scan(10, 5, true, false),
                  {{"range", QVariantMap{{"start", 10}, {"end", 5}}}, {"devices", QVariantList{}}});
    // A device that reports an error ends the scan, and what was found is dropped.
    expectFailure(backend_->scan(0, 8, true, false), "packet_error", "Instruction Error", communication(6, 0, 2));
    EXPECT_EQ(control_->lastId(), -1);

    expectFailure(backend_->ping(3, false), "control_table_not_found", "Control table not found for model 9999",
                  {{"id", 3}, {"model_number", 9999}});
    EXPECT_EQ(control_->lastId(), -1);
    expectSuccess(backend_->ping(1, false), device(1));
    EXPECT_EQ(control_->lastId(), 1);
}

TEST_F(ScriptBackend, DeviceCommandsAndTheirFailures)
{
    expectSuccess(backend_->reset(1, false), {{"id", 1}, {"parameter", 0}, {"acknowledged", true}});
    expectSuccess(backend_->reboot(1, false), {{"id", 1}, {"parameter", 0}, {"acknowledged", true}});
    expectSuccess(backend_->clear(1, 2, false), {{"id", 1}, {"parameter", 2}, {"acknowledged", true}});
    expectSuccess(backend_->clear(1, 10, true), {{"id", 1}, {"parameter", 10}, {"acknowledged", true}});
    EXPECT_TRUE(out().isEmpty()); // the multi-turn clear is never traced
    expectSuccess(backend_->reset(1, true), {{"id", 1}, {"parameter", 0}, {"acknowledged", true}});
    const QString trace = out();
    EXPECT_TRUE(trace.startsWith("[TX] FF FF FD 00 01 04 00 06 ")) << trace.toStdString();
    EXPECT_TRUE(trace.contains("\n[RX] FF FF FD 00 01 04 00 55 00")) << trace.toStdString();

    expectFailure(backend_->reset(2, false), "device_timeout", "Device 2 did not respond", communication(2, -3001));
    expectFailure(backend_->ping(6, false), "packet_error", "Instruction Error", communication(6, 0, 2));
    // A device that refuses does not acknowledge.
    for (const CommandResult &refused : {backend_->reset(6, false), backend_->reboot(6, false),
                                         backend_->clear(6, 1, false), backend_->clear(6, 10, false)})
        expectFailure(refused, "packet_error", "Instruction Error", communication(6, 0, 2));
    expectFailure(backend_->get(2, "LED", false), "device_timeout", "Device 2 did not respond", communication(2, -3001));
    backend_->setProtocol("1.0");
    expectFailure(backend_->clear(1, 1, false), "communication_error", "Unknown (-1)", communication(1, -1));
}

TEST_F(ScriptBackend, PortsOpenCloseAndNothingIsSentWithoutOne)
{
    const QString pty = bus_.portName();
    expectSuccess(backend_->close(), {{"port", pty}, {"was_open", true}});
    expectSuccess(backend_->close(), {{"port", ""}, {"was_open", false}});
    const int before = bus_.received().size();
    for (const CommandResult &result :
         {backend_->scan(0, 3, true, false), backend_->ping(1, false), backend_->get(1, "LED", false),
          backend_->set(1, "LED", 1, false), backend_->table(1, 0, 10, false), backend_->status(1),
          backend_->reset(1, false), backend_->reboot(1, false), backend_->clear(1, 1, false)})
        expectFailure(result, "port_not_open", "Port is not open");
    EXPECT_EQ(bus_.received().size(), before);

    expectSuccess(backend_->open(pty, 57600), {{"port", pty}, {"baudrate", 57600}});
    expectFailure(backend_->open("/dev/zephlet-no-such-port", 9600), "port_open_failed",
                  "Failed to open port /dev/zephlet-no-such-port",
                  {{"port", "/dev/zephlet-no-such-port"}, {"baudrate", 9600}});
    EXPECT_FALSE(control_->isPortOpen()); // the port open before is closed, too
    expectSuccess(backend_->setProtocol("2.0"), {{"version", "2.0"}});
    expectSuccess(backend_->setNetworkDelay(0), {{"network_delay_ms", 0}});
    const CommandResult ports = backend_->listPorts(); // the system's ports; a pty is never among them
    EXPECT_TRUE(ports.ok);
    EXPECT_EQ(ports.data.keys(), QStringList{"ports"});
}

TEST_F(ScriptBackend, ALentTokenEndsTheWaits)
{
    CancellationToken token;
    token.state = 1;
    backend_->beginCommand(&token);
    expectFailure(backend_->scan(0, 5, true, false), "communication_error", "Operation cancelled");
    expectFailure(backend_->ping(1, false), "communication_error", "Operation cancelled", communication(1, -3003));
    backend_->endCommand();
    EXPECT_EQ(control_->transport()->token, nullptr);

    token.state = 0;
    token.hasDeadline = true;
    token.deadline = CancellationToken::steadyNowNs() - 1;
    backend_->beginCommand(&token);
    expectFailure(backend_->scan(0, 5, true, false), "communication_error", "Operation cancelled");
    backend_->endCommand();
    expectSuccess(backend_->ping(1, false), device(1));
}

// Descriptions the built-in set never has: an item three bytes wide, and a
// table larger than the whole-table buffer.
class UnusualModels : public ControlOnBus
{
protected:
    void SetUp() override
    {
        folder_.writeDescription("odd.xml", DescriptionFolder::withItems(
            "Name=\"ODD-3\" ModelNumber=\"4300\" Type=\"Quorvex2\" MinimumVersion=\"0\"",
            "<Item Address=\"0\" Memory=\"1\" Name=\"Model Number\" RW=\"1\" Length=\"2\" UI=\"0\"/>"
            "<Item Address=\"6\" Memory=\"1\" Name=\"Firmware Version\" RW=\"1\" Length=\"1\" UI=\"0\"/>"
            "<Item Address=\"20\" Memory=\"2\" Name=\"Odd Width\" RW=\"3\" Length=\"3\" UI=\"1\"/>"
            "<Item Address=\"5000\" Memory=\"2\" Name=\"Far Item\" RW=\"3\" Length=\"1\" UI=\"1\"/>"));
        ControlOnBus::SetUp();
        bus_.addDevice(sim::Device::protocol2(2, 4300, 1));
        bus_.clearReceived();
    }
};

TEST_F(UnusualModels, AreRefusedBeforeAnythingIsReadOrWritten)
{
    expectFailure(control_->get(2, "Odd Width", false), "invalid_argument", "Unsupported item length");
    expectFailure(control_->set(2, "Odd Width", 7, false), "invalid_argument", "Unsupported item length");
    expectFailure(control_->table(2, 0, 65535, false), "invalid_argument",
                  "Control table of ODD-3 is 5001 bytes, larger than the 4096 bytes a table read holds");
    EXPECT_EQ(received(0x02), 0);
    EXPECT_EQ(received(0x03), 0);
    EXPECT_EQ(received(0x01), 3); // only the pings
}

// A sign rule that looks at another item: "Signed Goal" counts as signed while
// "Goal Limit" is above 0.
class ReferringSign : public ControlOnBus
{
protected:
    void SetUp() override
    {
        folder_.writeDescription("sgn.xml", DescriptionFolder::withItems(
            "Name=\"SG-1\" ModelNumber=\"4301\" Type=\"Quorvex2\" MinimumVersion=\"0\"",
            "<Item Address=\"0\" Memory=\"1\" Name=\"Model Number\" RW=\"1\" Length=\"2\" UI=\"0\"/>"
            "<Item Address=\"6\" Memory=\"1\" Name=\"Firmware Version\" RW=\"1\" Length=\"1\" UI=\"0\"/>"
            "<Item Address=\"30\" Memory=\"1\" Name=\"Goal Limit\" RW=\"3\" Length=\"2\" UI=\"1\"/>"
            "<Item Address=\"32\" Memory=\"2\" Name=\"Signed Goal\" RW=\"3\" Length=\"2\" UI=\"1\""
            " Sign=\"1024\" Min=\"-addr30\" Max=\"addr30\"/>"));
        ControlOnBus::SetUp();
        sim::Device device = sim::Device::protocol2(2, 4301, 1, 64);
        device.setInitial(30, QByteArray::fromHex("6400")); // 100
        device.setInitial(32, QByteArray::fromHex("0500")); // 5
        bus_.addDevice(device);
    }
};

TEST_F(ReferringSign, TableJudgesTheSignByTheValuesItJustRead)
{
    // Only "Signed Goal" is in the range; "Goal Limit", which its sign rule
    // reads, comes from the same image, not from an older value.
    const CommandResult result = control_->table(2, 32, 33, false);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    const QVariantList items = result.data.value("items").toList();
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items.first().toMap().value("name"), "Signed Goal");
    EXPECT_EQ(items.first().toMap().value("value"), 1019); // 1024 - 5, the rule for a referred sign

    // With "Goal Limit" at 0 the same raw value is unsigned.
    bus_.setMemory(2, 30, QByteArray::fromHex("0000"));
    EXPECT_EQ(control_->table(2, 32, 33, false).data.value("items").toList().first().toMap().value("value"), 5);
}

} // namespace
