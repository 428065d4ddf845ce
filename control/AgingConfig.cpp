#include "control/AgingConfig.h"

#include "console/io/Console.h"

#include <QDomDocument>
#include <QDomElement>
#include <QDomNodeList>
#include <QFile>

namespace {

// The first element named `tag` anywhere below `parent`, or a null element.
QDomElement firstBelow(const QDomElement &parent, const QString &tag)
{
    return parent.elementsByTagName(tag).item(0).toElement();
}

// Every element named `tag` anywhere below `parent`, in document order.
QList<QDomElement> allBelow(const QDomElement &parent, const QString &tag)
{
    QList<QDomElement> out;
    const QDomNodeList nodes = parent.elementsByTagName(tag);
    for (int i = 0; i < nodes.count(); ++i) {
        const QDomElement element = nodes.item(i).toElement();
        if (!element.isNull())
            out.append(element);
    }
    return out;
}

// The attribute as a signed 32-bit decimal; a text that is no such number gives 0.
int number(const QDomElement &element, const QString &name, const QString &fallback)
{
    bool ok = false;
    const int value = element.attribute(name, fallback).toInt(&ok, 10);
    return ok ? value : 0;
}

// "value1" to "value<count>" of the element.
QList<int> numberedValues(const QDomElement &element, int count)
{
    QList<int> values;
    for (int n = 1; n <= count; ++n)
        values.append(number(element, QStringLiteral("value%1").arg(n), QString()));
    return values;
}

struct ParseError
{
    QString message;
    qint64 line = 0;
    qint64 column = 0;
};

bool parse(QFile &file, QDomDocument &document, ParseError &error)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    const QDomDocument::ParseResult result = document.setContent(&file);
    error = {result.errorMessage, result.errorLine, result.errorColumn};
    return bool(result);
#else
    int line = 0;
    int column = 0;
    const bool ok = document.setContent(&file, &error.message, &line, &column);
    error.line = line;
    error.column = column;
    return ok;
#endif
}

} // namespace

QString AgingConfig::path(const QString &workingFolder)
{
    return workingFolder + QStringLiteral("/aging") + QStringLiteral("/config.xml");
}

void AgingConfig::load(const QString &path)
{
    const Console &console = Console::instance();
    if (!QFile::exists(path))
        return;
    console.printInfo(QStringLiteral("Loading Config XML file: ") + path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        console.printError(QStringLiteral("Failed to load XML file"));
        return;
    }
    QDomDocument document;
    ParseError error;
    if (!parse(file, document, error)) {
        console.printError(QStringLiteral("XML parsing failed - Line: %1, Column: %2, Error: %3")
                               .arg(error.line)
                               .arg(error.column)
                               .arg(error.message));
        return;
    }
    const QDomElement root = document.documentElement();
    if (root.tagName() != QStringLiteral("Config")) {
        console.printError(QStringLiteral("root element not found"));
        return;
    }

    const QDomElement aging = firstBelow(root, QStringLiteral("MultiAgingOption"));
    if (!aging.isNull()) {
        qvx::MultiAgingOption &option = multiAgingOption;
        option.mode = number(aging, QStringLiteral("mode"), QStringLiteral("0"));
        option.interval = number(aging, QStringLiteral("interval"), QStringLiteral("20"));
        option.repeat = number(aging, QStringLiteral("repeat"), QStringLiteral("0"));
        option.idCount = number(aging, QStringLiteral("idCount"), QStringLiteral("1"));
        if (option.idCount > kMaxIdCount) {
            console.printWarning(QStringLiteral("idCount %1 is more than the %2 servo IDs; %2 are read")
                                     .arg(option.idCount)
                                     .arg(kMaxIdCount));
            option.idCount = kMaxIdCount;
        }
        const QDomElement ids = firstBelow(aging, QStringLiteral("IdItems"));
        if (!ids.isNull())
            option.ids = numberedValues(ids, option.idCount);
        const QDomElement writes = firstBelow(aging, QStringLiteral("WriteItems"));
        if (!writes.isNull()) {
            option.writeItems.clear();
            for (const QDomElement &item : allBelow(writes, QStringLiteral("Item"))) {
                option.writeItems.append({number(item, QStringLiteral("playTime"), QStringLiteral("0")),
                                          number(item, QStringLiteral("delayTime"), QStringLiteral("0")),
                                          numberedValues(item, option.idCount)});
            }
        }
    }

    const QDomElement reads = firstBelow(firstBelow(root, QStringLiteral("MultiGraphOption")), QStringLiteral("ReadItems"));
    if (!reads.isNull()) {
        multiGraphInterval = static_cast<quint32>(number(reads, QStringLiteral("interval"), QStringLiteral("10")));
        graphItems.clear();
        for (const QDomElement &item : allBelow(reads, QStringLiteral("Item"))) {
            graphItems.append({item.attribute(QStringLiteral("color")),
                               number(item, QStringLiteral("id"), QStringLiteral("-1")),
                               item.attribute(QStringLiteral("name")),
                               number(item, QStringLiteral("yAxis"), QStringLiteral("0"))});
        }
    }

    const QDomElement graph = firstBelow(firstBelow(root, QStringLiteral("LoggingOption")), QStringLiteral("Graph"));
    if (!graph.isNull())
        loggingInterval = number(graph, QStringLiteral("interval"), QStringLiteral("1000"));
    file.close();
}
