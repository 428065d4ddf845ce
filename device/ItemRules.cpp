#include "device/ItemRules.h"

#include "device/Arithmetic.h"
#include "device/QvxDeviceModel.h"

namespace {

const QString kAddr = QStringLiteral("addr");
const QString kNegatedAddr = QStringLiteral("-addr");

} // namespace

ItemRules::ItemRules(const QvxDeviceModel *model)
    : model_(model)
    , source_([](QvxControlItem &item) { return item.value; })
    , askOnce_(false)
{
}

ItemRules::ItemRules(const QvxDeviceModel *model, ValueSource source)
    : model_(model)
    , source_(std::move(source))
    , askOnce_(true)
{
}

std::optional<int> ItemRules::referencedValue(const QString &text, const QString &marker) const
{
    if (!model_)
        return std::nullopt;
    QString rest = text;
    rest.remove(marker);
    bool ok = false;
    const int address = rest.toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    QvxControlItem *item = model_->itemsByAddress.value(address);
    if (!item)
        return std::nullopt;
    if (!askOnce_)
        return source_(*item);
    const auto known = asked_.constFind(address);
    if (known != asked_.constEnd())
        return *known;
    const int value = source_(*item);
    asked_.insert(address, value);
    return value;
}

bool ItemRules::isSigned(const QvxControlItem &item) const
{
    if (item.sign != 0 && static_cast<quint32>(item.value) >= item.sign)
        return true;
    bool ok = false;
    const int minimum = item.min.toInt(&ok, 10);
    if (ok)
        return minimum < 0;
    if (item.min.contains(kNegatedAddr)) {
        const std::optional<int> referenced = referencedValue(item.min, kNegatedAddr);
        return referenced && *referenced > 0;
    }
    if (item.min.contains(kAddr)) {
        const std::optional<int> referenced = referencedValue(item.min, kAddr);
        return referenced && *referenced < 0;
    }
    return false;
}

bool ItemRules::bitConditionHolds(const QString &entry) const
{
    const QStringList parts = entry.split(QLatin1Char('&'));
    if (parts.size() != 2)
        return false;
    bool ok = false;
    const int mask = parts.at(1).toInt(&ok, 10);
    if (!ok)
        return false;
    const std::optional<int> referenced = referencedValue(parts.at(0), kAddr);
    return referenced && (*referenced & mask) != 0;
}

bool ItemRules::equalityConditionHolds(const QString &entry) const
{
    const QStringList parts = entry.split(QStringLiteral("=="));
    if (parts.size() != 2)
        return false;
    const std::optional<int> referenced = referencedValue(parts.at(0), kAddr);
    return referenced && *referenced == parts.at(1).toInt(nullptr, 10);
}

int ItemRules::conditionIndex(const QStringList &conditions) const
{
    for (qsizetype i = 0; i < conditions.size(); ++i)
        if (bitConditionHolds(conditions.at(i)))
            return static_cast<int>(i);
    return static_cast<int>(conditions.size()) - 1;
}

QString ItemRules::unit(const QvxControlItem &item) const
{
    if (item.unitCondition.isEmpty())
        return item.unit;
    return item.units.value(conditionIndex(item.unitConditions));
}

QString ItemRules::scale(const QvxControlItem &item) const
{
    if (item.scale.isEmpty() || item.unitCondition.isEmpty())
        return item.scale;
    return item.scales.value(conditionIndex(item.unitConditions));
}

// The limit text in force: the entry of `limits` at the first position whose
// min/max condition (or, failing that, unit condition) holds, else the last.
QString ItemRules::limitText(const QvxControlItem &item, const QStringList &limits, const QString &plain) const
{
    if (item.minMaxCondition.isEmpty())
        return plain;
    for (qsizetype i = 0; i < item.minMaxConditions.size(); ++i) {
        if (equalityConditionHolds(item.minMaxConditions.at(i)) || bitConditionHolds(item.unitConditions.value(i)))
            return limits.value(i);
    }
    return limits.value(item.minMaxConditions.size() - 1);
}

// A decimal; for "addr<N>" the value of the item at N, negated for "-addr<N>"
// when `allowNegated`; anything else 0.
int ItemRules::limitValue(const QString &text, bool allowNegated) const
{
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (ok)
        return number;
    const bool negated = allowNegated && text.contains(kNegatedAddr);
    if (!negated && !text.contains(kAddr))
        return 0;
    const std::optional<int> referenced = referencedValue(text, negated ? kNegatedAddr : kAddr);
    if (!referenced)
        return 0;
    return negated ? negated32(*referenced) : *referenced;
}

int ItemRules::minimum(const QvxControlItem &item) const
{
    if (!model_)
        return 0;
    return limitValue(limitText(item, item.mins, item.min), true);
}

int ItemRules::maximum(const QvxControlItem &item) const
{
    if (!model_)
        return 0;
    return limitValue(limitText(item, item.maxes, item.max), false);
}
