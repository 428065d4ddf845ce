#include "device/QvxDeviceModel.h"

#include "device/DeviceConstants.h"

#include <QtEndian>

#include <algorithm>

int QvxDeviceModel::valueFromByteItems(const QvxControlItem *start, const QvxControlItem *item) const
{
    if (!start || !item)
        return 0;
    QByteArray bytes;
    for (int j = 0; j < item->length; ++j)
        if (const QvxControlItem *byteItem = itemsByAddress.value(start->address + j))
            bytes.append(static_cast<char>(byteItem->value & 0xFF));

    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    quint32 number = 0;
    switch (item->length) {
    case 1:
        if (bytes.size() < 1)
            return 0;
        number = data[0];
        break;
    case 2:
        if (bytes.size() < 2)
            return 0;
        number = qFromLittleEndian<quint16>(data);
        break;
    case 4:
        if (bytes.size() < 4)
            return 0;
        number = qFromLittleEndian<quint32>(data);
        break;
    default:
        return 0;
    }

    // The sign rules judge the assembled number, not whatever `item` last cached.
    QvxControlItem assembled = *item;
    assembled.value = static_cast<int>(number);
    return assembled.isSigned(this) ? assembled.signConverted(assembled.value) : assembled.value;
}

QvxControlItem *QvxDeviceModel::resolveIndirectItem(QvxControlItem *item) const
{
    if (!item)
        return item;
    QString number = item->name;
    number.remove(kItemIndirectData);
    const qint64 slot = number.toInt();

    auto addressSlot = [this](qint64 n) {
        return itemsByName.value(QStringLiteral("%1 %2").arg(kItemIndirectAddress, QString::number(n)));
    };
    const QvxControlItem *first = addressSlot(slot);
    if (!first)
        return item;
    QvxControlItem *target = itemsByAddress.value(first->value);
    if (!target)
        return item;
    // Slots n .. n+length-1 must hold the target's consecutive addresses.
    for (int j = 0; j < target->length; ++j) {
        const QvxControlItem *s = addressSlot(slot + j);
        if (!s || s->value != target->address + j)
            return item;
    }
    return target;
}

QStringList sortedValues(const QMap<int, QString> &map)
{
    QStringList values = map.values();
    std::stable_sort(values.begin(), values.end());
    return values;
}
