#include "console/app/CommandArguments.h"

#include "console/io/Console.h"
#include "device/BaudConstants.h"

#include <limits>

namespace {

const QString kInvalidDeviceId = QStringLiteral("Invalid device ID. Device ID must be between 0 and 252");

void error(const QString &text)
{
    Console::instance().printError(text);
}

// An unsigned integer word (see isIntegerWord); false for anything else.
bool unsignedWord(const QString &word, uint &value)
{
    bool ok = false;
    value = isIntegerWord(word) ? word.toUInt(&ok, 10) : 0;
    return ok;
}

// A word that holds a number only with blanks around it ("\t7", "7\u00A0").
bool isPaddedInteger(const QString &word)
{
    return !isIntegerWord(word) && isIntegerWord(word.trimmed());
}

// "a-b" split at "-" keeping empty parts: both unsigned decimal, b <= max, a <= b.
bool parseRange(const QString &word, uint max, uint &first, uint &last)
{
    const QStringList parts = word.split(QLatin1Char('-'), Qt::KeepEmptyParts);
    if (parts.size() != 2)
        return false;
    return unsignedWord(parts.at(0), first) && unsignedWord(parts.at(1), last) && first <= max && last <= max
        && first <= last;
}

bool isDecimalDigits(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

// Word 1 may be an ID; when it is no number at all, the item starts there and
// the ID is the default one.
bool resolveItemId(const QStringList &words, uchar &id, int &first, const QString &missingItem,
                          const CommandContext &context)
{
    uint value = 0;
    if (!unsignedWord(words.at(1), value) && !isPaddedInteger(words.at(1))) {
        first = 1;
        return context.defaultDeviceId(id);
    }
    if (value > kMaxDeviceId || isPaddedInteger(words.at(1))) {
        error(kInvalidDeviceId);
        return false;
    }
    if (words.size() == 2) {
        error(missingItem);
        return false;
    }
    id = uchar(value);
    first = 2;
    return true;
}

} // namespace

bool CommandContext::defaultDeviceId(uchar &id) const
{
    if (lastId >= 0) {
        id = uchar(lastId);
        return true;
    }
    return promptDeviceId && promptDeviceId(id);
}

bool removeFlag(QStringList &words, const QString &shortForm, const QString &longForm)
{
    if (words.size() < 2)
        return false;
    bool removed = false;
    for (qsizetype i = words.size() - 1; i >= 1; --i) {
        if (words.at(i) == shortForm || words.at(i) == longForm) {
            words.removeAt(i);
            removed = true;
        }
    }
    return removed;
}

QString joinFields(const QStringList &words, qsizetype first, qsizetype end)
{
    QString joined = words.at(first).trimmed();
    for (qsizetype i = first + 1; i < end; ++i)
        joined += QLatin1Char(' ') + words.at(i).trimmed();
    return joined;
}

bool isIntegerWord(const QString &word)
{
    const qsizetype digits = word.startsWith(QLatin1Char('+')) || word.startsWith(QLatin1Char('-')) ? 1 : 0;
    return word.size() > digits && isDecimalDigits(word.mid(digits));
}

std::optional<int> integerWord(const QString &word)
{
    bool ok = false;
    const int value = isIntegerWord(word) ? word.toInt(&ok, 10) : 0;
    return ok ? std::optional<int>(value) : std::nullopt;
}

bool parseDeviceId(const QString &word, uchar &id)
{
    uint value = 0;
    if (!unsignedWord(word, value) || value > kMaxDeviceId)
        return false;
    id = uchar(value);
    return true;
}

bool resolveDeviceId(const QStringList &words, uchar &id, const CommandContext &context)
{
    if (words.size() < 2)
        return context.defaultDeviceId(id);
    if (parseDeviceId(words.at(1), id))
        return true;
    error(kInvalidDeviceId);
    return false;
}

bool resolveIdAndItem(const QStringList &words, uchar &id, int &first, const QString &name, int minimum,
                      const CommandContext &context)
{
    if (words.size() < minimum || words.size() < 2) {
        error(QStringLiteral("%1 command requires device ID and item name").arg(name));
        return false;
    }
    return resolveItemId(words, id, first, QStringLiteral("%1 command requires item name when device ID is specified").arg(name),
                         context);
}

bool resolveSetDeviceId(const QStringList &words, uchar &id, int &first, const CommandContext &context)
{
    return resolveItemId(words, id, first, QStringLiteral("Set command requires item name when device ID is specified"),
                         context);
}

int findSetValueIndex(const QStringList &words, uchar id, int first, const CommandContext &context)
{
    const int count = int(words.size());
    if (count < first + 2)
        return -1;
    // A number with blanks around it is a value too, which parseSetArguments refuses.
    if (!integerWord(words.last()) && !isPaddedInteger(words.last()))
        return -1;
    // "Indirect Address 1" may be an item's whole name rather than a value.
    if (context.itemNameExists && context.itemNameExists(id, joinFields(words, first, count)))
        return -1;
    return count - 1;
}

bool parseSetArguments(const QStringList &words, SetRequest &request, const CommandContext &context)
{
    if (!resolveSetDeviceId(words, request.id, request.firstItemIndex, context))
        return false;
    request.valueIndex = findSetValueIndex(words, request.id, request.firstItemIndex, context);
    const qsizetype end = request.valueIndex >= 0 ? request.valueIndex : words.size();
    request.itemName = joinFields(words, request.firstItemIndex, end);
    QString announcement = QStringLiteral("Setting ") + request.itemName;
    if (request.valueIndex >= 0) {
        const std::optional<int> value = integerWord(words.at(request.valueIndex));
        if (!value) {
            error(QStringLiteral("Invalid value parameter. Value must be a valid integer"));
            return false;
        }
        request.value = *value;
        request.hasValue = true;
        announcement += QStringLiteral(" to ") + QString::number(request.value);
    }
    Console::instance().printInfo(announcement);
    return true;
}

ScanArguments parseScanArguments(const QStringList &words)
{
    ScanArguments scan;
    if (words.size() == 1) {
        scan.kind = ScanArguments::Everything;
        return scan;
    }
    if (words.size() > 2 || words.at(1).split(QLatin1Char('-'), Qt::KeepEmptyParts).size() != 2) {
        error(QStringLiteral("Wrong parameter"));
        return scan;
    }
    uint first = 0;
    uint last = 0;
    if (!parseRange(words.at(1), kMaxDeviceId, first, last)) {
        error(QStringLiteral("Wrong range"));
        return scan;
    }
    scan.kind = ScanArguments::Range;
    scan.first = uchar(first);
    scan.last = uchar(last);
    return scan;
}

bool parseAddressRange(const QString &word, AddressRange &range)
{
    uint start = 0;
    uint end = 0;
    if (!parseRange(word, 65535, start, end))
        return false;
    range.start = ushort(start);
    range.end = ushort(end);
    return true;
}

bool resolveTableArguments(const QStringList &words, uchar &id, AddressRange &range, const CommandContext &context)
{
    range = AddressRange();
    if (words.size() < 2)
        return resolveDeviceId(words, id, context);
    if (parseAddressRange(words.at(1), range))
        return context.defaultDeviceId(id);
    if (!resolveDeviceId(words, id, context))
        return false;
    if (words.size() > 2 && !parseAddressRange(words.at(2), range)) {
        error(QStringLiteral("Invalid address range format. Use format: start-end (e.g., 0-12)"));
        return false;
    }
    return true;
}

bool parseBaudRate(const QString &word, int &baudRate)
{
    const int value = integerWord(word).value_or(0);
    if (value <= 0) {
        error(QStringLiteral("Invalid baudrate: %1. Must be a positive integer").arg(word));
        return false;
    }
    baudRate = value;
    return true;
}

QString baudRateText(int baudRate)
{
    const qsizetype index = kBaudRates.indexOf(baudRate);
    if (index >= 0)
        return kBaudRateNames.at(index);
    return QString::number(baudRate) + QStringLiteral("bps");
}

std::optional<uint> parseTimeout(const QStringList &words)
{
    if (words.size() < 2) {
        Console::instance().printLine(QStringLiteral("Timeout command requires time parameter"));
        return std::nullopt;
    }
    const QString word = words.at(1);
    bool ok = false;
    const qulonglong value = isIntegerWord(word) ? word.toULongLong(&ok, 10) : 0;
    // Numbers too large even for 64 bits fail to convert but are no less a
    // number; a number with blanks around it is refused as well.
    if ((ok && value > qulonglong(std::numeric_limits<int>::max())) || (!ok && isDecimalDigits(word))
        || isPaddedInteger(word)) {
        error(QStringLiteral("Invalid time parameter. Time must be between 0 and %1 ms")
                  .arg(std::numeric_limits<int>::max()));
        return std::nullopt;
    }
    return ok ? uint(value) : 0u;
}

bool parseClearArguments(const QStringList &words, uchar &id, int &parameter)
{
    if (words.size() != 3) {
        error(QStringLiteral("Usage: clear <id> <1|2|10> [-v|--verbose]"));
        return false;
    }
    uint value = 0;
    const bool idOk = unsignedWord(words.at(1), value);
    const std::optional<int> given = integerWord(words.at(2));
    parameter = given.value_or(0);
    // A word that is no number never stands for ID 0 or parameter 0.
    if (!idOk || !given || value > kMaxDeviceId || (parameter != 1 && parameter != 2 && parameter != 10)) {
        error(QStringLiteral("Invalid device ID or clear parameter"));
        return false;
    }
    id = uchar(value);
    return true;
}

bool resolveUpdateId(const QStringList &words, int lastId, uchar &id)
{
    if (words.size() >= 2) {
        if (parseDeviceId(words.at(1), id))
            return true;
        error(kInvalidDeviceId);
        return false;
    }
    if (lastId >= 0) {
        id = uchar(lastId);
        return true;
    }
    Console::instance().printLine(QStringLiteral("Update command requires device ID"));
    return false;
}
