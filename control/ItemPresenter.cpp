#include "control/ItemPresenter.h"

#include "control/ItemValue.h"
#include "device/Arithmetic.h"
#include "device/DecimalText.h"
#include "device/DeviceConstants.h"
#include "device/QvxDeviceModel.h"

#include <algorithm>

namespace {

constexpr int kNameWidth = 25; // bytes of UTF-8, as a C "%-25s" pads

} // namespace

ItemPresenter::ItemPresenter(const QvxDeviceModel *model, ItemRules::ValueSource valueOf)
    : model_(model)
    , rules_(model, std::move(valueOf))
{
}

ItemPresenter::ItemPresenter(const QvxDeviceModel *model)
    : model_(model)
    , rules_(model)
{
}

void ItemPresenter::convertIfSigned(QvxControlItem &item) const
{
    applySignRule(item, rules_);
}

qint64 ItemPresenter::number(const QvxControlItem &item) const
{
    return valueNumber(item, isSigned(item));
}

QString ItemPresenter::scale(const QvxControlItem &item) const
{
    if (item.scale.isEmpty())
        return QStringLiteral("1");
    return rules_.scale(item);
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
    return QString::asprintf("%10lld", static_cast<long long>(applySignRule(item, rules_)));
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

QString ItemPresenter::enumColumn(const QvxControlItem &item) const
{
    if (item.labels.isEmpty())
        return QString();
    const qint64 n = number(item);
    if (n < firstLabelledValue(item))
        return QStringLiteral("Error");
    return valueLabel(item, n).value_or(QString());
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
        const int index = rules_.conditionIndex(item.unitConditions);
        scaleText = item.scales.value(index);
        unitText = item.units.value(index);
    }
    const double s = decimalValue(scaleText);
    const qint64 n = number(item);
    // From `direction` on, the raw value counts the other way round.
    const double x = (item.direction != 0 && n >= item.direction) ? -((static_cast<double>(n) - item.direction) * s)
                                                                  : static_cast<double>(n) * s;
    const QString text = item.scale.contains(QLatin1Char('.'))
                             ? QString::asprintf("%8.02f", x)
                             : QString::asprintf("%8lld", static_cast<long long>(truncatedTo<qint64>(x)));
    return QStringLiteral("%1 [%2]").arg(text, unitText);
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
