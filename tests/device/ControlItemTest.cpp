// Value semantics of control items: sign rules, value labels, scaled text,
// conditional units and limits, byte assembly and indirect items; and the
// record defaults that the rest of the program relies on.
#include "device/DecimalText.h"
#include "device/QvxDeviceModel.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

// A model built by hand; the test owns the items.
struct ModelBuilder
{
    QvxDeviceModel model;
    std::vector<std::unique_ptr<QvxControlItem>> owned;

    QvxControlItem *add(const QString &name, quint16 address, quint16 length, int value = 0)
    {
        owned.push_back(std::make_unique<QvxControlItem>());
        QvxControlItem *item = owned.back().get();
        item->name = name;
        item->address = address;
        item->length = length;
        item->value = value;
        model.items.append(item);
        model.itemsByAddress.insert(address, item);
        model.itemsByName.insert(name, item);
        model.itemsByLowerName.insert(name.toLower(), item);
        return item;
    }
};

QvxControlItem signedItem(quint16 length, quint32 sign, int value, const QString &min = QString())
{
    QvxControlItem item;
    item.length = length;
    item.sign = sign;
    item.value = value;
    item.min = min;
    return item;
}

} // namespace

TEST(ItemScale, ADecimalReadsExactlyAsQtReadsIt)
{
    // The quick reader of plain decimals and Qt's own agree on every text:
    // value, sign of zero and whether it is a number at all.
    const char *texts[] = {"0.088", "0.087890625", "2.69", "-1", "1", "0", "-0", "-0.0", "1.", ".5", "007",
                           "0.0977517106549365", "123456789012345678901234567890", "", ".", "-", "--1", "1..2",
                           "1.2.3", " 1", "1 ", "+1", "1e3", "1E-2", "inf", "nan", "0x10", "1,5", "abc", "12a",
                           "0.1234567890123456789012345678901"};
    for (const char *t : texts) {
        const QString text = QString::fromLatin1(t);
        bool quick = false;
        bool qt = false;
        const double a = decimalValue(text, &quick);
        const double b = text.toDouble(&qt);
        EXPECT_EQ(quick, qt) << t;
        if (qt && std::isnan(b)) {
            EXPECT_TRUE(std::isnan(a)) << t;
        } else if (qt) {
            EXPECT_EQ(a, b) << t;
            EXPECT_EQ(std::signbit(a), std::signbit(b)) << t;
        }
    }
}

TEST(ItemSign, ThresholdAndLengthDecideTheSignedReading)
{
    struct Case
    {
        const char *what;
        quint16 length;
        quint32 sign;
        int raw;
        bool isSigned;
        int result;
    };
    const Case cases[] = {
        {"1024 on two bytes counts down from the threshold", 2, 1024, 1500, true, -476},
        {"below the threshold stays", 2, 1024, 1000, false, 1000},
        {"128 on one byte is two's complement", 1, 128, 200, true, -56},
        {"127 on one byte stays", 1, 128, 127, false, 127},
        {"32767 converts to itself", 2, 32767, 32767, true, 32767},
        {"32767 threshold, 65535 is -1", 2, 32767, 65535, true, -1},
        {"36864 is two's complement, not 36864 - raw", 2, 36864, 40000, true, -25536},
        {"2^31 on four bytes leaves the value", 4, 2147483648u, -1, true, -1},
        {"small four-byte threshold subtracts", 4, 1000, 1500, true, -500},
        {"no threshold is unsigned", 2, 0, 65535, false, 65535},
        {"odd length is left alone", 3, 10, 20, true, 20},
    };
    for (const Case &c : cases) {
        QvxControlItem item = signedItem(c.length, c.sign, c.raw);
        EXPECT_EQ(item.isSigned(nullptr), c.isSigned) << c.what;
        item.applySign(nullptr);
        EXPECT_EQ(item.value, c.result) << c.what;
    }
}

TEST(ItemSign, MinimumTextMakesItemSignedThroughReferencedItem)
{
    ModelBuilder b;
    QvxControlItem *limit = b.add(QStringLiteral("PWM Limit"), 44, 2, 1023);
    QvxControlItem *present = b.add(QStringLiteral("Present Position"), 52, 4, -5);

    QvxControlItem goal = signedItem(2, 0, 65535, QStringLiteral("-addr44"));
    EXPECT_TRUE(goal.isSigned(&b.model));
    EXPECT_FALSE(goal.isSigned(nullptr));
    limit->value = 0;
    EXPECT_FALSE(goal.isSigned(&b.model));
    goal.min = QStringLiteral("-addr45"); // no item there
    EXPECT_FALSE(goal.isSigned(&b.model));

    QvxControlItem follower = signedItem(4, 0, 7, QStringLiteral("addr52"));
    EXPECT_TRUE(follower.isSigned(&b.model));
    present->value = 5;
    EXPECT_FALSE(follower.isSigned(&b.model));

    // A negative number needs no model, and holds for every value.
    EXPECT_TRUE(signedItem(2, 0, 0, QStringLiteral("-100")).isSigned(nullptr));
}

TEST(ItemLabels, BuildValueLabelsFollowsPlaceholderAndTilde)
{
    auto labelsOf = [](const QString &label, const QString &min, const QString &max, const QString &unit = {},
                       const QString &scale = {}) {
        QvxControlItem item;
        item.label = label;
        item.min = min;
        item.max = max;
        item.unit = unit;
        item.scale = scale;
        return item.buildValueLabels();
    };

    const QStringList ids = labelsOf(QStringLiteral("ID {0}"), QStringLiteral("0"), QStringLiteral("252"));
    ASSERT_EQ(ids.size(), 253);
    EXPECT_EQ(ids.first(), QStringLiteral("ID 0"));
    EXPECT_EQ(ids.last(), QStringLiteral("ID 252"));

    const QStringList watchdog = labelsOf(QStringLiteral("Disable:{0}:~"), QStringLiteral("0"),
                                          QStringLiteral("127"), QStringLiteral("ms"), QStringLiteral("20"));
    ASSERT_EQ(watchdog.size(), 128);
    EXPECT_EQ(watchdog.at(0), QStringLiteral("Disable"));
    EXPECT_EQ(watchdog.at(1), QStringLiteral("      20 [ms]"));
    EXPECT_EQ(watchdog.at(127), QStringLiteral("    2540 [ms]"));

    const QStringList secondary = labelsOf(QStringLiteral("Secondary ID {0}:~:-:-:Disable"), QStringLiteral("0"),
                                           QStringLiteral("255"));
    ASSERT_EQ(secondary.size(), 256);
    EXPECT_EQ(secondary.at(252), QStringLiteral("Secondary ID 252"));
    EXPECT_EQ(secondary.mid(253), (QStringList{QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("Disable")}));

    // The protocol 1.0 baud-rate label: 38 entries, "~" at 36, one entry after it.
    QStringList baud(36, QStringLiteral("-"));
    baud[16] = QStringLiteral("115200 bps ({0})");
    baud << QStringLiteral("~") << QStringLiteral("9600 bps ({0})");
    const QStringList rates = labelsOf(baud.join(QLatin1Char(':')), QStringLiteral("0"), QStringLiteral("207"));
    ASSERT_EQ(rates.size(), 208);
    EXPECT_EQ(rates.at(16), QStringLiteral("115200 bps (16)"));
    for (int i = 35; i <= 206; ++i)
        EXPECT_EQ(rates.at(i), QStringLiteral("-")) << i;
    EXPECT_EQ(rates.at(207), QStringLiteral("9600 bps (207)"));

    // Fewer values than fixed entries: head, then the tail numbered from count - k.
    EXPECT_EQ(labelsOf(QStringLiteral("A:{0}:~:X{0}:Y"), QStringLiteral("0"), QStringLiteral("1")),
              (QStringList{QStringLiteral("A"), QStringLiteral("1"), QStringLiteral("X0"), QStringLiteral("Y")}));

    // Without a placeholder the label is split as it stands; "~" is an ordinary entry.
    EXPECT_EQ(labelsOf(QStringLiteral("OFF:ON"), QStringLiteral("0"), QStringLiteral("100")),
              (QStringList{QStringLiteral("OFF"), QStringLiteral("ON")}));
    EXPECT_EQ(labelsOf(QStringLiteral("OFF:~"), QStringLiteral("0"), QStringLiteral("5")).size(), 2);
    EXPECT_EQ(labelsOf(QString(), QStringLiteral("0"), QStringLiteral("5")), QStringList{QString()});
    EXPECT_TRUE(labelsOf(QStringLiteral("{0}"), QStringLiteral("5"), QStringLiteral("3")).isEmpty());
}

TEST(ItemLabels, LeadingTildeRepeatsEmptyTextInsteadOfReadingBeforeTheList)
{
    QvxControlItem item;
    item.label = QStringLiteral("~:{0}");
    item.min = QStringLiteral("0");
    item.max = QStringLiteral("3");
    EXPECT_EQ(item.buildValueLabels(), (QStringList{QString(), QString(), QString(), QStringLiteral("3")}));
}

TEST(ItemLabels, AbsurdSpanIsCutAtTheRangeLimit)
{
    QvxControlItem item;
    item.label = QStringLiteral("{0}:~:Last");
    item.min = QStringLiteral("-2147483648");
    item.max = QStringLiteral("2147483647");
    EXPECT_TRUE(item.labelsCapped());
    const QStringList labels = item.buildValueLabels();
    ASSERT_EQ(labels.size(), QvxControlItem::kMaxRangeCount);
    EXPECT_EQ(labels.at(65534), QStringLiteral("65534"));
    EXPECT_EQ(labels.last(), QStringLiteral("Last"));

    item.label = QStringLiteral("OFF:ON"); // nothing is expanded, so nothing is cut
    EXPECT_FALSE(item.labelsCapped());
}

TEST(ItemLabels, LabelWithValueScalesNumbersOnly)
{
    EXPECT_EQ(QvxControlItem::labelWithValue(QStringLiteral("12"), QStringLiteral("ms"), 20),
              QStringLiteral("     240 [ms]"));
    EXPECT_EQ(QvxControlItem::labelWithValue(QStringLiteral("Disable"), QStringLiteral("ms"), 20),
              QStringLiteral("Disable"));
    // The product wraps in 32 bits.
    EXPECT_EQ(QvxControlItem::labelWithValue(QStringLiteral("2147483647"), QString(), 2), QStringLiteral("      -2 []"));
}

TEST(ItemValueText, ActualValueTextScalesAndCountsDirection)
{
    struct Case
    {
        int value;
        const char *scale;
        int direction;
        int decimals;
        const char *expected;
    };
    const Case cases[] = {
        {1500, "", 0, 2, "1500"},
        {123, "0.1", 0, 2, "12.30"},
        {3, "2", 0, 2, "6"},
        {-7, "3", 0, 2, "-21"},
        {1500, "0.0977517106549365", 1024, 2, "-46.53"},
        {1000, "0.0977517106549365", 1024, 1, "97.8"},
        {5, "abc", 0, 2, "0"},
        {2147483647, "1000000", 0, 2, "2147483647"}, // saturates rather than overflowing
        {11, "0.25", 0, -3, "3"}, // a negative precision prints no decimals
    };
    for (const Case &c : cases) {
        QvxControlItem item;
        item.value = c.value;
        item.scale = QString::fromLatin1(c.scale);
        item.direction = c.direction;
        EXPECT_EQ(item.actualValueText(c.decimals), QString::fromLatin1(c.expected)) << c.value << " " << c.scale;
    }
}

TEST(ItemConditions, UnitAndScaleFollowTheBitOfTheReferencedItem)
{
    ModelBuilder b;
    QvxControlItem *driveMode = b.add(QStringLiteral("Drive Mode"), 10, 1, 4);
    QvxControlItem profile;
    profile.unit = QStringLiteral("ms:rev/min");
    profile.scale = QStringLiteral("1:0.229");
    profile.unitCondition = QStringLiteral("addr10&4:-");
    profile.units = profile.unit.split(QLatin1Char(':'));
    profile.scales = profile.scale.split(QLatin1Char(':'));
    profile.unitConditions = profile.unitCondition.split(QLatin1Char(':'));

    EXPECT_EQ(profile.conditionalUnit(&b.model), QStringLiteral("ms"));
    EXPECT_DOUBLE_EQ(profile.conditionalScale(&b.model), 1.0);
    driveMode->value = 3;
    EXPECT_EQ(profile.conditionalUnit(&b.model), QStringLiteral("rev/min"));
    EXPECT_DOUBLE_EQ(profile.conditionalScale(&b.model), 0.229);
    // Without a model, or naming an item the model lacks, no condition holds: the last entry.
    EXPECT_EQ(profile.conditionalUnit(nullptr), QStringLiteral("rev/min"));
    profile.unitConditions = QStringList{QStringLiteral("addr11&4"), QStringLiteral("-")};
    driveMode->value = 4;
    EXPECT_EQ(profile.conditionalUnit(&b.model), QStringLiteral("rev/min"));
    // A unit list shorter than the conditions gives nothing.
    profile.units = QStringList{QStringLiteral("ms")};
    profile.scales = QStringList{QStringLiteral("1")};
    EXPECT_EQ(profile.conditionalUnit(&b.model), QString());
    EXPECT_DOUBLE_EQ(profile.conditionalScale(&b.model), 0.0);

    QvxControlItem plain;
    plain.unit = QStringLiteral("V");
    EXPECT_EQ(plain.conditionalUnit(&b.model), QStringLiteral("V"));
    EXPECT_DOUBLE_EQ(plain.conditionalScale(&b.model), 1.0); // no scale at all
    plain.scale = QStringLiteral("0.1");
    EXPECT_DOUBLE_EQ(plain.conditionalScale(&b.model), 0.1);
}

TEST(ItemConditions, LimitsFollowTheModeAndReferencedItems)
{
    ModelBuilder b;
    QvxControlItem *mode = b.add(QStringLiteral("Operating Mode"), 11, 1, 4);
    b.add(QStringLiteral("PWM Limit"), 36, 2, 885);
    b.add(QStringLiteral("Max Position Limit"), 48, 4, 4095);
    b.add(QStringLiteral("Min Position Limit"), 52, 4, 10);
    QvxControlItem *driveMode = b.add(QStringLiteral("Drive Mode"), 10, 1, 0);

    QvxControlItem goal;
    goal.min = QStringLiteral("-1048575:addr52");
    goal.max = QStringLiteral("1048575:addr48");
    goal.minMaxCondition = QStringLiteral("addr11==4:-");
    goal.mins = goal.min.split(QLatin1Char(':'));
    goal.maxes = goal.max.split(QLatin1Char(':'));
    goal.minMaxConditions = goal.minMaxCondition.split(QLatin1Char(':'));
    EXPECT_EQ(goal.conditionalMinimum(&b.model), -1048575);
    EXPECT_EQ(goal.conditionalMaximum(&b.model), 1048575);
    mode->value = 3;
    EXPECT_EQ(goal.conditionalMinimum(&b.model), 10);
    EXPECT_EQ(goal.conditionalMaximum(&b.model), 4095);
    EXPECT_EQ(goal.conditionalMinimum(nullptr), 0);

    QvxControlItem pwm;
    pwm.min = QStringLiteral("-addr36");
    pwm.max = QStringLiteral("addr36");
    EXPECT_EQ(pwm.conditionalMinimum(&b.model), -885);
    EXPECT_EQ(pwm.conditionalMaximum(&b.model), 885);
    pwm.min = QStringLiteral("-addr37"); // no item there
    EXPECT_EQ(pwm.conditionalMinimum(&b.model), 0);
    pwm.max = QStringLiteral("-addr36"); // a maximum has no negated form; "addr" then reads "-36"
    EXPECT_EQ(pwm.conditionalMaximum(&b.model), 0);

    // Where no min/max condition holds, the unit condition of the same position may choose.
    QvxControlItem profile;
    profile.minMaxCondition = QStringLiteral("-:-");
    profile.minMaxConditions = QStringList{QStringLiteral("-"), QStringLiteral("-")};
    profile.unitConditions = QStringList{QStringLiteral("addr10&4"), QStringLiteral("-")};
    profile.maxes = QStringList{QStringLiteral("32767"), QStringLiteral("1023")};
    EXPECT_EQ(profile.conditionalMaximum(&b.model), 1023);
    driveMode->value = 4;
    EXPECT_EQ(profile.conditionalMaximum(&b.model), 32767);
}

TEST(ModelValues, ValueFromByteItemsAssemblesLittleEndianWithTheTargetsSign)
{
    ModelBuilder b;
    for (int i = 0; i < 4; ++i)
        b.add(QStringLiteral("Indirect Data %1").arg(i + 1), static_cast<quint16>(224 + i), 1);
    QvxControlItem *position = b.add(QStringLiteral("Present Position"), 132, 4, 12345);
    position->sign = 2147483648u;
    QvxControlItem *speed = b.add(QStringLiteral("Present Speed"), 38, 2, 0);
    speed->sign = 1024;
    QvxControlItem *first = b.model.itemsByAddress.value(224);

    auto setBytes = [&](std::initializer_list<int> bytes) {
        int address = 224;
        for (int byte : bytes)
            b.model.itemsByAddress.value(address++)->value = byte;
    };
    setBytes({0x00, 0x08, 0x00, 0x00});
    EXPECT_EQ(b.model.valueFromByteItems(first, position), 2048);
    setBytes({0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(b.model.valueFromByteItems(first, position), -1);
    // The sign threshold judges the assembled 1500, not the target's own cached 0.
    setBytes({0xDC, 0x05, 0x00, 0x00});
    EXPECT_EQ(b.model.valueFromByteItems(first, speed), -476);
    // Only the low byte of each slot counts.
    setBytes({0x1FF, 0x00, 0x00, 0x00});
    EXPECT_EQ(b.model.valueFromByteItems(first, position), 0xFF);

    QvxControlItem *third = b.model.itemsByAddress.value(226);
    EXPECT_EQ(b.model.valueFromByteItems(third, position), 0); // only two of four bytes exist
    EXPECT_EQ(b.model.valueFromByteItems(nullptr, position), 0);
    EXPECT_EQ(b.model.valueFromByteItems(first, nullptr), 0);
}

TEST(ModelValues, ResolveIndirectItemFindsTheMirroredItem)
{
    ModelBuilder b;
    for (int n = 1; n <= 8; ++n) {
        b.add(QStringLiteral("Indirect Address %1").arg(n), static_cast<quint16>(168 + 2 * (n - 1)), 2);
        b.add(QStringLiteral("Indirect Data %1").arg(n), static_cast<quint16>(224 + n - 1), 1);
    }
    QvxControlItem *position = b.add(QStringLiteral("Present Position"), 132, 4);
    QvxControlItem *empty = b.add(QStringLiteral("Reserved"), 140, 0);
    for (int j = 0; j < 4; ++j)
        b.model.itemsByName.value(QStringLiteral("Indirect Address %1").arg(5 + j))->value = 132 + j;
    b.model.itemsByName.value(QStringLiteral("Indirect Address 1"))->value = 140;

    QvxControlItem *data5 = b.model.itemsByName.value(QStringLiteral("Indirect Data 5"));
    EXPECT_EQ(b.model.resolveIndirectItem(data5), position);
    QvxControlItem *data1 = b.model.itemsByName.value(QStringLiteral("Indirect Data 1"));
    EXPECT_EQ(b.model.resolveIndirectItem(data1), empty); // a target of length 0 needs no slots

    b.model.itemsByName.value(QStringLiteral("Indirect Address 7"))->value = 999;
    EXPECT_EQ(b.model.resolveIndirectItem(data5), data5); // slot 7 breaks the run
    // Slot 8 names address 135: inside the position, but no item starts there.
    QvxControlItem *data8 = b.model.itemsByName.value(QStringLiteral("Indirect Data 8"));
    EXPECT_EQ(b.model.resolveIndirectItem(data8), data8);

    EXPECT_EQ(b.model.resolveIndirectItem(position), position); // "Present Position" reads as slot 0
    EXPECT_EQ(b.model.resolveIndirectItem(nullptr), nullptr);
}

TEST(ModelValues, SortedValuesOrdersByCodeUnit)
{
    EXPECT_TRUE(sortedValues({}).isEmpty());
    const QMap<int, QString> map{{1, QStringLiteral("b")}, {2, QStringLiteral("B")}, {3, QStringLiteral("a")},
                                 {4, QStringLiteral("b")}};
    EXPECT_EQ(sortedValues(map),
              (QStringList{QStringLiteral("B"), QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("b")}));
}

TEST(Records, DefaultsAreTheDocumentedOnes)
{
    const QvxDeviceModel model;
    EXPECT_EQ(model.angleRange, 360.0);
    EXPECT_EQ(model.handJointPerFinger, (QList<int>{4, 4, 4, 4, 4}));
    EXPECT_EQ(model.fingerCount, 5);
    EXPECT_EQ(model.jointSum, 20);
    EXPECT_EQ(model.temperatureMin, -5);
    EXPECT_EQ(model.temperatureMax, 80);
    EXPECT_EQ(model.voltageMin, 100);
    EXPECT_EQ(model.voltageMax, 200);
    EXPECT_EQ(model.voltageRecommended, 120);
    EXPECT_EQ(model.modelNumber, 0);
    EXPECT_EQ(model.tableSize, 0);
    EXPECT_FALSE(model.isMaster);
    EXPECT_TRUE(model.name.isEmpty());

    const QvxControlItem item;
    EXPECT_EQ(item.rw, 1);
    EXPECT_EQ(item.sign, 0u);
    EXPECT_EQ(item.length, 0);
    EXPECT_FALSE(item.hidden);
    EXPECT_TRUE(item.labels.isEmpty());
}

TEST(Records, KeysOrderByModelNumberThenSignedVersion)
{
    EXPECT_TRUE((QvxModelKey{5, -1} < QvxModelKey{5, 0}));
    EXPECT_TRUE((QvxModelKey{5, 60} < QvxModelKey{6, 0}));
    EXPECT_TRUE((QvxModelKey{65535, 0} < QvxModelKey{65535, 1}));
    EXPECT_FALSE((QvxModelKey{6, 0} < QvxModelKey{5, 60}));
    EXPECT_TRUE((QvxModelKey{5, 53} == QvxModelKey{5, 53}));
}

TEST(Records, CopiedModelSharesItsItems)
{
    ModelBuilder b;
    QvxControlItem *item = b.add(QStringLiteral("LED"), 65, 1, 1);
    QvxDeviceModel copy;
    copy = b.model;
    EXPECT_EQ(copy.itemsByName.value(QStringLiteral("LED")), item);
    copy.itemsByName.value(QStringLiteral("LED"))->value = 0;
    EXPECT_EQ(item->value, 0);
}
