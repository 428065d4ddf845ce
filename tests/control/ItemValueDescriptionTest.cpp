// What a script result shows for an item's value: a label, a scaled number or
// the names of the set bits.
#include "control/ItemValueDescription.h"
#include "tests/support/QtPrinters.h"

#include <QVariantMap>

#include <gtest/gtest.h>

using script::describeItemValue;

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
    };
    const Case cases[] = {
        {"label of the value", 1, onOff, "", "ON"},
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
        const auto d = describeItemValue(c.value, 2, 1, c.labels, QString::fromLatin1(c.scale));
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
        const auto d = describeItemValue(c.value, c.length, c.ui, c.labels, QStringLiteral("20"));
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
    EXPECT_EQ(describeItemValue(-1, 8, 8, {}, QString()).activeFlags.size(), 64);
    EXPECT_EQ(describeItemValue(-1, 100, 8, {}, QString()).activeFlags.size(), 64);
}
