// What a script result shows for an item's value: a label, a scaled number or
// the names of the set bits.
#include "control/ItemValueDescription.h"
#include "device/QvxControlItem.h"
#include "tests/support/QtPrinters.h"

#include <QVariantMap>

#include <gtest/gtest.h>

using script::describeItemValue;

namespace {

QvxControlItem itemWith(int length, unsigned int ui, const QStringList &labels, const QString &scale,
                        const QString &min = QString())
{
    QvxControlItem item;
    item.length = quint16(length);
    item.ui = quint8(ui);
    item.labels = labels;
    item.scale = scale;
    item.min = min;
    return item;
}

} // namespace

TEST(ItemValueDescription, PlainValuesShowTheirLabelOrScaledNumber)
{
    const QStringList onOff{QStringLiteral("OFF"), QStringLiteral("ON")};
    const QStringList noLabel{QString()};
    struct Case
    {
        const char *what;
        qint64 value;
        QStringList labels;
        const char *scale;
        const char *display;
        const char *min = "";
    };
    const Case cases[] = {
        {"label of the value", 1, onOff, "", "ON"},
        // Label i names the value Min + i.
        {"counted from Min 1: its first label", 1, onOff, "", "OFF", "1"},
        {"counted from Min 1: its second label", 2, onOff, "", "ON", "1"},
        {"counted from Min 1: below the labels", 0, onOff, "", "0", "1"},
        {"counted from Min 1: past the labels", 3, onOff, "", "3", "1"},
        {"a Min that refers to an item counts from 0", 1, onOff, "", "ON", "addr36"},
        {"a negative Min", -1, onOff, "", "ON", "-2"},
        {"past the labels, scaled", 2, onOff, "20", "40"},
        {"negative values skip the labels", -1, onOff, "20", "-20"},
        {"no label, scaled to 12 digits", 1023, noLabel, "0.229", "234.267"},
        {"an empty label names nothing: scaled zero", 0, noLabel, "0.229", "0"},
        {"an empty label names nothing: plain zero", 0, noLabel, "", "0"},
        {"an empty entry among labels", 1, {QStringLiteral("A"), QString(), QStringLiteral("C")}, "", "1"},
        {"scale that does not read", 5, {}, "abc", "5"},
        {"no labels, no scale", -7, {}, "", "-7"},
        {"wide values", 4294967295LL, {}, "", "4294967295"},
    };
    for (const Case &c : cases) {
        const auto d = describeItemValue(
            itemWith(2, 1, c.labels, QString::fromLatin1(c.scale), QString::fromLatin1(c.min)), c.value);
        EXPECT_EQ(d.displayValue, QString::fromLatin1(c.display)) << c.what;
        EXPECT_FALSE(d.isBitField) << c.what;
        EXPECT_TRUE(d.activeFlags.isEmpty()) << c.what;
    }
}

TEST(ItemValueDescription, BitFieldsNameTheirSetBits)
{
    const QStringList errors = QStringLiteral("Input voltage error:-:Overheating error:Motor encoder error:"
                                              "Electronical shock error:Overload error:-:-")
                                   .split(QLatin1Char(':'));
    struct Case
    {
        const char *what;
        qint64 value;
        int length;
        unsigned int ui;
        QStringList labels;
        const char *display;
        QList<int> bits;
    };
    const Case cases[] = {
        {"two named bits", 5, 1, 8, errors, "Input voltage error, Overheating error", {0, 2}},
        {"a bit labelled '-'", 2, 1, 9, errors, "Bit 1", {1}},
        {"no bit set", 0, 1, 8, errors, "None", {}},
        {"labels are trimmed", 1, 1, 8, {QStringLiteral("  Overload  ")}, "Overload", {0}},
        {"blank label", 1, 1, 8, {QStringLiteral("   ")}, "Bit 0", {0}},
        {"only the item's own bits", 0x1FF, 1, 8, errors, "Input voltage error, Bit 1, Overheating error, "
                                                          "Motor encoder error, Electronical shock error, "
                                                          "Overload error, Bit 6, Bit 7", {0, 1, 2, 3, 4, 5, 6, 7}},
        {"negative four-byte value stops at bit 31", static_cast<qint64>(INT32_MIN), 4, 8, {}, "Bit 31", {31}},
        {"length 0 looks at bit 0", 3, 0, 8, {}, "Bit 0", {0}},
    };
    for (const Case &c : cases) {
        // Bits are named from bit 0 whatever the Min.
        const auto d =
            describeItemValue(itemWith(c.length, c.ui, c.labels, QStringLiteral("20"), QStringLiteral("3")), c.value);
        EXPECT_TRUE(d.isBitField) << c.what;
        EXPECT_EQ(d.displayValue, QString::fromLatin1(c.display)) << c.what;
        QList<int> bits;
        QStringList names;
        for (const QVariant &flag : d.activeFlags) {
            bits << flag.toMap().value(QStringLiteral("bit")).toInt();
            names << flag.toMap().value(QStringLiteral("name")).toString();
        }
        EXPECT_EQ(bits, c.bits) << c.what;
        if (!names.isEmpty()) {
            EXPECT_EQ(names.join(QStringLiteral(", ")), d.displayValue) << c.what;
        }
    }
    // Eight bytes cover all 64 bits of a negative value, and no more.
    EXPECT_EQ(describeItemValue(itemWith(8, 8, {}, QString()), -1).activeFlags.size(), 64);
    EXPECT_EQ(describeItemValue(itemWith(100, 8, {}, QString()), -1).activeFlags.size(), 64);
}
