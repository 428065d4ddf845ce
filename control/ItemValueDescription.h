#pragma once
// What a script result shows beside an item's number: a display text, and for
// bit-field items the set bits with their names.

#include <QString>
#include <QStringList>
#include <QVariantList>

namespace script {

struct ItemValueDescription
{
    QString displayValue;
    QVariantList activeFlags; // bit fields: one {"bit": int, "name": QString} per set bit, ascending
    bool isBitField = false;
};

// `value` is the item's value after its sign rule; `ui` its presentation code
// (8 and 9 show bit fields); `labels` and `scale` its value labels and scale text.
ItemValueDescription describeItemValue(qint64 value, int length, unsigned int ui, const QStringList &labels,
                                       const QString &scale);

} // namespace script
