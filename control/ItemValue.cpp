#include "control/ItemValue.h"

#include "device/ItemRules.h"
#include "device/QvxControlItem.h"

qint64 applySignRule(QvxControlItem &item, const ItemRules &rules)
{
    const bool isSigned = rules.isSigned(item);
    if (isSigned)
        item.convertSignedValue();
    return valueNumber(item, isSigned);
}

qint64 valueNumber(const QvxControlItem &item, bool isSigned)
{
    if (isSigned)
        return item.value;
    // Only the item's own bytes: a value written as -5 to an unsigned byte is
    // the 251 the device holds.
    switch (item.length) {
    case 1:
        return static_cast<quint8>(item.value);
    case 2:
        return static_cast<quint16>(item.value);
    case 4:
        return static_cast<quint32>(item.value);
    default:
        return item.value;
    }
}

qint64 firstLabelledValue(const QvxControlItem &item)
{
    // As the label list was built: a Min that is no decimal number counts as 0.
    return item.min.toInt(nullptr, 10);
}

std::optional<QString> valueLabel(const QvxControlItem &item, qint64 number)
{
    const qint64 index = number - firstLabelledValue(item);
    if (index < 0 || index >= item.labels.size() || item.labels.at(index).isEmpty())
        return std::nullopt;
    return item.labels.at(index);
}
