#include "device/QvxControlItem.h"

#include "device/Arithmetic.h"
#include "device/QvxDeviceModel.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const QString kAddr = QStringLiteral("addr");
const QString kNegatedAddr = QStringLiteral("-addr");

// Decimal text as int; 0 when it does not read or lies outside int.
int toInt(const QString &text)
{
    return text.toInt(nullptr, 10);
}

// The address that "addr<N>" or "-addr<N>" names: every `marker` removed, the rest read as decimal.
int referencedAddress(const QString &text, const QString &marker, bool *ok = nullptr)
{
    QString rest = text;
    rest.remove(marker);
    return rest.toInt(ok, 10);
}

const QvxControlItem *itemAt(const QvxDeviceModel *model, int address)
{
    return model ? model->itemsByAddress.value(address) : nullptr;
}

// The values the model's items hold now; no item without a model.
QvxControlItem::ValueAt heldValues(const QvxDeviceModel *model)
{
    return [model](int address, int *value) {
        const QvxControlItem *ref = itemAt(model, address);
        if (ref)
            *value = ref->value;
        return ref != nullptr;
    };
}

// "addr<N>&<mask>": any bit of mask set in the value of the item at N. A condition
// that names an item the model lacks does not hold.
bool unitConditionHolds(const QString &entry, const QvxDeviceModel *model)
{
    const QStringList parts = entry.split(QLatin1Char('&'));
    if (parts.size() != 2)
        return false;
    const QvxControlItem *ref = itemAt(model, referencedAddress(parts.at(0), kAddr));
    return ref && (ref->value & toInt(parts.at(1))) != 0;
}

// "addr<N>==<value>": the value of the item at N equals value.
bool minMaxConditionHolds(const QString &entry, const QvxDeviceModel *model)
{
    const QStringList parts = entry.split(QStringLiteral("=="));
    if (parts.size() != 2)
        return false;
    const QvxControlItem *ref = itemAt(model, referencedAddress(parts.at(0), kAddr));
    return ref && ref->value == toInt(parts.at(1));
}

} // namespace

bool QvxControlItem::isSigned(const QvxDeviceModel *model) const
{
    return isSigned(heldValues(model));
}

bool QvxControlItem::isSigned(const ValueAt &valueAt) const
{
    if (sign != 0 && static_cast<quint32>(value) >= sign)
        return true;
    bool ok = false;
    const int minimum = min.toInt(&ok, 10);
    if (ok && minimum < 0)
        return true;
    // "-addr<N>": negative limit while the item at N is positive; "addr<N>": while it is negative.
    int referenced = 0;
    if (min.contains(kNegatedAddr))
        return valueAt(referencedAddress(min, kNegatedAddr), &referenced) && referenced > 0;
    if (min.contains(kAddr))
        return valueAt(referencedAddress(min, kAddr), &referenced) && referenced < 0;
    return false;
}

void QvxControlItem::applySign(const QvxDeviceModel *model)
{
    if (isSigned(model))
        convertSignedValue();
}

void QvxControlItem::convertSignedValue()
{
    value = signConverted(value);
}

int QvxControlItem::signConverted(int raw) const
{
    // A small threshold means sign-magnitude around it (threshold - raw); a threshold
    // at or above the type's half range means plain two's complement. All in 32 bits.
    quint32 v = static_cast<quint32>(raw);
    switch (length) {
    case 1:
        if (sign >= 1 && sign <= 126)
            v = sign - v;
        return static_cast<qint8>(static_cast<quint8>(v));
    case 2:
        if (sign >= 1 && sign <= 32766)
            v = sign - v;
        return static_cast<qint16>(static_cast<quint16>(v));
    case 4:
        if (sign >= 1 && sign <= 2147483646u)
            return static_cast<int>(sign - v);
        return raw;
    default:
        return raw;
    }
}

qint64 QvxControlItem::labelCount() const
{
    return static_cast<qint64>(toInt(max)) - toInt(min) + 1;
}

bool QvxControlItem::labelsCapped() const
{
    return label.contains(QStringLiteral("{0}")) && labelCount() > kMaxRangeCount;
}

QStringList QvxControlItem::buildValueLabels() const
{
    if (!label.contains(QStringLiteral("{0}")))
        return label.split(QLatin1Char(':'));

    const qint64 count = std::min(labelCount(), kMaxRangeCount);
    const bool scaled = !unit.isEmpty() && !scale.isEmpty();
    const int factor = toInt(scale);
    QString pattern = label;
    pattern.replace(QStringLiteral("{0}"), QStringLiteral("%1"));
    const QStringList parts = pattern.split(QLatin1Char(':'));

    // Entry for index i: the part with the index filled in, then scaled when the item has unit and scale.
    auto entry = [&](const QString &part, qint64 i) {
        const QString text = part.contains(QStringLiteral("%1")) ? part.arg(i) : part;
        return scaled ? labelWithValue(text, unit, factor) : text;
    };

    QStringList result;
    const qsizetype tilde = parts.indexOf(QStringLiteral("~"));
    if (tilde < 0) {
        for (qint64 i = 0; i < count; ++i)
            result.append(entry(parts.at(0), i));
        return result;
    }
    // Head entries before the "~", the entry before it repeated over the middle,
    // and the entries after it on the last indexes. A leading "~" has nothing
    // before it to repeat, so the middle stays empty text.
    const qint64 tail = parts.size() - tilde - 1;
    for (qint64 i = 0; i < tilde; ++i)
        result.append(entry(parts.at(i), i));
    const QString repeated = tilde > 0 ? parts.at(tilde - 1) : QString();
    for (qint64 i = tilde; i <= count - tail - 1; ++i)
        result.append(entry(repeated, i));
    for (qint64 i = count - tail; i < count; ++i)
        result.append(entry(parts.at(tilde + 1 + (i - count + tail)), i));
    return result;
}

QString QvxControlItem::labelWithValue(const QString &text, const QString &unit, int factor)
{
    bool ok = false;
    const int n = text.toInt(&ok, 10);
    if (!ok)
        return text;
    const int product = static_cast<int>(static_cast<quint32>(n) * static_cast<quint32>(factor));
    return QStringLiteral("%1 [%2]").arg(QString::asprintf("%8d", product), unit);
}

QString QvxControlItem::actualValueText(int decimals) const
{
    if (scale.isEmpty())
        return QString::number(value);
    const double s = scale.toDouble();
    // From `direction` on, the raw value counts the other way round.
    const double v = (direction != 0 && value >= direction) ? -((static_cast<double>(value) - direction) * s)
                                                            : static_cast<double>(value) * s;
    if (scale.contains(QLatin1Char('.')))
        return QString::asprintf("%.*f", std::max(decimals, 0), v);
    return QString::asprintf("%d", truncatedTo<int>(v));
}

// The index of the first unit condition that holds, else the last index.
static int unitIndex(const QvxControlItem &item, const QvxDeviceModel *model)
{
    for (qsizetype i = 0; i < item.unitConditions.size(); ++i)
        if (unitConditionHolds(item.unitConditions.at(i), model))
            return static_cast<int>(i);
    return static_cast<int>(item.unitConditions.size()) - 1;
}

QString QvxControlItem::conditionalUnit(const QvxDeviceModel *model) const
{
    if (unitCondition.isEmpty())
        return unit;
    return units.value(unitIndex(*this, model));
}

double QvxControlItem::conditionalScale(const QvxDeviceModel *model) const
{
    if (scale.isEmpty())
        return 1.0;
    if (unitCondition.isEmpty())
        return scale.toDouble();
    return scales.value(unitIndex(*this, model)).toDouble();
}

// The limit text in force: the entry of `limits` at the first position whose
// min/max condition (or, failing that, unit condition) holds, else the last.
static QString limitText(const QvxControlItem &item, const QStringList &limits, const QString &plain,
                         const QvxDeviceModel *model)
{
    if (item.minMaxCondition.isEmpty())
        return plain;
    qsizetype chosen = item.minMaxConditions.size() - 1;
    for (qsizetype i = 0; i < item.minMaxConditions.size(); ++i) {
        if (minMaxConditionHolds(item.minMaxConditions.at(i), model)
            || unitConditionHolds(item.unitConditions.value(i), model)) {
            chosen = i;
            break;
        }
    }
    return limits.value(chosen);
}

int QvxControlItem::limitTextValue(const QString &text, bool allowNegated, const ValueAt &valueAt)
{
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (ok)
        return number;
    const bool negative = allowNegated && text.contains(kNegatedAddr);
    if (!negative && !text.contains(kAddr))
        return 0;
    const int address = referencedAddress(text, negative ? kNegatedAddr : kAddr, &ok);
    int value = 0;
    if (!ok || !valueAt(address, &value))
        return 0;
    return negative ? negated32(value) : value;
}

// A limit text as a number, from the values the model's items hold.
static int limitValue(const QString &text, bool allowNegated, const QvxDeviceModel *model)
{
    return QvxControlItem::limitTextValue(text, allowNegated, heldValues(model));
}

int QvxControlItem::conditionalMinimum(const QvxDeviceModel *model) const
{
    if (!model)
        return 0;
    return limitValue(limitText(*this, mins, min, model), true, model);
}

int QvxControlItem::conditionalMaximum(const QvxDeviceModel *model) const
{
    if (!model)
        return 0;
    return limitValue(limitText(*this, maxes, max, model), false, model);
}
