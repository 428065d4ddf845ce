#include "script/TextRendering.h"

#include <QMetaType>
#include <QVariantList>

namespace script {

namespace {

QString text(const QVariantMap &map, const QString &key)
{
    return map.value(key).toString();
}

int integer(const QVariantMap &map, const QString &key)
{
    return map.value(key).toInt();
}

QVariantMap mapOf(const QVariant &value)
{
    return value.typeId() == QMetaType::QVariantMap ? value.toMap() : QVariantMap();
}

QVariantList listOf(const QVariant &value)
{
    return value.typeId() == QMetaType::QVariantList ? value.toList() : QVariantList();
}

QString joined(const QStringList &lines)
{
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString rangeText(const QVariantMap &data)
{
    const QVariantMap range = mapOf(data.value(QStringLiteral("range")));
    return QStringLiteral("%1-%2").arg(integer(range, QStringLiteral("start"))).arg(integer(range, QStringLiteral("end")));
}

QString portsText(const QVariantMap &data)
{
    const QVariantList ports = listOf(data.value(QStringLiteral("ports")));
    if (ports.isEmpty())
        return QStringLiteral("No serial ports found.\n");
    QStringList lines{QStringLiteral("Available ports:")};
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const QVariantMap port = mapOf(ports.at(i));
        QString title = text(port, QStringLiteral("title"));
        if (title.isEmpty())
            title = text(port, QStringLiteral("name"));
        lines.append(QStringLiteral("  %1. %2").arg(i + 1).arg(title));
    }
    return joined(lines);
}

QString scanText(const QVariantMap &data)
{
    QStringList lines{QStringLiteral("Scan range: ") + rangeText(data)};
    const QVariantList devices = listOf(data.value(QStringLiteral("devices")));
    if (devices.isEmpty()) {
        lines.append(QStringLiteral("No devices found."));
    } else {
        lines.append(QStringLiteral("Devices:"));
        for (const QVariant &device : devices)
            lines.append(QStringLiteral("  ") + deviceLine(mapOf(device)));
    }
    return joined(lines);
}

QString itemText(const QVariantMap &data, bool isSet)
{
    const QVariantMap item = mapOf(data.value(QStringLiteral("item")));
    QStringList lines{
        deviceLine(data),
        QStringLiteral("%1: %2").arg(text(item, QStringLiteral("name")), valueText(item)),
        QStringLiteral("  Address: %1, length: %2, access: %3, memory: %4")
            .arg(QString::number(integer(item, QStringLiteral("address"))),
                 QString::number(integer(item, QStringLiteral("length"))), text(item, QStringLiteral("access")),
                 text(item, QStringLiteral("memory"))),
    };
    if (isSet && data.value(QStringLiteral("acknowledged")).toBool())
        lines.append(QStringLiteral("Write acknowledged."));
    return joined(lines);
}

QString tableText(const QVariantMap &data)
{
    QStringList lines{
        deviceLine(data),
        QStringLiteral("Address range: ") + rangeText(data),
        QStringLiteral("Address  Size  Access  Memory  Name  Value"),
    };
    for (const QVariant &element : listOf(data.value(QStringLiteral("items")))) {
        const QVariantMap item = mapOf(element);
        lines.append(QStringLiteral("%1  %2  %3  %4  %5  %6")
                         .arg(QString::number(integer(item, QStringLiteral("address"))),
                              QString::number(integer(item, QStringLiteral("length"))),
                              text(item, QStringLiteral("access")), text(item, QStringLiteral("memory")),
                              text(item, QStringLiteral("name")), valueText(item)));
    }
    return joined(lines);
}

QString statusText(const QVariantMap &data)
{
    QStringList lines{deviceLine(data), QStringLiteral("Status:")};
    for (const QVariant &element : listOf(data.value(QStringLiteral("items")))) {
        const QVariantMap item = mapOf(element);
        QString label = text(item, QStringLiteral("name"));
        if (label.isEmpty())
            label = text(item, QStringLiteral("key"));
        lines.append(QStringLiteral("  %1: %2").arg(label, valueText(item)));
    }
    return joined(lines);
}

QString acknowledgedText(const QString &command, const QVariantMap &data)
{
    return QStringLiteral("%1 acknowledged for ID %2 (parameter %3).\n")
        .arg(command, text(data, QStringLiteral("id")), text(data, QStringLiteral("parameter")));
}

QString genericText(const QString &command, const QVariantMap &data)
{
    if (data.isEmpty())
        return command + QStringLiteral(": OK\n");
    QStringList lines;
    for (auto it = data.constBegin(); it != data.constEnd(); ++it)
        prettyPrint(lines, it.key(), it.value(), 0);
    return joined(lines);
}

} // namespace

QString variantText(const QVariant &value)
{
    if (value.typeId() == QMetaType::Bool)
        return value.toBool() ? QStringLiteral("yes") : QStringLiteral("no");
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

QString valueText(const QVariantMap &item)
{
    QString value = text(item, QStringLiteral("display_value"));
    if (value.isEmpty() && item.contains(QStringLiteral("value")))
        value = variantText(item.value(QStringLiteral("value")));
    const QString unit = text(item, QStringLiteral("unit"));
    if (!unit.isEmpty())
        value += QLatin1Char(' ') + unit;
    return value;
}

QString deviceLine(const QVariantMap &device)
{
    QString line = QStringLiteral("ID %1").arg(integer(device, QStringLiteral("id")));
    const QString model = text(device, QStringLiteral("model"));
    if (!model.isEmpty())
        line += QStringLiteral(": ") + model;
    if (device.contains(QStringLiteral("model_number"))) {
        line += QStringLiteral(" (model %1").arg(integer(device, QStringLiteral("model_number")));
        if (device.contains(QStringLiteral("firmware")))
            line += QStringLiteral(", firmware %1").arg(integer(device, QStringLiteral("firmware")));
        line += QLatin1Char(')');
    }
    return line;
}

void prettyPrint(QStringList &lines, const QString &key, const QVariant &value, int depth)
{
    const QString indent(2 * depth, QLatin1Char(' '));
    if (value.typeId() == QMetaType::QVariantMap) {
        lines.append(indent + key + QLatin1Char(':'));
        const QVariantMap map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            prettyPrint(lines, it.key(), it.value(), depth + 1);
        return;
    }
    if (value.typeId() == QMetaType::QVariantList) {
        lines.append(indent + key + QLatin1Char(':'));
        for (const QVariant &element : value.toList()) {
            if (element.typeId() == QMetaType::QVariantMap) {
                lines.append(indent + QStringLiteral("  -"));
                const QVariantMap map = element.toMap();
                for (auto it = map.constBegin(); it != map.constEnd(); ++it)
                    prettyPrint(lines, it.key(), it.value(), depth + 2);
            } else {
                lines.append(indent + QStringLiteral("  - ") + variantText(element));
            }
        }
        return;
    }
    lines.append(indent + key + QStringLiteral(": ") + variantText(value));
}

QString formatText(const ScriptResult &record)
{
    const QString &command = record.command;
    const QVariantMap &data = record.data;
    if (command == QLatin1String("port"))
        return portsText(data);
    if (command == QLatin1String("open"))
        return QStringLiteral("Port opened: %1 at %2 bps.\n")
            .arg(text(data, QStringLiteral("port")), QString::number(integer(data, QStringLiteral("baudrate"))));
    if (command == QLatin1String("close")) {
        if (data.value(QStringLiteral("was_open")).toBool())
            return QStringLiteral("Port closed: %1.\n").arg(text(data, QStringLiteral("port")));
        return QStringLiteral("Port is already closed.\n");
    }
    if (command == QLatin1String("protocol"))
        return QStringLiteral("Protocol version: %1\n").arg(text(data, QStringLiteral("version")));
    if (command == QLatin1String("timeout"))
        return QStringLiteral("Network delay: %1 ms\n").arg(integer(data, QStringLiteral("network_delay_ms")));
    if (command == QLatin1String("scan"))
        return scanText(data);
    if (command == QLatin1String("ping"))
        return deviceLine(data) + QLatin1Char('\n');
    if (command == QLatin1String("get") || command == QLatin1String("set"))
        return itemText(data, command == QLatin1String("set"));
    if (command == QLatin1String("table"))
        return tableText(data);
    if (command == QLatin1String("status"))
        return statusText(data);
    if (command == QLatin1String("reset") || command == QLatin1String("reboot"))
        return acknowledgedText(command, data);
    if (command == QLatin1String("clear") && data.contains(QStringLiteral("id")))
        return acknowledgedText(command, data);
    if (command == QLatin1String("help") || command == QLatin1String("license")
        || command == QLatin1String("copyright")) {
        QString body = text(data, QStringLiteral("text"));
        if (!body.endsWith(QLatin1Char('\n')))
            body += QLatin1Char('\n');
        return body;
    }
    return genericText(command, data);
}

} // namespace script
