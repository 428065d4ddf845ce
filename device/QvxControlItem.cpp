#include "device/QvxControlItem.h"

#include "device/Arithmetic.h"
#include "device/DecimalText.h"
#include "device/ItemRules.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Decimal text as int; 0 when it does not read or lies outside int.
int toInt(const QString &text)
{
    return text.toInt(nullptr, 10);
}

} // namespace

bool QvxControlItem::isSigned(const QvxDeviceModel *model) const
{
    return ItemRules(model).isSigned(*this);
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
    const double s = decimalValue(scale);
    // From `direction` on, the raw value counts the other way round.
    const double v = (direction != 0 && value >= direction) ? -((static_cast<double>(value) - direction) * s)
                                                            : static_cast<double>(value) * s;
    if (scale.contains(QLatin1Char('.')))
        return QString::asprintf("%.*f", std::max(decimals, 0), v);
    return QString::asprintf("%d", truncatedTo<int>(v));
}

QString QvxControlItem::conditionalUnit(const QvxDeviceModel *model) const
{
    return ItemRules(model).unit(*this);
}

double QvxControlItem::conditionalScale(const QvxDeviceModel *model) const
{
    if (scale.isEmpty())
        return 1.0;
    return decimalValue(ItemRules(model).scale(*this));
}

int QvxControlItem::conditionalMinimum(const QvxDeviceModel *model) const
{
    return ItemRules(model).minimum(*this);
}

int QvxControlItem::conditionalMaximum(const QvxDeviceModel *model) const
{
    return ItemRules(model).maximum(*this);
}
