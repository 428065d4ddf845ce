#pragma once
// What a script result shows beside an item's number: a display text, and for
// bit-field items the set bits with their names.

#include <QString>
#include <QVariantList>

struct QvxControlItem;

namespace script {

struct ItemValueDescription
{
    QString displayValue;
    QVariantList activeFlags; // bit fields: one {"bit": int, "name": QString} per set bit, ascending
    bool isBitField = false;
};

// `number` is what the item's value stands for (applySignRule, ItemValue.h);
// the item gives its presentation code (8 and 9 show bit fields), length,
// value labels (counted from its Min, as the console counts them) and scale.
ItemValueDescription describeItemValue(const QvxControlItem &item, qint64 number);

} // namespace script
