#include "control/PortList.h"

#include "console/io/Console.h"

#include <QSerialPortInfo>

#include <algorithm>

QList<PortEntry> portEntries(const QList<QPair<QString, QString>> &ports)
{
    QList<PortEntry> entries;
    for (const auto &[name, description] : ports) {
        if (name.isEmpty())
            continue;
        // QChar::isDigit is the Unicode decimal-digit category, ASCII digits included.
        const auto digit = std::find_if(name.cbegin(), name.cend(), [](QChar c) { return c.isDigit(); });
        if (digit == name.cend())
            continue;
        PortEntry entry;
        entry.number = name.mid(digit - name.cbegin()).toInt(nullptr, 10);
        entry.name = name;
        entry.title = description.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, description);
        entries.append(entry);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const PortEntry &a, const PortEntry &b) { return a.number < b.number; });
    return entries;
}

QList<PortEntry> systemPortEntries()
{
    QList<QPair<QString, QString>> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos)
        ports.append({info.portName(), info.description()});
    return portEntries(ports);
}

QList<PortEntry> selectPorts(const QString &answer, const QList<PortEntry> &ports)
{
    QList<PortEntry> selection;
    const QStringList parts = answer.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        bool ok = false;
        const int number = part.trimmed().toInt(&ok, 10);
        if (!ok) {
            Console::instance().printWarning(QStringLiteral("Invalid input: ") + part);
        } else if (number == 0) {
            return ports;
        } else if (number < 1 || number > ports.size()) {
            Console::instance().printWarning(QStringLiteral("Invalid port number: ") + QString::number(number));
        } else {
            selection.append(ports.at(number - 1));
        }
    }
    return selection;
}
