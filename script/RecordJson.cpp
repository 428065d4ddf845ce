#include "script/RecordJson.h"

#include "platform/CommandLine.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QStringList>
#include <QVariantList>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace script::json {

namespace {

// The value a variant holds, by reference; only for a variant of that type.
template <class T>
const T &stored(const QVariant &value)
{
    return *static_cast<const T *>(value.constData());
}

// A JSON array of `list`, each element written by `appendElement`.
template <class List, class Append>
void appendArray(QByteArray &out, const List &list, Append appendElement)
{
    out.append('[');
    bool first = true;
    for (const auto &element : list) {
        if (!first)
            out.append(',');
        first = false;
        appendElement(out, element);
    }
    out.append(']');
}

char hexDigit(unsigned value)
{
    return char(value < 10 ? '0' + value : 'a' + value - 10);
}

void appendInteger(QByteArray &out, qlonglong value)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end - digits);
}

void appendDouble(QByteArray &out, double value)
{
    // JSON has no infinity and no NaN.
    if (std::isfinite(value))
        out.append(QByteArray::number(value, 'g', QLocale::FloatingPointShortest));
    else
        out.append("null");
}

// Turns a value of a kind the records do not hold into JSON the long way, through
// Qt's own classes, so that it comes out as it always did.
QJsonValue displayable(const QJsonValue &value);

QJsonObject displayable(const QJsonObject &object)
{
    QJsonObject shown;
    for (auto it = object.begin(); it != object.end(); ++it)
        shown.insert(platform::displayable(it.key()), displayable(it.value()));
    return shown;
}

QJsonValue displayable(const QJsonValue &value)
{
    if (value.isString())
        return platform::displayable(value.toString());
    if (value.isObject())
        return displayable(value.toObject());
    if (value.isArray()) {
        QJsonArray shown;
        for (const QJsonValue &element : value.toArray())
            shown.append(displayable(element));
        return shown;
    }
    return value;
}

void appendThroughQtJson(QByteArray &out, const QVariant &value)
{
    const QJsonObject converted = QJsonObject::fromVariantMap({{QString(), value}});
    const QByteArray text = QJsonDocument(QJsonArray{displayable(converted.value(QString()))})
                                .toJson(QJsonDocument::Compact);
    out.append(text.mid(1, text.size() - 2)); // without the array's brackets
}

} // namespace

void appendString(QByteArray &out, QStringView text)
{
    // Bytes are gathered here and handed over in blocks: one call per byte would
    // cost more than all the rest of a record.
    char block[256];
    int used = 0;
    auto put = [&](char byte) {
        if (used == int(sizeof block)) {
            out.append(block, used);
            used = 0;
        }
        block[used++] = byte;
    };
    auto putUtf8 = [&](char32_t code) {
        if (code < 0x800) {
            put(char(0xC0 | (code >> 6)));
        } else if (code < 0x10000) {
            put(char(0xE0 | (code >> 12)));
            put(char(0x80 | ((code >> 6) & 0x3F)));
        } else {
            put(char(0xF0 | (code >> 18)));
            put(char(0x80 | ((code >> 12) & 0x3F)));
            put(char(0x80 | ((code >> 6) & 0x3F)));
        }
        put(char(0x80 | (code & 0x3F)));
    };

    put('"');
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t unit = text[i].unicode();
        if (unit >= 0x20 && unit < 0x80 && unit != '"' && unit != '\\') {
            put(char(unit));
            continue;
        }
        if (unit < 0x80) {
            put('\\');
            switch (unit) {
            case '"': put('"'); break;
            case '\\': put('\\'); break;
            case '\b': put('b'); break;
            case '\f': put('f'); break;
            case '\n': put('n'); break;
            case '\r': put('r'); break;
            case '\t': put('t'); break;
            default:
                put('u');
                put('0');
                put('0');
                put(hexDigit(unit >> 4));
                put(hexDigit(unit & 0xF));
                break;
            }
            continue;
        }
        if (QChar::isHighSurrogate(unit) && i + 1 < size && QChar::isLowSurrogate(text[i + 1].unicode())) {
            putUtf8(QChar::surrogateToUcs4(unit, text[i + 1].unicode()));
            ++i;
            continue;
        }
        // A lone surrogate is shown as the replacement character.
        putUtf8(QChar::isSurrogate(unit) ? char32_t(QChar::ReplacementCharacter) : char32_t(unit));
    }
    put('"');
    out.append(block, used);
}

void appendValue(QByteArray &out, const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        out.append(value.toBool() ? "true" : "false");
        return;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
        appendInteger(out, value.toLongLong());
        return;
    case QMetaType::ULongLong:
        if (value.toULongLong() <= quint64(std::numeric_limits<qint64>::max()))
            appendInteger(out, value.toLongLong());
        else
            appendDouble(out, value.toDouble());
        return;
    case QMetaType::Double:
        appendDouble(out, value.toDouble());
        return;
    case QMetaType::QString:
        appendString(out, stored<QString>(value));
        return;
    case QMetaType::QStringList:
        appendArray(out, stored<QStringList>(value), [](QByteArray &o, const QString &text) { appendString(o, text); });
        return;
    case QMetaType::QVariantList:
        appendArray(out, stored<QVariantList>(value), appendValue);
        return;
    case QMetaType::QVariantMap:
        appendObject(out, stored<QVariantMap>(value));
        return;
    default:
        appendThroughQtJson(out, value);
        return;
    }
}

void appendObject(QByteArray &out, const QVariantMap &map)
{
    out.append('{');
    const bool keysShowable = std::all_of(map.keyBegin(), map.keyEnd(),
                                          [](const QString &key) { return key.isValidUtf16(); });
    if (keysShowable) {
        bool first = true;
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (!first)
                out.append(',');
            first = false;
            appendString(out, it.key());
            out.append(':');
            appendValue(out, it.value());
        }
    } else {
        // Keys with bytes that are not UTF-8: shown with U+FFFD, which may move them
        // and make two of them one; the later one of the map then wins.
        std::vector<std::pair<QString, const QVariant *>> entries;
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            entries.emplace_back(platform::displayable(it.key()), &it.value());
        std::stable_sort(entries.begin(), entries.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        bool first = true;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i + 1 < entries.size() && entries[i + 1].first == entries[i].first)
                continue;
            if (!first)
                out.append(',');
            first = false;
            appendString(out, entries[i].first);
            out.append(':');
            appendValue(out, *entries[i].second);
        }
    }
    out.append('}');
}

} // namespace script::json
