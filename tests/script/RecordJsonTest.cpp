// A record's JSON line is written straight from its maps. Qt's JSON classes,
// through which the lines were once made (the maps as QJsonObjects, their
// texts made displayable, then the compact document), stand by as the
// reference: every record must come out byte for byte as they write it.

#include "platform/CommandLine.h"
#include "script/ScriptOutput.h"
#include "script/ScriptResult.h"
#include "tests/support/QtPrinters.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

using script::ScriptResult;

namespace {

QJsonValue shown(const QJsonValue &value);

QJsonObject shown(const QJsonObject &object)
{
    QJsonObject result;
    for (auto it = object.begin(); it != object.end(); ++it)
        result.insert(platform::displayable(it.key()), shown(it.value()));
    return result;
}

QJsonValue shown(const QJsonValue &value)
{
    if (value.isString())
        return platform::displayable(value.toString());
    if (value.isObject())
        return shown(value.toObject());
    if (value.isArray()) {
        QJsonArray result;
        for (const QJsonValue &element : value.toArray())
            result.append(shown(element));
        return result;
    }
    return value;
}

// The line as Qt's JSON classes write it.
QByteArray qtLine(const ScriptResult &record)
{
    QJsonObject object{{"command", record.command}, {"success", record.success}};
    if (record.success) {
        object.insert("data", QJsonObject::fromVariantMap(record.data));
    } else {
        QJsonObject error{{"code", record.errorCode}, {"message", record.message}};
        if (!record.details.isEmpty())
            error.insert("details", QJsonObject::fromVariantMap(record.details));
        object.insert("error", error);
    }
    return QJsonDocument(shown(object)).toJson(QJsonDocument::Compact) + '\n';
}

ScriptResult success(const QVariantMap &data)
{
    ScriptResult record;
    record.command = "get";
    record.success = true;
    record.exitCode = 0;
    record.data = data;
    return record;
}

QString units(std::initializer_list<char16_t> list)
{
    QString text;
    for (char16_t unit : list)
        text.append(QChar(unit));
    return text;
}

// One value in a map of its own, as the data of a successful record.
QByteArray dataOf(const QVariant &value)
{
    const QByteArray line = script::recordJsonLine(success({{"v", value}}));
    const QByteArray head = R"({"command":"get","data":{"v":)";
    const QByteArray tail = "}," R"("success":true})" "\n";
    if (!line.startsWith(head) || !line.endsWith(tail))
        return "unexpected line: " + line;
    return line.mid(head.size(), line.size() - head.size() - tail.size());
}

TEST(RecordJson, TextsAreEscapedAndShownAsUtf8)
{
    const struct
    {
        const char *name;
        QString text;
        QByteArray json;
    } cases[] = {
        {"quote, backslash, slash", R"(a"b\c/d)", R"("a\"b\\c/d")"},
        {"named escapes", "\b\f\n\r\t", R"("\b\f\n\r\t")"},
        {"other control characters", units({0x00, 0x01, 0x1B, 0x1F}), R"("\u0000\u0001\u001b\u001f")"},
        {"DEL and the rest of ASCII as they are", units({0x20, 0x7E, 0x7F}), QByteArray(" ~\x7f").prepend('"') + '"'},
        {"two- and three-byte characters", QStringLiteral(u"é€"), "\"\xC3\xA9\xE2\x82\xAC\""},
        {"a character beyond the BMP", QStringLiteral(u"\U0001F600"), "\"\xF0\x9F\x98\x80\""},
        {"an undecodable byte of the user's", units({'x', 0xDC80, 'y'}), "\"x\xEF\xBF\xBDy\""},
        {"a lone high surrogate at the end", units({'x', 0xD83D}), "\"x\xEF\xBF\xBD\""},
        {"surrogates in the wrong order", units({0xDE00, 0xD83D}), "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(dataOf(c.text), c.json) << c.name;
        EXPECT_EQ(script::recordJsonLine(success({{"v", c.text}})), qtLine(success({{"v", c.text}}))) << c.name;
    }
}

TEST(RecordJson, NumbersAndOtherValuesComeOutAsQtWritesThem)
{
    const struct
    {
        QVariant value;
        QByteArray json;
    } cases[] = {
        {0, "0"},
        {std::numeric_limits<int>::min(), "-2147483648"},
        {std::numeric_limits<uint>::max(), "4294967295"},
        {std::numeric_limits<qlonglong>::max(), "9223372036854775807"},
        {std::numeric_limits<qlonglong>::min(), "-9223372036854775808"},
        {quint64(std::numeric_limits<qlonglong>::max()), "9223372036854775807"},
        {std::numeric_limits<qulonglong>::max(), "18446744073709552000"},
        {0.1, "0.1"},
        {2.0, "2"},
        {-0.0, "0"},
        {1e20, "1e+20"},
        {1.5e-7, "1.5e-07"},
        {std::numeric_limits<double>::infinity(), "null"},
        {std::nan(""), "null"},
        {true, "true"},
        {false, "false"},
        {QVariant(), "null"},
        {QStringList{}, "[]"},
        {QStringList{"a", "b"}, R"(["a","b"])"},
        {QVariantList{1, "x", QVariantList{}, QVariantMap{}}, R"([1,"x",[],{}])"},
        // Kinds no record holds today take Qt's own way.
        {QByteArray("ab"), R"("ab")"},
        {QVariant::fromValue(short(-3)), "-3"},
        {QVariant::fromValue(1.5f), "1.5"},
        {QVariant::fromValue(QVariantHash{{"k", 1}}), R"({"k":1})"},
    };
    for (const auto &c : cases) {
        const QByteArray qt = qtLine(success({{"v", c.value}}));
        EXPECT_EQ(dataOf(c.value), c.json) << c.value.typeName() << " " << qt.toStdString();
        EXPECT_EQ(script::recordJsonLine(success({{"v", c.value}})), qt) << c.value.typeName();
    }
}

TEST(RecordJson, KeysComeInUtf16OrderAlsoWhenShowingThemMovesThem)
{
    const QVariantMap ordered{{"b", 1}, {"B", 2}, {"_", 3}, {"a1", 4}, {"a", 5}, {QStringLiteral(u"é"), 6}, {"Z", 7}};
    EXPECT_EQ(dataOf(ordered), "{\"B\":2,\"Z\":7,\"_\":3,\"a\":5,\"a1\":4,\"b\":1,\"\xC3\xA9\":6}");

    // An undecodable byte sorts before U+E000 but is shown as U+FFFD, which
    // sorts after it; two keys shown alike are one, the later of the map.
    const QVariantMap moved{{units({0xDC80}), "undecodable"}, {units({0xE000}), "private use"},
                            {units({0xFFFD}), "replacement"}, {units({0xDC81}), "undecodable too"}};
    EXPECT_EQ(dataOf(moved), "{\"\xEE\x80\x80\":\"private use\",\"\xEF\xBF\xBD\":\"replacement\"}");
    EXPECT_EQ(script::recordJsonLine(success({{"v", moved}})), qtLine(success({{"v", moved}})));
}

// Records of random nested maps: keys and texts from a small alphabet with the
// awkward units, values of every kind the records hold.
class RandomRecords
{
public:
    QVariantMap map(int depth)
    {
        QVariantMap result;
        const int size = pick(0, 5);
        for (int i = 0; i < size; ++i)
            result.insert(text(3), value(depth));
        return result;
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    QString text(int longest)
    {
        static const char16_t alphabet[] = {'a', 'B', '_', '0', ' ', '"', '\\', '/', '\n', 0x01, 0x7F, 0xE9, 0x20AC,
                                            0xD83D, 0xDE00, 0xDC80, 0xFFFD, 0xE000};
        QString result;
        const int length = pick(0, longest);
        for (int i = 0; i < length; ++i)
            result.append(QChar(alphabet[pick(0, int(std::size(alphabet)) - 1)]));
        return result;
    }

    QVariant value(int depth)
    {
        switch (pick(0, depth > 0 ? 9 : 6)) {
        case 0: return pick(0, 1) == 1;
        case 1: return pick(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
        case 2: return qlonglong(random_()) * (pick(0, 1) ? 1 : -1);
        case 3: return qulonglong(random_()) << pick(0, 1) * 32;
        case 4: return std::ldexp(double(pick(-1000000, 1000000)), pick(-40, 40));
        case 5: return text(8);
        case 6: {
            QStringList list;
            for (int i = pick(0, 3); i > 0; --i)
                list.append(text(4));
            return list;
        }
        case 7: {
            QVariantList list;
            for (int i = pick(0, 3); i > 0; --i)
                list.append(value(depth - 1));
            return list;
        }
        default: return map(depth - 1);
        }
    }

    std::mt19937_64 random_{20260611};
};

TEST(RecordJson, RandomRecordsComeOutAsQtWritesThem)
{
    RandomRecords records;
    for (int i = 0; i < 2000; ++i) {
        ScriptResult record = success(records.map(3));
        if (i % 2 == 1)
            record = ScriptResult::failure(QStringLiteral(u"g\u00E9t"), 1, "packet_error",
                                           QString::number(i) + QChar(0xDC80) + "\nsecond line",
                                           records.map(2));
        const QByteArray qt = qtLine(record);
        ASSERT_EQ(script::recordJsonLine(record), qt) << "record " << i;
        ASSERT_EQ(script::recordJson(record), QString::fromUtf8(qt)) << "record " << i;
    }
}

} // namespace
