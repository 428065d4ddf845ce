#include "control/AgingConfig.h"

#include "console/io/Console.h"
#include "device/XmlSafety.h"
#include "platform/RegularFile.h"

#include <QDomDocument>
#include <QDomElement>
#include <QDomNodeList>
#include <QFile>
#include <QXmlStreamReader>

#include <algorithm>
#include <iterator>
#include <utility>
#include <optional>

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

// The idCount of a "MultiAgingOption" element as the options take it.
int idCountOf(const QDomElement &aging)
{
    return std::min(number(aging, QStringLiteral("idCount"), QStringLiteral("1")), AgingConfig::kMaxIdCount);
}

// How many values the write items of the file's multi-aging section hold:
// one per servo of idCount, at least one, for each item.
qint64 writeValues(const QDomElement &root)
{
    const QDomElement aging = firstBelow(root, QStringLiteral("MultiAgingOption"));
    const QDomElement writes = firstBelow(aging, QStringLiteral("WriteItems"));
    if (writes.isNull())
        return 0;
    return qint64(writes.elementsByTagName(QStringLiteral("Item")).count()) * std::max(1, idCountOf(aging));
}

struct ParseError
{
    QString message;
    qint64 line = 0;
    qint64 column = 0;
};

bool parse(const QByteArray &content, QDomDocument &document, ParseError &error)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    const QDomDocument::ParseResult result = document.setContent(content);
    error = {result.errorMessage, result.errorLine, result.errorColumn};
    return bool(result);
#else
    int line = 0;
    int column = 0;
    const bool ok = document.setContent(content, &error.message, &line, &column);
    error.line = line;
    error.column = column;
    return ok;
#endif
}

// What the passes over the text find before any document is built: where a
// bound of the file's shape is first crossed.
struct TextBound
{
    QString reason;
    qint64 line = 0;
    qint64 column = 0;
};

// Where a tag first holds more than kMaxAttributes attributes, counted by
// their '=' signs outside quoted values, from the bytes alone. It comes
// before any XML reader sees the text: a reader checks each attribute of an
// element against all before it, and an element of tens of thousands takes
// it seconds.
std::optional<TextBound> crowdedTag(const QByteArray &text)
{
    // The parts whose text is no markup, and where each ends.
    static const std::pair<QByteArray, QByteArray> kSkipped[] = {
        {"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}, {"<!", ">"}};
    qsizetype at = 0;
    while ((at = text.indexOf('<', at)) >= 0) {
        const auto skipped = std::find_if(std::begin(kSkipped), std::end(kSkipped),
                                          [&](const auto &part) { return text.mid(at, part.first.size()) == part.first; });
        if (skipped != std::end(kSkipped)) {
            const qsizetype end = text.indexOf(skipped->second, at + skipped->first.size());
            if (end < 0)
                return std::nullopt;
            at = end + skipped->second.size();
            continue;
        }
        const qsizetype tag = at;
        int attributes = 0;
        char quote = 0;
        for (++at; at < text.size(); ++at) {
            const char c = text.at(at);
            if (quote != 0) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            } else if (c == '=' && ++attributes > AgingConfig::kMaxAttributes) {
                const qsizetype lineStart = text.lastIndexOf('\n', tag) + 1;
                return TextBound{QStringLiteral("an element with more than %1 attributes").arg(AgingConfig::kMaxAttributes),
                                 text.left(tag).count('\n') + 1, tag - lineStart + 1};
            }
        }
    }
    return std::nullopt;
}

// The first bound the text crosses; nothing when it crosses none, or when it
// is not well-formed before that point (the parse then reports it). Entity
// declarations are refused before the root's start is read, so neither this
// pass nor the document build ever expands one.
std::optional<TextBound> crossedBound(const QByteArray &content)
{
    if (std::optional<TextBound> crowded = crowdedTag(content))
        return crowded;
    QXmlStreamReader reader(content);
    switch (xml_safety::readToRoot(reader)) {
    case xml_safety::Prologue::Root:
        break;
    case xml_safety::Prologue::Broken:
        return std::nullopt;
    case xml_safety::Prologue::Refused:
        return TextBound{reader.errorString(), reader.lineNumber(), reader.columnNumber()};
    }
    int depth = 0;
    qint64 nodes = 0;
    for (QXmlStreamReader::TokenType token = reader.tokenType(); !reader.atEnd(); token = reader.readNext()) {
        if (token == QXmlStreamReader::EndElement)
            --depth;
        if (token != QXmlStreamReader::StartElement)
            continue;
        if (++depth > AgingConfig::kMaxDepth)
            return TextBound{QStringLiteral("elements nested deeper than %1").arg(AgingConfig::kMaxDepth),
                             reader.lineNumber(), reader.columnNumber()};
        nodes += 1 + reader.attributes().size();
        if (nodes > AgingConfig::kMaxNodes)
            return TextBound{QStringLiteral("more than %1 elements and attributes").arg(AgingConfig::kMaxNodes),
                             reader.lineNumber(), reader.columnNumber()};
    }
    return std::nullopt;
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
    const auto refuse = [&console](const QString &reason) {
        console.printError(QStringLiteral("Failed to load XML file: ") + reason);
    };
    QFile file;
    QString error;
    if (!platform::openRegularFile(path, file, error)) {
        refuse(error);
        return;
    }
    // One byte past the bound tells a file that is too large, also one that
    // grew after it was opened.
    QByteArray content;
    const bool withinBound = xml_safety::readBounded(file, kMaxFileBytes, &content);
    file.close();
    if (!withinBound) {
        refuse(xml_safety::largerThan(kMaxFileBytes));
        return;
    }
    if (const std::optional<TextBound> bound = crossedBound(content)) {
        refuse(QStringLiteral("%1 (line %2, column %3)").arg(bound->reason).arg(bound->line).arg(bound->column));
        return;
    }
    QDomDocument document;
    ParseError parseError;
    if (!parse(content, document, parseError)) {
        console.printError(QStringLiteral("XML parsing failed - Line: %1, Column: %2, Error: %3")
                               .arg(parseError.line)
                               .arg(parseError.column)
                               .arg(parseError.message));
        return;
    }
    const QDomElement root = document.documentElement();
    if (root.tagName() != QStringLiteral("Config")) {
        console.printError(QStringLiteral("root element not found"));
        return;
    }
    if (const qint64 values = writeValues(root); values > kMaxWriteValues) {
        refuse(QStringLiteral("%1 write values (items times idCount), more than %2").arg(values).arg(kMaxWriteValues));
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
}
