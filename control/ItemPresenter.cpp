#include "control/ItemPresenter.h"

#include "device/Arithmetic.h"
#include "device/DeviceConstants.h"
#include "device/QvxDeviceModel.h"

#include <algorithm>

namespace {

const QString kAddr = QStringLiteral("addr");
constexpr int kNameWidth = 25; // bytes of UTF-8, as a C "%-25s" pads

// The address named by "addr<N>": every marker removed, the rest decimal.
int referencedAddress(const QString &text, const QString &marker)
{
    QString rest = text;
    rest.remove(marker);
    return rest.toInt(nullptr, 10);
}

} // namespace

ItemPresenter::ItemPresenter(const QvxDeviceModel *model, ValueSource valueOf)
    : model_(model)
    , valueOf_(std::move(valueOf))
{
}

ItemPresenter::ItemPresenter(const QvxDeviceModel *model)
    : ItemPresenter(model, [](QvxControlItem &item) { return item.value; })
{
}

QvxControlItem *ItemPresenter::itemAt(int address) const
{
    return model_ ? model_->itemsByAddress.value(address) : nullptr;
}

std::function<bool(int address, int *value)> ItemPresenter::referencedValues() const
{
    return [this](int address, int *value) {
        QvxControlItem *ref = itemAt(address);
        if (ref)
            *value = valueOf_(*ref);
        return ref != nullptr;
    };
}

int ItemPresenter::valueAt(int address) const
{
    QvxControlItem *item = itemAt(address);
    return item ? valueOf_(*item) : 0;
}

bool ItemPresenter::isSigned(const QvxControlItem &item) const
{
    return item.isSigned(referencedValues());
}

void ItemPresenter::convertIfSigned(QvxControlItem &item) const
{
    if (isSigned(item))
        item.convertSignedValue();
}

bool ItemPresenter::bitConditionHolds(const QString &entry) const
{
    const QStringList parts = entry.split(QLatin1Char('&'));
    if (parts.size() != 2)
        return false;
    const int address = referencedAddress(parts.at(0), kAddr);
    bool ok = false;
    const int mask = parts.at(1).toInt(&ok, 10);
    return ok && (valueAt(address) & mask) != 0;
}

bool ItemPresenter::equalityConditionHolds(const QString &entry) const
{
    const QStringList parts = entry.split(QStringLiteral("=="));
    if (parts.size() != 2)
        return false;
    const int address = referencedAddress(parts.at(0), kAddr);
    return valueAt(address) == parts.at(1).toInt(nullptr, 10);
}

int ItemPresenter::conditionIndex(const QStringList &conditions) const
{
    for (qsizetype i = 0; i < conditions.size(); ++i)
        if (bitConditionHolds(conditions.at(i)))
            return static_cast<int>(i);
    return static_cast<int>(conditions.size()) - 1;
}

QString ItemPresenter::unit(const QvxControlItem &item) const
{
    if (item.unitCondition.isEmpty())
        return item.unit;
    return item.units.value(conditionIndex(item.unitConditions));
}

QString ItemPresenter::scale(const QvxControlItem &item) const
{
    if (item.scale.isEmpty())
        return QStringLiteral("1");
    if (item.unitCondition.isEmpty())
        return item.scale;
    return item.scales.value(conditionIndex(item.unitConditions));
}

QString ItemPresenter::boundText(const QvxControlItem &item, const QStringList &bounds, const QString &plain) const
{
    if (item.minMaxCondition.isEmpty())
        return plain;
    // An entry counts when its equality test holds, or else the unit condition at the same position.
    for (qsizetype e = 0; e < item.minMaxConditions.size(); ++e) {
        if (equalityConditionHolds(item.minMaxConditions.at(e)) || bitConditionHolds(item.unitConditions.value(e)))
            return bounds.value(e);
    }
    return bounds.value(item.minMaxConditions.size() - 1);
}

int ItemPresenter::bound(const QString &text, bool allowNegated) const
{
    return QvxControlItem::limitTextValue(text, allowNegated, referencedValues());
}

int ItemPresenter::minimum(const QvxControlItem &item) const
{
    if (!model_)
        return 0;
    return bound(boundText(item, item.mins, item.min), true);
}

int ItemPresenter::maximum(const QvxControlItem &item) const
{
    if (!model_)
        return 0;
    return bound(boundText(item, item.maxes, item.max), false);
}

QString ItemPresenter::addressColumn(const QvxControlItem &item)
{
    return QString::asprintf("%-4d", item.address);
}

QString ItemPresenter::nameColumn(const QvxControlItem &item, bool cut)
{
    QString name = cut ? item.name.left(kNameWidth) : item.name;
    const qsizetype bytes = name.toUtf8().size();
    if (bytes < kNameWidth)
        name += QString(kNameWidth - bytes, QLatin1Char(' '));
    return name;
}

QString ItemPresenter::decimalColumn(QvxControlItem &item) const
{
    convertIfSigned(item);
    // A 4-byte value that stays unsigned after the conversion shows all 32 bits as a positive number.
    if (item.length == 4 && !isSigned(item))
        return QString::asprintf("%10lld", static_cast<long long>(static_cast<quint32>(item.value)));
    return QString::asprintf("%10d", item.value);
}

QString ItemPresenter::hexColumn(const QvxControlItem &item)
{
    const int digits = 2 * item.length;
    quint64 bits = static_cast<quint64>(static_cast<qint64>(item.value));
    if (digits < 16)
        bits &= (quint64{1} << (4 * digits)) - 1;
    const QString hex = digits > 0 ? QString::number(bits, 16).toUpper().rightJustified(digits, QLatin1Char('0'))
                                   : QString();
    return (QStringLiteral("0x") + hex).rightJustified(10, QLatin1Char(' '));
}

QString ItemPresenter::enumColumn(const QvxControlItem &item)
{
    if (item.labels.isEmpty())
        return QString();
    const qint64 index = static_cast<qint64>(item.value) - item.min.toInt(nullptr, 10);
    if (index < 0)
        return QStringLiteral("Error");
    return index < item.labels.size() ? item.labels.at(index) : QString();
}

QString ItemPresenter::bitNamesColumn(const QvxControlItem &item)
{
    QString text;
    const qsizetype count = std::min<qsizetype>(8, item.labels.size());
    for (qsizetype bit = 0; bit < count; ++bit)
        if (item.value & (1 << bit))
            text += item.labels.at(bit) + QStringLiteral(", ");
    return text;
}

QString ItemPresenter::dottedQuadColumn(const QvxControlItem &item)
{
    const auto v = static_cast<quint32>(item.value);
    return QStringLiteral("%1.%2.%3.%4").arg(v & 0xFF).arg((v >> 8) & 0xFF).arg((v >> 16) & 0xFF).arg(v >> 24);
}

QString ItemPresenter::scaledColumn(const QvxControlItem &item) const
{
    QString scaleText = item.scale;
    QString unitText = item.unit;
    if (!item.unitCondition.isEmpty()) {
        const int index = conditionIndex(item.unitConditions);
        scaleText = item.scales.value(index);
        unitText = item.units.value(index);
    }
    const double s = scaleText.toDouble();
    // From `direction` on, the raw value counts the other way round.
    const double x = (item.direction != 0 && item.value >= item.direction)
                         ? -((static_cast<double>(item.value) - item.direction) * s)
                         : static_cast<double>(item.value) * s;
    QString number;
    if (item.scale.contains(QLatin1Char('.')))
        number = QString::asprintf("%8.02f", x);
    else if (item.length != 4 || isSigned(item))
        number = QString::asprintf("%8d", truncatedTo<int>(x));
    else
        number = QString::asprintf("%8lld", static_cast<long long>(static_cast<quint32>(truncatedTo<qint64>(x))));
    return QStringLiteral("%1 [%2]").arg(number, unitText);
}

QString ItemPresenter::valueColumn(const QvxControlItem &item) const
{
    if (item.name == kItemModelNumber)
        return model_ ? model_->name : QString();
    switch (item.ui) {
    case 2:
    case 3:
        return enumColumn(item);
    case 8:
    case 9:
        return bitNamesColumn(item);
    case 21:
        return dottedQuadColumn(item);
    default:
        return !item.unit.isEmpty() && !item.scale.isEmpty() ? scaledColumn(item) : QString();
    }
}

QString ItemPresenter::scaleLine(const QvxControlItem &item) const
{
    const QString s = scale(item);
    const QString u = unit(item);
    const QString text = s.contains(QLatin1Char('.')) ? QString::asprintf("%.5g", s.toDouble())
                                                      : QString::number(s.toInt(nullptr, 10));
    return u.isEmpty() ? text : QStringLiteral("%1 [%2]").arg(text, u);
}

QString ItemPresenter::tableRow(QvxControlItem &item) const
{
    if (item.hidden)
        return QString();
    const QString head = addressColumn(item) + QStringLiteral(" : ") + nameColumn(item, true) + QStringLiteral(" : ");
    const QString decimal = decimalColumn(item); // converts; the later columns show the converted value
    return head + decimal + QStringLiteral(" : ") + hexColumn(item) + QStringLiteral(" : ") + valueColumn(item)
           + QLatin1Char('\n');
}
