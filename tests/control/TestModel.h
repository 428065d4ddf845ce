#pragma once
// A small description with one item of every presentation kind, loaded into
// a registry of its own; the control tests and the simulated devices built
// from it share it.

#include "device/QvxModelRegistry.h"
#include "tests/device/DescriptionFolder.h"

#include <QByteArray>
#include <gtest/gtest.h>

namespace control_test {

constexpr quint16 kTestModelNumber = 4242;
constexpr quint8 kTestFirmware = 7;

// Items (address: name):
//   0 Model Number, 6 Firmware Version, 7 ID (the usual protocol 2.0 layout)
//   10 Drive Mode: bit names, bit 2 switches the unit and scale of Profile Time
//   11 Operating Mode: value names with "-" gaps
//   12 Status Flags: read-only bit names A, B, C
//   36 PWM Limit: 2 bytes, the bound that Goal PWM's limits refer to
//   40 Goal PWM: 2 bytes, limits -addr36 to addr36
//   44 Velocity Limit: 4 bytes, the Max of Goal Velocity (an "addr" bound)
//   48 Goal Velocity: 4 bytes, Min addr52, Max addr44
//   52 Homing Offset: 4 bytes, two's complement (Sign 2147483648), 0.087890625 °
//   56 Net Address: dotted quad
//   64 Torque Enable: OFF, ON
//   65 Spare Byte: a scale without a unit
//   66 Empty Choice: value names that are all "-"
//   70 An Item With A Thirty Char Name: 1 byte
//   96 Present Current: 2 bytes, Sign 32768, 2.69 mA
//   100 Present PWM: 2 bytes, Sign 1024, Direction 1024, 0.0977517106549365 %
//   104 Profile Time: 4 bytes, "ms" x 1 while bit 2 of Drive Mode is set, else "rev/min" x 0.229
//   110 Gear Mode: conditional limits (equality on Operating Mode, else the unit condition)
//   112 Raw Counter: 4 bytes, no sign rule
//   132 Present Position: 4 bytes, 0.087890625 °
//   140 Hidden Trim: hidden
//   Category "Motor": 150 Motor Present Temperature (1 byte, 1 °C)
inline QByteArray testDescription()
{
    return DescriptionFolder::withItems(
        QStringLiteral("Name=\"TS-100\" ModelNumber=\"4242\" Type=\"Quorvex2\" MinimumVersion=\"0\""),
        QStringLiteral(
            "<Item Address=\"0\" Memory=\"1\" Name=\"Model Number\" RW=\"1\" Length=\"2\" UI=\"0\"/>"
            "<Item Address=\"6\" Memory=\"1\" Name=\"Firmware Version\" RW=\"1\" Length=\"1\" UI=\"0\"/>"
            "<Item Address=\"7\" Memory=\"1\" Name=\"ID\" RW=\"3\" Length=\"1\" Min=\"0\" Max=\"252\" Init=\"1\" UI=\"1\"/>"
            "<Item Address=\"10\" Memory=\"1\" Name=\"Drive Mode\" RW=\"3\" Length=\"1\" Min=\"0\" Max=\"255\" UI=\"9\""
            " Label=\"Reverse Mode:-:Time-based Profile:-:-:-:-:-\"/>"
            "<Item Address=\"11\" Memory=\"1\" Name=\"Operating Mode\" RW=\"3\" Length=\"1\" Min=\"0\" Max=\"4\" Init=\"3\""
            " UI=\"3\" Label=\"Current:-:Velocity:Position:PWM\"/>"
            "<Item Address=\"12\" Memory=\"2\" Name=\"Status Flags\" RW=\"1\" Length=\"1\" UI=\"8\" Label=\"A:B:C\"/>"
            "<Item Address=\"36\" Memory=\"1\" Name=\"PWM Limit\" RW=\"3\" Length=\"2\" Min=\"0\" Max=\"885\" Init=\"885\""
            " UI=\"1\" Unit=\"%\" Scale=\"0.113\"/>"
            "<Item Address=\"40\" Memory=\"2\" Name=\"Goal PWM\" RW=\"3\" Length=\"2\" Min=\"-addr36\" Max=\"addr36\""
            " UI=\"1\" Sign=\"32768\" Unit=\"%\" Scale=\"0.113\"/>"
            "<Item Address=\"44\" Memory=\"1\" Name=\"Velocity Limit\" RW=\"3\" Length=\"4\" Min=\"0\" Max=\"1023\""
            " Init=\"265\" UI=\"1\" Unit=\"rev/min\" Scale=\"0.229\"/>"
            "<Item Address=\"48\" Memory=\"2\" Name=\"Goal Velocity\" RW=\"3\" Length=\"4\" Min=\"addr52\" Max=\"addr44\""
            " UI=\"1\" Unit=\"rev/min\" Scale=\"0.229\"/>"
            "<Item Address=\"52\" Memory=\"1\" Name=\"Homing Offset\" RW=\"3\" Length=\"4\" Min=\"-1044479\""
            " Max=\"1044479\" UI=\"1\" Sign=\"2147483648\" Unit=\"°\" Scale=\"0.087890625\"/>"
            "<Item Address=\"56\" Memory=\"1\" Name=\"Net Address\" RW=\"3\" Length=\"4\" UI=\"21\"/>"
            "<Item Address=\"64\" Memory=\"2\" Name=\"Torque Enable\" RW=\"3\" Length=\"1\" Min=\"0\" Max=\"1\" UI=\"3\""
            " Label=\"OFF:ON\"/>"
            "<Item Address=\"65\" Memory=\"2\" Name=\"Spare Byte\" RW=\"3\" Length=\"1\" Min=\"0\" Max=\"255\" UI=\"1\""
            " Scale=\"2\"/>"
            "<Item Address=\"66\" Memory=\"2\" Name=\"Empty Choice\" RW=\"3\" Length=\"1\" Min=\"0\" Max=\"1\" UI=\"3\""
            " Label=\"-:-\"/>"
            "<Item Address=\"70\" Memory=\"2\" Name=\"An Item With A Thirty Char Nam\" RW=\"3\" Length=\"1\" UI=\"1\"/>"
            "<Item Address=\"96\" Memory=\"2\" Name=\"Present Current\" RW=\"1\" Length=\"2\" UI=\"0\" Sign=\"32768\""
            " Unit=\"mA\" Scale=\"2.69\"/>"
            "<Item Address=\"100\" Memory=\"2\" Name=\"Present PWM\" RW=\"1\" Length=\"2\" UI=\"0\" Sign=\"1024\""
            " Direction=\"1024\" Unit=\"%\" Scale=\"0.0977517106549365\"/>"
            "<Item Address=\"104\" Memory=\"2\" Name=\"Profile Time\" RW=\"3\" Length=\"4\" Min=\"0\" Max=\"32767\" UI=\"1\""
            " Unit=\"ms:rev/min\" Scale=\"1:0.229\" UnitCondition=\"addr10&amp;4:-\"/>"
            "<Item Address=\"110\" Memory=\"2\" Name=\"Gear Mode\" RW=\"3\" Length=\"1\" UI=\"1\""
            " Min=\"10:20:30\" Max=\"11:21:31\" MinMaxCondition=\"addr11==4:addr11==9:-\" UnitCondition=\"-:addr10&amp;1:-\"/>"
            "<Item Address=\"112\" Memory=\"2\" Name=\"Raw Counter\" RW=\"1\" Length=\"4\" UI=\"0\"/>"
            "<Item Address=\"132\" Memory=\"2\" Name=\"Present Position\" RW=\"1\" Length=\"4\" UI=\"6\""
            " Unit=\"°\" Scale=\"0.087890625\"/>"
            "<Item Address=\"140\" Memory=\"2\" Name=\"Hidden Trim\" RW=\"3\" Length=\"1\" UI=\"1\" Hidden=\"1\"/>"
            "<Category Name=\"Motor\"><Item Address=\"150\" Memory=\"2\" Name=\"Present Temperature\" RW=\"1\""
            " Length=\"1\" UI=\"0\" Unit=\"°C\" Scale=\"1\"/></Category>"));
}

// The test description loaded on its own.
class TestModel
{
public:
    TestModel()
    {
        folder_.write(QStringLiteral("ts-100.xml"), testDescription());
        registry_.load(folder_.path(), true);
        model_ = registry_.find(kTestModelNumber, kTestFirmware);
        EXPECT_NE(model_, nullptr);
    }

    QvxDeviceModel &model() { return *model_; }
    QvxControlItem &item(const QString &name) { return *model_->itemsByName.value(name); }
    QString folder() const { return folder_.path(); }

private:
    DescriptionFolder folder_;
    QvxModelRegistry registry_;
    QvxDeviceModel *model_ = nullptr;
};

} // namespace control_test
