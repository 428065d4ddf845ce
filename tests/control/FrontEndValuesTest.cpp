// The program's two front ends read the same simulated devices (zephlet-sim)
// and must show every value alike: the interactive console in its get and
// table rows, script mode in its get and table records, as text and as JSON.
// Beside them, the console's value choice writes only values within the
// item's bounds, whatever the length of its label list, as the devices' own
// record of what arrived shows.

#include "tests/device/DescriptionFolder.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimProgram.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <iterator>
#include <optional>

namespace {

// A small model of its own, one item per case.
const QByteArray kDescription = DescriptionFolder::withItems(
    QStringLiteral("Name=\"VR-1\" ModelNumber=\"4250\" Type=\"Quorvex2\" MinimumVersion=\"0\""),
    QStringLiteral(
        "<Item Address=\"0\" Memory=\"1\" Name=\"Model Number\" RW=\"1\" Length=\"2\" UI=\"0\"/>"
        "<Item Address=\"6\" Memory=\"1\" Name=\"Firmware Version\" RW=\"1\" Length=\"1\" UI=\"0\"/>"
        "<Item Address=\"7\" Memory=\"1\" Name=\"ID\" RW=\"3\" Length=\"1\" Min=\"0\" Max=\"252\" UI=\"1\"/>"
        // Value names counted from Min 0 and from Min 1, and a value past the names.
        "<Item Address=\"10\" Memory=\"2\" Name=\"Power State\" RW=\"3\" Length=\"1\" Min=\"0\" Max=\"2\" UI=\"3\""
        " Label=\"Off:Standby:On\"/>"
        "<Item Address=\"11\" Memory=\"2\" Name=\"Protocol Type\" RW=\"3\" Length=\"1\" Min=\"1\" Max=\"2\" UI=\"3\""
        " Label=\"Protocol 1.0:Protocol 2.0\"/>"
        "<Item Address=\"12\" Memory=\"2\" Name=\"Backup Protocol\" RW=\"3\" Length=\"1\" Min=\"1\" Max=\"2\" UI=\"3\""
        " Label=\"Protocol 1.0:Protocol 2.0\"/>"
        "<Item Address=\"13\" Memory=\"2\" Name=\"Gear Stage\" RW=\"3\" Length=\"1\" Min=\"1\" Max=\"5\" UI=\"3\""
        " Label=\"Low:High\"/>"
        // The top bit set, with and without a sign rule, at every width.
        "<Item Address=\"16\" Memory=\"2\" Name=\"Byte Plain\" RW=\"1\" Length=\"1\" UI=\"1\"/>"
        "<Item Address=\"17\" Memory=\"2\" Name=\"Byte Signed\" RW=\"1\" Length=\"1\" UI=\"1\" Sign=\"128\"/>"
        "<Item Address=\"18\" Memory=\"2\" Name=\"Word Plain\" RW=\"1\" Length=\"2\" UI=\"1\"/>"
        "<Item Address=\"20\" Memory=\"2\" Name=\"Word Signed\" RW=\"1\" Length=\"2\" UI=\"1\" Sign=\"32768\"/>"
        "<Item Address=\"24\" Memory=\"2\" Name=\"Long Plain\" RW=\"1\" Length=\"4\" UI=\"1\"/>"
        "<Item Address=\"28\" Memory=\"2\" Name=\"Long Signed\" RW=\"1\" Length=\"4\" UI=\"1\" Sign=\"2147483648\"/>"
        "<Item Address=\"32\" Memory=\"2\" Name=\"Long Below Zero\" RW=\"1\" Length=\"4\" Min=\"-100\" Max=\"100\""
        " UI=\"1\"/>"
        // Bits are named from bit 0, whatever the Min.
        "<Item Address=\"36\" Memory=\"2\" Name=\"Alarm Bits\" RW=\"1\" Length=\"1\" Min=\"1\" Max=\"7\" UI=\"8\""
        " Label=\"Voltage:Heat:Load\"/>"
        // Value choices whose label list is shorter than, as long as and longer than the range.
        "<Item Address=\"40\" Memory=\"2\" Name=\"Short Choice\" RW=\"3\" Length=\"1\" Min=\"1\" Max=\"4\" UI=\"3\""
        " Label=\"One:Two\"/>"
        "<Item Address=\"41\" Memory=\"2\" Name=\"Equal Choice\" RW=\"3\" Length=\"1\" Min=\"1\" Max=\"2\" UI=\"3\""
        " Label=\"One:Two\"/>"
        "<Item Address=\"42\" Memory=\"2\" Name=\"Long Choice\" RW=\"3\" Length=\"1\" Min=\"1\" Max=\"2\" UI=\"3\""
        " Label=\"-:Protocol 1.0:Protocol 2.0\"/>"));

// ID 1 holds the model above, ID 2 is an AR-240 of the built-in descriptions.
const QStringList kDevices{
    QStringLiteral("id=1,model=4250,fw=1,size=64,mem=10:01,mem=11:01,mem=12:02,mem=13:04,mem=16:80,mem=17:80,"
                   "mem=18:0180,mem=20:0180,mem=24:ffffff80,mem=28:ffffff80,mem=32:ffffff80,mem=36:05"),
    QStringLiteral("id=2,model=1020,mem=13:01,mem=2:21436587"),
};

struct ValueCase
{
    int id;
    const char *item;
    qint64 number;
    const char *name; // null: the value has no name, and a record shows its number
};

const ValueCase kValues[] = {
    {1, "Power State", 1, "Standby"},
    {1, "Protocol Type", 1, "Protocol 1.0"},
    {1, "Backup Protocol", 2, "Protocol 2.0"},
    {1, "Gear Stage", 4, nullptr},
    {1, "Byte Plain", 128, nullptr},
    {1, "Byte Signed", -128, nullptr},
    {1, "Word Plain", 32769, nullptr},
    {1, "Word Signed", -32767, nullptr},
    {1, "Long Plain", 2164260863LL, nullptr},
    {1, "Long Signed", -2130706433LL, nullptr},
    {1, "Long Below Zero", -2130706433LL, nullptr},
    {1, "Alarm Bits", 5, "Voltage, Load"},
    // The built-in AR-240: Protocol Type counts from Min 1; Model Information has no sign rule.
    {2, "Protocol Type", 1, "Protocol 1.0"},
    {2, "Model Information", 2271560481LL, nullptr},
};

// What a record shows as the display value: the name, or the number of a value without one.
QString displayOf(const ValueCase &c)
{
    return c.name ? QString::fromUtf8(c.name) : QString::number(c.number);
}

// One console row: its decimal and its value columns.
struct Row
{
    qint64 number = 0;
    QString valueColumn;
};

// One script record of an item: its number and its display text.
struct Record
{
    qint64 number = 0;
    QString display;
};

class FrontEndValues : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QDir(folder_.path()).mkdir(QStringLiteral("xml"));
        folder_.write(QStringLiteral("xml/vr-1.xml"), kDescription);
        // The program finds the description in the "xml" folder of its working folder.
        QDir::setCurrent(folder_.path());
    }
    void TearDown() override { QDir::setCurrent(previous_); }

    // The console with these lines as its input, after a network delay that
    // lets a loaded machine's late reply count.
    QString console(const QByteArray &lines) const
    {
        const QByteArray open = "timeout " + QByteArray::number(sim::kReplySlackMs) + "\nopen "
                                + sim_.portName().toUtf8() + " 1000000\n";
        const ProgramResult run = runProgram(qEnvironmentVariable("ZEPHLET_CLI"), {}, open + lines);
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        return QString::fromUtf8(run.out);
    }

    // Script mode with these commands after the port and the network delay.
    QString script(const QList<QByteArray> &commands, bool json) const
    {
        QList<QByteArray> arguments;
        if (json)
            arguments << "--json";
        arguments << "-e" << "open " + sim_.portName().toUtf8() + " 1000000";
        arguments << "-e" << "timeout " + QByteArray::number(sim::kReplySlackMs);
        for (const QByteArray &command : commands)
            arguments << "-e" << command;
        const ProgramResult run = runProgram(qEnvironmentVariable("ZEPHLET_CLI"), arguments);
        EXPECT_EQ(run.exitCode, 0) << run.out.toStdString() << run.err.toStdString();
        return QString::fromUtf8(run.out);
    }

    // The WRITE instructions the devices received, e.g. "2.0 1 WRITE 28 00 02".
    QByteArrayList writes() const
    {
        QByteArrayList lines;
        for (const QByteArray &line : sim_.received())
            if (line.contains(" WRITE "))
                lines.append(line);
        return lines;
    }

    QString previous_ = QDir::currentPath();
    DescriptionFolder folder_;
    SimProgram sim_{kDevices};
};

// The console's rows (get, set and table alike) by item name, in the order printed.
QList<QPair<QString, Row>> consoleRows(const QString &output)
{
    static const QRegularExpression row(
        QStringLiteral(R"(^\d+ *: (.+?) *: +(-?\d+)(?: :|,) +0x[0-9A-F]+ : (.*)$)"));
    QList<QPair<QString, Row>> rows;
    for (const QString &line : output.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch m = row.match(line);
        if (m.hasMatch())
            rows.append({m.captured(1), Row{m.captured(2).toLongLong(), m.captured(3)}});
    }
    return rows;
}

std::optional<Row> rowOf(const QList<QPair<QString, Row>> &rows, const QString &name)
{
    for (const auto &[rowName, row] : rows)
        if (rowName == name)
            return row;
    return std::nullopt;
}

Record recordOf(const QJsonObject &item)
{
    return {item.value(QStringLiteral("value")).toInteger(), item.value(QStringLiteral("display_value")).toString()};
}

// The console shows a name in the value column (a bit field's names each
// followed by ", "), a script record shows it as the display value, or the
// number when the value has no name.
void expectSameValue(const ValueCase &c, const std::optional<Row> &row, const std::optional<Record> &record,
                     const QString &where)
{
    const QString name = c.name ? QString::fromUtf8(c.name) : QString();
    ASSERT_TRUE(row) << "no console row, " << where.toStdString();
    EXPECT_EQ(row->number, c.number) << "console, " << where.toStdString();
    QString column = row->valueColumn;
    if (column.endsWith(QStringLiteral(", ")))
        column.chop(2);
    EXPECT_EQ(column, name) << "console, " << where.toStdString();
    ASSERT_TRUE(record) << "no record, " << where.toStdString();
    EXPECT_EQ(record->number, c.number) << "script, " << where.toStdString();
    EXPECT_EQ(record->display, displayOf(c)) << "script, " << where.toStdString();
}

TEST_F(FrontEndValues, BothFrontEndsShowTheSameNumberAndName)
{
    QByteArray consoleInput;
    QList<QByteArray> commands;
    for (const ValueCase &c : kValues) {
        const QByteArray get = "get " + QByteArray::number(c.id) + " ";
        consoleInput += get + c.item + "\n";
        commands.append(get + '"' + c.item + '"'); // script mode takes a name with blanks quoted
    }
    consoleInput += "table 1\n";
    commands.append("table 1");

    // The console: one row per get, then the table's rows.
    const QString consoleOut = console(consoleInput);
    const QList<QPair<QString, Row>> rows = consoleRows(consoleOut);
    const qsizetype gets = std::size(kValues);
    ASSERT_GT(rows.size(), gets) << consoleOut.toStdString();
    const QList<QPair<QString, Row>> tableRows = rows.mid(gets);

    // Script mode as JSON: one record per get, then the table's.
    const QStringList jsonLines = script(commands, true).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(jsonLines.size(), gets + 3) << jsonLines.join(QLatin1Char('\n')).toStdString();
    QList<QJsonObject> records;
    for (const QString &line : jsonLines)
        records.append(QJsonDocument::fromJson(line.toUtf8()).object());
    QMap<QString, Record> tableRecords;
    const QJsonObject table = records.last().value(QStringLiteral("data")).toObject();
    for (const QJsonValue &item : table.value(QStringLiteral("items")).toArray())
        tableRecords.insert(item.toObject().value(QStringLiteral("name")).toString(), recordOf(item.toObject()));

    // Script mode as text: "<item>: <display>" after each device line.
    const QString text = script(commands, false);

    for (qsizetype i = 0; i < gets; ++i) {
        const ValueCase &c = kValues[i];
        const QString item = QString::fromUtf8(c.item);
        SCOPED_TRACE(QStringLiteral("ID %1 %2").arg(c.id).arg(item).toStdString());
        ASSERT_EQ(rows.at(i).first, item) << consoleOut.toStdString();
        const QJsonObject record = records.at(i + 2).value(QStringLiteral("data")).toObject();
        expectSameValue(c, rows.at(i).second, recordOf(record.value(QStringLiteral("item")).toObject()), "get");
        const QString display = displayOf(c);
        EXPECT_TRUE(text.contains(QLatin1Char('\n') + item + QStringLiteral(": ") + display + QLatin1Char('\n')))
            << text.toStdString();
        if (c.id != 1)
            continue;
        expectSameValue(c, rowOf(tableRows, item),
                        tableRecords.contains(item) ? std::optional<Record>(tableRecords.value(item)) : std::nullopt,
                        "table");
        EXPECT_TRUE(text.contains(QStringLiteral("  ") + item + QStringLiteral("  ") + display + QLatin1Char('\n')))
            << text.toStdString();
    }
}

TEST_F(FrontEndValues, TheValueChoiceWritesOnlyWithinTheBounds)
{
    struct Case
    {
        const char *item;
        const char *offered;   // the choice lines
        QByteArrayList refused; // answers refused before the last one
        const char *taken;
        const char *success;
        const char *written; // the WRITE that arrived
    };
    const Case cases[] = {
        // Two names for the four values 1 to 4: the unnamed ones are not offered.
        {"Short Choice", "  1 : One\n  2 : Two\n", {"3", "4", "5"}, "2", "change Short Choice to Two",
         "2.0 1 WRITE 28 00 02"},
        {"Equal Choice", "  1 : One\n  2 : Two\n", {"0", "3"}, "1", "change Equal Choice to One",
         "2.0 1 WRITE 29 00 01"},
        // Three names for the values 1 and 2: the third would name 3, above Max.
        {"Long Choice", "  2 : Protocol 1.0\n", {"3", "1"}, "2", "change Long Choice to Protocol 1.0",
         "2.0 1 WRITE 2A 00 02"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.item);
        const qsizetype before = writes().size();
        const QByteArray answers = c.refused.join('\n') + "\n" + c.taken + "\n";
        const QString out = console(QByteArray("set 1 ") + c.item + "\n" + answers);
        const QString rule = QString(30, QLatin1Char('-')) + QLatin1Char('\n');
        EXPECT_TRUE(out.contains(rule + QString::fromUtf8(c.offered) + rule)) << out.toStdString();
        EXPECT_EQ(out.count(QStringLiteral("[Error] Invalid item index\n")), c.refused.size()) << out.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("[Success] ") + QString::fromUtf8(c.success) + QLatin1Char('\n')))
            << out.toStdString();
        EXPECT_EQ(writes().mid(before), QByteArrayList{c.written});
    }
}

} // namespace
