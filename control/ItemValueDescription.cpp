#include "control/ItemValueDescription.h"

#include "control/ItemValue.h"
#include "device/DecimalText.h"
#include "device/QvxControlItem.h"

#include <QVariantMap>

#include <algorithm>

namespace script {

namespace {

const unsigned int kUiFlagView = 8;
const unsigned int kUiFlagOperation = 9;

} // namespace

ItemValueDescription describeItemValue(const QvxControlItem &item, qint64 number)
{
    const QStringList &labels = item.labels;
    ItemValueDescription description;
    description.isBitField = item.ui == kUiFlagView || item.ui == kUiFlagOperation;

    if (!description.isBitField) {
        // A value without a name (an empty label names nothing: an item
        // without a label has one empty entry) shows its number, scaled.
        if (const std::optional<QString> name = valueLabel(item, number)) {
            description.displayValue = *name;
            return description;
        }
        description.displayValue = QString::number(number);
        bool ok = false;
        const double factor = decimalValue(item.scale, &ok);
        if (!item.scale.isEmpty() && ok)
            description.displayValue = QString::number(factor * static_cast<double>(number), 'g', 12);
        return description;
    }

    const int bits = static_cast<int>(std::clamp<qint64>(8 * static_cast<qint64>(item.length), 1, 64));
    const auto pattern = static_cast<quint64>(number); // a negative value has all its upper bits set
    QStringList names;
    for (int bit = 0; bit < bits; ++bit) {
        if (!((pattern >> bit) & 1u))
            continue;
        const QString label = bit < labels.size() ? labels.at(bit).trimmed() : QString();
        const QString name = label.isEmpty() || label == QLatin1String("-") ? QStringLiteral("Bit %1").arg(bit)
                                                                             : label;
        description.activeFlags.append(QVariantMap{{QStringLiteral("bit"), bit}, {QStringLiteral("name"), name}});
        names.append(name);
    }
    description.displayValue = names.isEmpty() ? QStringLiteral("None") : names.join(QStringLiteral(", "));
    return description;
}

} // namespace script
