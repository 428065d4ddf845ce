#include "control/ItemValueDescription.h"

#include "device/DecimalText.h"

#include <QVariantMap>

#include <algorithm>

namespace script {

namespace {

const unsigned int kUiFlagView = 8;
const unsigned int kUiFlagOperation = 9;

} // namespace

ItemValueDescription describeItemValue(qint64 value, int length, unsigned int ui, const QStringList &labels,
                                       const QString &scale)
{
    ItemValueDescription description;
    description.isBitField = ui == kUiFlagView || ui == kUiFlagOperation;

    if (!description.isBitField) {
        description.displayValue = QString::number(value);
        // An empty label names nothing (an item without a label has one empty
        // entry), so such a value falls through to its number.
        if (value >= 0 && value < labels.size() && !labels.at(value).isEmpty()) {
            description.displayValue = labels.at(value);
            return description;
        }
        bool ok = false;
        const double factor = decimalValue(scale, &ok);
        if (!scale.isEmpty() && ok)
            description.displayValue = QString::number(factor * static_cast<double>(value), 'g', 12);
        return description;
    }

    const int bits = static_cast<int>(std::clamp<qint64>(8 * static_cast<qint64>(length), 1, 64));
    const auto pattern = static_cast<quint64>(value); // a negative value has all its upper bits set
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
