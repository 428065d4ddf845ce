// Item columns and rows, conditions, bounds and sign tests, against the test
// description, with referenced values taken from the items or from a counting source.

#include "control/ItemPresenter.h"
#include "control/QvxControl.h"
#include "device/QvxDeviceModel.h"
#include "tests/control/TestModel.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

using control_test::TestModel;

class PresentationTest : public ::testing::Test
{
protected:
    // Sets raw values (as a read would leave them) by item name.
    void set(std::initializer_list<std::pair<const char *, int>> values)
    {
        for (const auto &[name, value] : values)
            ts_.item(QString::fromUtf8(name)).value = value;
    }

    TestModel ts_;
    ItemPresenter cached_{&ts_.model()};
};

TEST_F(PresentationTest, TableRowsShowEveryColumnKind)
{
    struct Case
    {
        const char *item;
        int raw;
        const char *row;
    };
    const Case cases[] = {
        {"Torque Enable", 1, "64   : Torque Enable             :          1 :       0x01 : ON\n"},
        {"Present Position", 2048,
         "132  : Present Position          :       2048 : 0x00000800 :   180.00 [°]\n"},
        // Sign 32768 on two bytes: FF FF is -1, shown as its two's complement.
        {"Present Current", 0xFFFF, "96   : Present Current           :         -1 :     0xFFFF :    -2.69 [mA]\n"},
        // A small Sign counts down from it; Direction turns the scaled value round.
        {"Present PWM", 1500, "100  : Present PWM               :       -476 :     0xFE24 :   -46.53 [%]\n"},
        // Four bytes without a sign rule show all 32 bits unsigned, the scaled value too.
        {"Raw Counter", -1, "112  : Raw Counter               : 4294967295 : 0xFFFFFFFF : \n"},
        {"Present Position", int(0x80FFFFFF),
         "132  : Present Position          : 2164260863 : 0x80FFFFFF : 190218239.91 [°]\n"},
        {"Velocity Limit", int(0x80000000),
         "44   : Velocity Limit            : 2147483648 : 0x80000000 : 491773755.39 [rev/min]\n"},
        {"Homing Offset", -2048, "52   : Homing Offset             :      -2048 : 0xFFFFF800 :  -180.00 [°]\n"},
        {"Status Flags", 5, "12   : Status Flags              :          5 :       0x05 : A, C, \n"},
        {"Net Address", 0x0100A8C0, "56   : Net Address               :   16820416 : 0x0100A8C0 : 192.168.0.1\n"},
        {"Operating Mode", 4, "11   : Operating Mode            :          4 :       0x04 : PWM\n"},
        // One past the last name shows nothing after the separator.
        {"Operating Mode", 5, "11   : Operating Mode            :          5 :       0x05 : \n"},
        // A scale without a unit shows no value column.
        {"Spare Byte", 3, "65   : Spare Byte                :          3 :       0x03 : \n"},
        {"Model Number", 4242, "0    : Model Number              :       4242 :     0x1092 : TS-100\n"},
        // The name is cut to 25 characters in a table.
        {"An Item With A Thirty Char Nam", 0, "70   : An Item With A Thirty Cha :          0 :       0x00 : \n"},
        {"Motor Present Temperature", 40, "150  : Motor Present Temperature :         40 :       0x28 :       40 [°C]\n"},
        {"Hidden Trim", 1, ""},
    };
    for (const Case &c : cases) {
        QvxControlItem &item = ts_.item(QString::fromUtf8(c.item));
        item.value = c.raw;
        EXPECT_EQ(cached_.tableRow(item), QString::fromUtf8(c.row)) << c.item << " " << c.raw;
    }
}

TEST_F(PresentationTest, ColumnsOnTheirOwn)
{
    QvxControlItem item;
    struct HexCase
    {
        int length;
        int value;
        const char *hex;
    };
    for (const HexCase &c : {HexCase{1, 5, "      0x05"}, HexCase{2, 1024, "    0x0400"}, HexCase{4, 2048, "0x00000800"},
                             HexCase{2, -1, "    0xFFFF"}, HexCase{1, -100, "      0x9C"}}) {
        item.length = quint16(c.length);
        item.value = c.value;
        EXPECT_EQ(ItemPresenter::hexColumn(item), QString::fromUtf8(c.hex)) << c.length << " " << c.value;
    }

    item.labels = QStringList{QStringLiteral("OFF"), QStringLiteral("ON")};
    item.min = QStringLiteral("1");
    item.value = 0;
    EXPECT_EQ(cached_.enumColumn(item), QStringLiteral("Error")); // below Min
    item.value = 2;
    EXPECT_EQ(cached_.enumColumn(item), QStringLiteral("ON"));
    item.min = QStringLiteral("addr36"); // reads as 0
    item.value = 1;
    EXPECT_EQ(cached_.enumColumn(item), QStringLiteral("ON"));

    // Only the low 8 bits count, and only bits with a name.
    item.labels = QStringList{QStringLiteral("A"), QStringLiteral("-"), QStringLiteral("C")};
    item.value = 0x1FF;
    EXPECT_EQ(ItemPresenter::bitNamesColumn(item), QStringLiteral("A, -, C, "));

    // An integer scale multiplies the unsigned number of four bytes, not its low 32 bits.
    QvxControlItem wide;
    wide.length = 4;
    wide.unit = QStringLiteral("x");
    wide.scale = QStringLiteral("2");
    wide.value = int(0x80000001);
    EXPECT_EQ(cached_.scaledColumn(wide), QStringLiteral("4294967298 [x]"));
    wide.sign = 0x80000000u; // with a sign rule: -2147483647
    EXPECT_EQ(cached_.scaledColumn(wide), QStringLiteral("-4294967294 [x]"));

    // A unit list shorter than the condition list leaves the unit empty.
    QvxControlItem &time = ts_.item(QStringLiteral("Profile Time"));
    time.units = QStringList{QStringLiteral("ms")};
    ts_.item(QStringLiteral("Drive Mode")).value = 0;
    time.value = 10;
    EXPECT_EQ(cached_.scaledColumn(time), QStringLiteral("    2.29 []"));
}

TEST_F(PresentationTest, ConditionsChooseUnitAndScale)
{
    QvxControlItem &time = ts_.item(QStringLiteral("Profile Time"));
    time.value = 100;
    struct Case
    {
        int driveMode;
        const char *unit;
        const char *scale;
        const char *scaleLine;
        const char *scaled;
    };
    for (const Case &c : {Case{4, "ms", "1", "1 [ms]", "  100.00 [ms]"},
                          Case{5, "ms", "1", "1 [ms]", "  100.00 [ms]"},
                          Case{1, "rev/min", "0.229", "0.229 [rev/min]", "   22.90 [rev/min]"}}) {
        set({{"Drive Mode", c.driveMode}});
        EXPECT_EQ(cached_.unit(time), QString::fromUtf8(c.unit)) << c.driveMode;
        EXPECT_EQ(cached_.scale(time), QString::fromUtf8(c.scale)) << c.driveMode;
        EXPECT_EQ(cached_.scaleLine(time), QString::fromUtf8(c.scaleLine)) << c.driveMode;
        EXPECT_EQ(cached_.scaledColumn(time), QString::fromUtf8(c.scaled)) << c.driveMode;
    }
    // Without a condition: the texts themselves, "1" for no scale, and "%.5g" for fractions.
    EXPECT_EQ(cached_.scaleLine(ts_.item(QStringLiteral("Present PWM"))), QStringLiteral("0.097752 [%]"));
    EXPECT_EQ(cached_.scaleLine(ts_.item(QStringLiteral("Spare Byte"))), QStringLiteral("2"));
    EXPECT_EQ(cached_.scaleLine(ts_.item(QStringLiteral("Raw Counter"))), QStringLiteral("1"));
}

TEST_F(PresentationTest, BoundsFollowReferencedItemsAndConditions)
{
    struct Case
    {
        const char *name;
        int pwmLimit, homing, velocityLimit, operatingMode, driveMode;
        int minimum, maximum;
    };
    const Case cases[] = {
        {"Goal PWM", 885, 0, 0, 0, 0, -885, 885},
        {"Goal Velocity", 0, -300, 265, 0, 0, -300, 265},
        {"Torque Enable", 0, 0, 0, 0, 0, 0, 1},
        // Equality on Operating Mode picks the first bounds ...
        {"Gear Mode", 0, 0, 0, 4, 1, 10, 11},
        // ... else the unit condition at the same position ...
        {"Gear Mode", 0, 0, 0, 3, 1, 20, 21},
        // ... else the last position.
        {"Gear Mode", 0, 0, 0, 3, 0, 30, 31},
        // Texts that give no number are 0.
        {"Raw Counter", 0, 0, 0, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        set({{"PWM Limit", c.pwmLimit},
             {"Homing Offset", c.homing},
             {"Velocity Limit", c.velocityLimit},
             {"Operating Mode", c.operatingMode},
             {"Drive Mode", c.driveMode}});
        const QvxControlItem &item = ts_.item(QString::fromUtf8(c.name));
        EXPECT_EQ(cached_.rules().minimum(item), c.minimum) << c.name;
        EXPECT_EQ(cached_.rules().maximum(item), c.maximum) << c.name;
    }
    EXPECT_EQ(ItemPresenter(nullptr).rules().minimum(ts_.item(QStringLiteral("Torque Enable"))), 0);
}

TEST_F(PresentationTest, SignFollowsThresholdMinimumAndReferencedItems)
{
    QvxControlItem item;
    item.length = 4;
    struct Case
    {
        const char *min;
        quint32 sign;
        int value;
        int referenced; // value of the item at 36 (PWM Limit) and 52 (Homing Offset)
        bool isSigned;
    };
    const Case cases[] = {
        {"0", 100, 100, 0, true},   // at the threshold
        {"0", 100, 99, 0, false},
        {"-5", 0, 1, 0, true},      // a negative decimal minimum
        {"-addr36", 0, 1, 1, true}, // while the item at 36 is above 0
        {"-addr36", 0, 1, 0, false},
        {"addr52", 0, 1, -1, true}, // while the item at 52 is below 0
        {"addr52", 0, 1, 1, false},
        {"-addr200", 0, 1, 1, false}, // an address the model lacks never makes it signed
    };
    for (const Case &c : cases) {
        set({{"PWM Limit", c.referenced}, {"Homing Offset", c.referenced}});
        item.min = QString::fromUtf8(c.min);
        item.sign = c.sign;
        item.value = c.value;
        EXPECT_EQ(cached_.isSigned(item), c.isSigned) << c.min << " " << c.sign << " " << c.value;
    }
    EXPECT_FALSE(ItemPresenter(nullptr).isSigned(ts_.item(QStringLiteral("Goal PWM"))));
}

TEST_F(PresentationTest, DeviceSourceIsAskedOncePerItemAndNeverForReferencesToNothing)
{
    QStringList asked;
    const ItemPresenter device(&ts_.model(), [&](QvxControlItem &item) {
        asked.append(item.name);
        return item.name == QLatin1String("PWM Limit") ? 885 : 0;
    });
    const QvxControlItem &goalPwm = ts_.item(QStringLiteral("Goal PWM"));
    EXPECT_EQ(device.rules().minimum(goalPwm), -885);
    EXPECT_EQ(device.rules().maximum(goalPwm), 885);
    EXPECT_TRUE(device.isSigned(goalPwm)); // PWM Limit above 0; it is not asked again
    EXPECT_EQ(asked, QStringList{QStringLiteral("PWM Limit")});

    // A mask that is no number, an address without an item and a reference
    // that is no address hold nothing and ask for nothing.
    asked.clear();
    const ItemRules &rules = device.rules();
    EXPECT_EQ(rules.conditionIndex(QStringList{QStringLiteral("addr10&x"), QStringLiteral("-")}), 1);
    EXPECT_EQ(rules.conditionIndex(QStringList{QStringLiteral("addr200&1"), QStringLiteral("-")}), 1);
    QvxControlItem item;
    item.length = 4;
    item.value = 1;
    for (const char *min : {"-1048575:addr52", "addr", "-addr200", "addrx12"}) {
        item.min = QString::fromUtf8(min);
        EXPECT_FALSE(rules.isSigned(item)) << min;
        EXPECT_EQ(rules.minimum(item), 0) << min;
    }
    item.minMaxCondition = QStringLiteral("addr200==0:-");
    item.minMaxConditions = item.minMaxCondition.split(QLatin1Char(':'));
    item.mins = QStringList{QStringLiteral("5"), QStringLiteral("7")};
    EXPECT_EQ(rules.minimum(item), 7); // an equality on a missing item does not hold, even against 0
    EXPECT_TRUE(asked.isEmpty()) << asked.join(QLatin1Char(',')).toStdString();

    // A new presenter (the next row or command) asks again.
    EXPECT_EQ(ItemPresenter(&ts_.model(), [&](QvxControlItem &i) {
                  asked.append(i.name);
                  return 3;
              }).rules().minimum(goalPwm),
              -3);
    EXPECT_EQ(asked, QStringList{QStringLiteral("PWM Limit")});
}

TEST_F(PresentationTest, NamesArePaddedByBytesAndCutOnlyWhereAsked)
{
    QvxControlItem &item = ts_.item(QStringLiteral("An Item With A Thirty Char Nam"));
    EXPECT_EQ(ItemPresenter::nameColumn(item, false), item.name);
    EXPECT_EQ(ItemPresenter::nameColumn(item, true), item.name.left(25));
    QvxControlItem wide;
    wide.name = QStringLiteral("Temp °C"); // 8 bytes of UTF-8 in 7 characters
    EXPECT_EQ(ItemPresenter::nameColumn(wide, true), QStringLiteral("Temp °C") + QString(17, QLatin1Char(' ')));
}

TEST_F(PresentationTest, DecodingTakesLittleEndianBytesAndZeroPastTheImage)
{
    const QByteArray image = QByteArray::fromHex("0102030405FFFFFFFF");
    QvxControlItem item;
    struct Case
    {
        quint16 address, length;
        int value;
    };
    for (const Case &c : {Case{0, 1, 0x01}, Case{0, 2, 0x0201}, Case{1, 4, 0x05040302}, Case{5, 4, -1},
                          Case{5, 2, 0xFFFF}, Case{6, 4, 0}, Case{9, 1, 0}}) {
        item.address = c.address;
        item.length = c.length;
        item.value = 77;
        QvxControl::decodeItemValue(&item, image);
        EXPECT_EQ(item.value, c.value) << c.address << "/" << c.length;
    }
    item.length = 3; // not a width the table has: left alone
    item.value = 77;
    QvxControl::decodeItemValue(&item, image);
    EXPECT_EQ(item.value, 77);
}

} // namespace
