// The CSV graph log over a synthetic stream of multi-graph reads (its header
// and rows byte for byte, with and without the device's tick), the refusals
// of its start, and multi-aging with the multi-graph and the log started
// through QvxControl on the simulated bus.
#include "ControlOnBus.h"

#include "comm/CommResult.h"
#include "comm/QvxPort.h"
#include "control/MultiAgingFeatures.h"
#include "device/QvxControlItem.h"
#include "tests/support/CaseTable.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <ostream>

namespace {

QvxControlItem makeItem(const QString &name, quint16 address, quint16 length, quint32 sign = 0,
                        const QString &max = QString())
{
    QvxControlItem item;
    item.name = name;
    item.address = address;
    item.length = length;
    item.sign = sign;
    item.max = max;
    return item;
}

QByteArray le(qint64 value, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
    return out;
}

qvx::MultiGraphReadResult reply(int id, int address, const QByteArray &data)
{
    return {uchar(id), ushort(address), ushort(data.size()), data, 0};
}

// The log of a feature set whose slots the test builds itself; nothing of it touches a bus.
struct LogOnly
{
    QTemporaryDir dir;
    QvxPort transport{false};
    MultiAgingFeatures features{transport, [](uchar) { return std::nullopt; }};
    std::deque<QvxControlItem> items; // the slots point at these

    LogOnly() { features.folder = dir.path(); }

    void addSlot(int id, const QvxControlItem &item, const QString &color, int yAxis,
                 const QString &modelName = QStringLiteral("AR-240"))
    {
        items.push_back(item);
        features.graphSlots.append({&items.back(), color, yAxis, id, modelName, 1020, 53, item.name});
    }

    QString fileText() const
    {
        const QStringList files = QDir(dir.path()).entryList({QStringLiteral("*.csv")}, QDir::Files);
        if (files.size() != 1)
            return QStringLiteral("<%1 files>").arg(files.size());
        QFile file(dir.filePath(files.first()));
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("<unreadable>");
        return QString::fromUtf8(file.readAll());
    }

    QString fileName() const { return QDir(dir.path()).entryList({QStringLiteral("*.csv")}, QDir::Files).value(0); }
};

// The records of `text` as an RFC 4180 reader takes them, a line ending in
// CR LF or LF; nothing when the text breaks the format: a quote inside a field
// that does not begin with one, text after a closing quote, a carriage return
// alone outside quotes, or a quote left open.
std::optional<QList<QStringList>> readCsv(const QString &text)
{
    QList<QStringList> records;
    QStringList record;
    QString field;
    bool inQuotes = false;
    bool closed = false; // the field was quoted and its quotes are closed
    const auto at = [&text](qsizetype i) { return i < text.size() ? text.at(i) : QChar(); };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (inQuotes) {
            if (c != QLatin1Char('"')) {
                field += c;
            } else if (at(i + 1) == QLatin1Char('"')) {
                field += text.at(++i);
            } else {
                inQuotes = false;
                closed = true;
            }
        } else if (c == QLatin1Char(',') || c == QLatin1Char('\n')
                   || (c == QLatin1Char('\r') && at(i + 1) == QLatin1Char('\n'))) {
            record << field;
            field.clear();
            closed = false;
            if (c == QLatin1Char(','))
                continue;
            i += c == QLatin1Char('\r') ? 1 : 0;
            records << record;
            record.clear();
        } else if (closed || c == QLatin1Char('\r') || (c == QLatin1Char('"') && !field.isEmpty())) {
            return std::nullopt;
        } else if (c == QLatin1Char('"')) {
            inQuotes = true;
        } else {
            field += c;
        }
    }
    if (inQuotes)
        return std::nullopt;
    if (!field.isEmpty() || closed || !record.isEmpty())
        records << (record << field);
    return records;
}

} // namespace

TEST(GraphLog, RowsOfASampleStreamTimedByTheReads)
{
    LogOnly log;
    log.addSlot(1, makeItem(QStringLiteral("Present Position"), 132, 4, 2147483648u), QStringLiteral("ff0000"), 1);
    log.addSlot(2, makeItem(QStringLiteral("Present Current"), 126, 2, 32768), QStringLiteral("00ff00"), 2);
    log.features.config.loggingInterval = 100000;
    OutputCapture out;
    ASSERT_TRUE(log.features.startLogging());
    EXPECT_TRUE(log.features.loggingTimer->isActive());
    EXPECT_EQ(log.features.loggingTimer->interval(), 100000);
    MultiAgingFeatures &f = log.features;

    f.onLoggingTimer(); // no sample yet: no row
    f.onMultiGraphReadCompleted(0, {reply(2, 126, le(-5, 2)), reply(1, 132, le(100, 4))}, 1000);
    f.onMultiGraphReadCompleted(0, {reply(1, 132, le(300, 4)), reply(2, 126, le(7, 2))}, 1010);
    f.onLoggingTimer();
    f.onLoggingTimer(); // nothing new: no row, never a sentinel
    f.onMultiGraphReadCompleted(COMM_RX_TIMEOUT, {reply(1, 132, le(9, 4))}, 1020); // a failed read adds nothing
    f.onLoggingTimer();
    f.onMultiGraphReadCompleted(0, {reply(1, 130, le(0, 2) + le(-2, 4))}, 1025); // servo 2 missing: no value
    f.onLoggingTimer();
    f.stopLogging();
    f.logging.log(QStringLiteral("stray")); // after the stop: not written
    EXPECT_FALSE(f.loggingTimer->isActive());
    EXPECT_EQ(log.fileText(),
              "Quorvex Graph,3\n"
              "ItemCount,2\n"
              "1,1020,AR-240,Present Position,ff0000,1\n"
              "2,1020,AR-240,Present Current,00ff00,2\n"
              "Time[ms],[1]Present Position,[2]Present Current,"
              "[1]Present Position(min),[1]Present Position(max),[1]Present Position(avg),"
              "[2]Present Current(min),[2]Present Current(max),[2]Present Current(avg)\n"
              "10,300,7,100,300,200,-5,7,1\n"
              "25,-2,,-2,-2,-2,,,\n");
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{8}_\\d{6}_\\[1,2\\]AR-240_log\\.csv$"))
                    .match(log.fileName())
                    .hasMatch())
        << log.fileName().toStdString();
    EXPECT_EQ(QString::fromUtf8(out.take()),
              QStringLiteral("[INFO] Logging : %1/%2\nLogging started, interval: 100000[ms]\n")
                  .arg(log.dir.path(), log.fileName()));
    // Only the latest sample is kept, however long the run.
    EXPECT_EQ(f.samplesStored, 3u);
    ASSERT_TRUE(f.latestSample.has_value());
    EXPECT_EQ(f.latestSample->time, 25);
}

TEST(GraphLog, TheDeviceTickTimesTheRowsAndHasNoStatistics)
{
    LogOnly log;
    log.addSlot(1, makeItem(QStringLiteral("Realtime Tick"), 120, 2, 0, QStringLiteral("32767")), QString(), 0);
    log.addSlot(1, makeItem(QStringLiteral("Present Position"), 132, 4, 2147483648u), QStringLiteral("ff0000"), 1);
    // A graph item that names the tick itself, with no servo: named by the
    // item alone, and no read brings it a value.
    log.addSlot(-1, makeItem(QStringLiteral("Realtime Tick"), 120, 2), QStringLiteral("0000ff"), 2);
    MultiAgingFeatures &f = log.features;
    f.useRealtimeTick = true;
    f.tickWrap = 32767;
    f.config.loggingInterval = 100000;
    OutputCapture out;
    ASSERT_TRUE(f.startLogging());
    const auto read = [&](int tick, int position, qlonglong at) {
        f.onMultiGraphReadCompleted(0, {reply(1, 120, le(tick, 2) + QByteArray(10, '\0') + le(position, 4))}, at);
    };
    read(32760, 100, 5000); // the first sample is time 0
    f.onLoggingTimer();
    read(5, 200, 9999);  // the tick wrapped: 5 - 32760 + 32767 = 12 ms later
    read(30, 250, 9999); // 25 ms more
    f.onLoggingTimer();
    f.stopLogging();
    EXPECT_EQ(log.fileText(),
              "Quorvex Graph,3\n"
              "ItemCount,3\n"
              "1,1020,AR-240,Realtime Tick,,0\n"
              "1,1020,AR-240,Present Position,ff0000,1\n"
              "-1,1020,AR-240,Realtime Tick,0000ff,2\n"
              "Time[ms],[1]Realtime Tick,[1]Present Position,Realtime Tick,"
              "[1]Present Position(min),[1]Present Position(max),[1]Present Position(avg)\n"
              "0,32760,100,,100,100,100\n"
              "37,30,250,,200,250,225\n");
    EXPECT_EQ(f.elapsedTicks, 37);
}

// A value the servo refused, or whose bytes its reply did not carry, is a
// missing sample: an empty cell, left out of the statistics.
TEST(GraphLog, ARefusedOrShortReadIsAMissingSampleNotAZero)
{
    LogOnly log;
    log.addSlot(1, makeItem(QStringLiteral("Present Position"), 132, 4, 2147483648u), QStringLiteral("ff0000"), 1);
    log.addSlot(2, makeItem(QStringLiteral("Present Current"), 126, 2, 32768), QStringLiteral("00ff00"), 2);
    MultiAgingFeatures &f = log.features;
    f.config.loggingInterval = 100000;
    OutputCapture out;
    ASSERT_TRUE(f.startLogging());
    const qvx::MultiGraphReadResult refused{1, 132, 4, QByteArray(), 0x07}; // error 7, no data
    f.onMultiGraphReadCompleted(0, {reply(1, 132, le(100, 4)), reply(2, 126, le(5, 2))}, 1000);
    f.onMultiGraphReadCompleted(0, {refused, reply(2, 126, le(7, 2))}, 1010);
    f.onMultiGraphReadCompleted(0, {reply(1, 132, le(300, 4)), reply(2, 126, le(9, 1))}, 1020); // one byte of two
    f.onLoggingTimer();
    f.onMultiGraphReadCompleted(0, {refused, reply(2, 120, le(1, 2))}, 1030); // the item lies beyond the reply
    f.onLoggingTimer();
    f.stopLogging();
    const QStringList rows = log.fileText().split('\n').mid(5);
    EXPECT_EQ(rows, (QStringList{"20,300,,100,300,200,5,7,6", "30,,,,,,,,", ""}));
}

namespace {

struct UserText
{
    const char *what;
    QString name;
    QString color;
    // The two as the slot's line in the header has them.
    QString nameWritten;
    QString colorWritten;
};

void PrintTo(const UserText &c, std::ostream *os)
{
    *os << c.what;
}

class GraphLogText : public ::testing::TestWithParam<UserText>
{
};

} // namespace

// A colour or item name is written as its user gave it, yet stays one field:
// an RFC 4180 reader gets back every header line, the column names and the row.
TEST_P(GraphLogText, ReadsBackAsOneFieldWhateverItHolds)
{
    const UserText &c = GetParam();
    LogOnly log;
    log.addSlot(1, makeItem(c.name, 126, 2), c.color, 1);
    MultiAgingFeatures &f = log.features;
    f.config.loggingInterval = 100000;
    OutputCapture out;
    ASSERT_TRUE(f.startLogging());
    f.onMultiGraphReadCompleted(0, {reply(1, 126, le(5, 2))}, 1000);
    f.onLoggingTimer();
    f.stopLogging();

    const QString text = log.fileText();
    const QString slotLine = QStringLiteral("1,1020,AR-240,%1,%2,1").arg(c.nameWritten, c.colorWritten);
    EXPECT_EQ(text.section(QLatin1Char('\n'), 0, 2 + slotLine.count(QLatin1Char('\n'))),
              QStringLiteral("Quorvex Graph,3\nItemCount,1\n") + slotLine);
    const std::optional<QList<QStringList>> records = readCsv(text);
    ASSERT_TRUE(records.has_value()) << text.toStdString();
    const QString column = QStringLiteral("[1]") + c.name;
    EXPECT_EQ(*records, (QList<QStringList>{
                            {QStringLiteral("Quorvex Graph"), QStringLiteral("3")},
                            {QStringLiteral("ItemCount"), QStringLiteral("1")},
                            {QStringLiteral("1"), QStringLiteral("1020"), QStringLiteral("AR-240"), c.name, c.color,
                             QStringLiteral("1")},
                            {QStringLiteral("Time[ms]"), column, column + QStringLiteral("(min)"),
                             column + QStringLiteral("(max)"), column + QStringLiteral("(avg)")},
                            {QStringLiteral("0"), QStringLiteral("5"), QStringLiteral("5"), QStringLiteral("5"),
                             QStringLiteral("5")},
                        }))
        << text.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Fields, GraphLogText,
    ::testing::Values(
        UserText{"plain texts stay as they are", QStringLiteral("Present Current"), QStringLiteral("00ff00"),
                 QStringLiteral("Present Current"), QStringLiteral("00ff00")},
        UserText{"a colour beginning with a quote", QStringLiteral("Present Current"), QStringLiteral("\"red"),
                 QStringLiteral("Present Current"), QStringLiteral("\"\"\"red\"")},
        UserText{"a colour with a comma", QStringLiteral("Present Current"), QStringLiteral("red,green"),
                 QStringLiteral("Present Current"), QStringLiteral("\"red,green\"")},
        UserText{"a colour with a line break and a header after it", QStringLiteral("Present Current"),
                 QStringLiteral("red\nTime[ms],x"), QStringLiteral("Present Current"),
                 QStringLiteral("\"red\nTime[ms],x\"")},
        UserText{"a colour with a carriage return", QStringLiteral("Present Current"), QStringLiteral("red\r"),
                 QStringLiteral("Present Current"), QStringLiteral("\"red\r\"")},
        UserText{"an item name with quotes", QStringLiteral("Goal \"A\""), QStringLiteral("00ff00"),
                 QStringLiteral("\"Goal \"\"A\"\"\""), QStringLiteral("00ff00")},
        UserText{"an item name with a comma", QStringLiteral("Goal, Present"), QStringLiteral("00ff00"),
                 QStringLiteral("\"Goal, Present\""), QStringLiteral("00ff00")},
        UserText{"an item name with a line break", QStringLiteral("Goal\r\nPresent"), QStringLiteral("00ff00"),
                 QStringLiteral("\"Goal\r\nPresent\""), QStringLiteral("00ff00")},
        UserText{"both with all of them", QStringLiteral("\"a,\nb\""), QStringLiteral(",\"\r\n"),
                 QStringLiteral("\"\"\"a,\nb\"\"\""), QStringLiteral("\",\"\"\r\n\"")}),
    CaseNamedByWhat());

// The model name in the log's file name comes from a description file: the
// log lands in its folder under one name, whatever the name holds, and the
// header keeps the name as it was.
TEST(GraphLog, TheModelNameStaysWithinTheLogsOwnName)
{
    const struct
    {
        const char *what;
        QString model;
        QString inFileName;
    } cases[] = {
        {"a plain name", QStringLiteral("AR-240"), QStringLiteral("AR-240")},
        {"a folder separator", QStringLiteral("AR/240"), QStringLiteral("AR_240")},
        {"a way out of the folder", QStringLiteral("/../../AR-240"), QStringLiteral("_.._.._AR-240")},
        {"a line break and a NUL", QStringLiteral("AR\n240") + QChar(u'\0'), QStringLiteral("AR_240_")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        LogOnly log;
        log.addSlot(1, makeItem(QStringLiteral("LED"), 65, 1), QStringLiteral("00ff00"), 1, c.model);
        log.features.config.loggingInterval = 100000;
        OutputCapture out;
        ASSERT_TRUE(log.features.startLogging()) << out.take().toStdString();
        log.features.stopLogging();
        EXPECT_EQ(QDir(log.dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), 1);
        const QString name = log.fileName();
        EXPECT_TRUE(name.endsWith(QStringLiteral("_[1]") + c.inFileName + QStringLiteral("_log.csv")))
            << name.toStdString();
        EXPECT_TRUE(log.fileText().contains(QStringLiteral(",1020,")));
    }
}

TEST(GraphLog, StartsWithoutSlotsOrWithoutAFileAreRefused)
{
    LogOnly log;
    OutputCapture out;
    EXPECT_FALSE(log.features.startLogging());
    EXPECT_EQ(QString::fromUtf8(out.take()), QStringLiteral("[Error] No graph items\n"));
    EXPECT_FALSE(log.features.loggingTimer->isActive());

    log.addSlot(3, makeItem(QStringLiteral("LED"), 65, 1), QString(), 0);
    log.features.folder = log.dir.filePath(QStringLiteral("no-such-folder"));
    EXPECT_FALSE(log.features.startLogging());
    const QString text = QString::fromUtf8(out.take());
    const QString path = log.features.folder + QLatin1Char('/');
    EXPECT_TRUE(text.startsWith(QStringLiteral("[INFO] Logging : ") + path)) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("\n[Error] Failed to open log file: ") + path)) << text.toStdString();
    EXPECT_FALSE(log.features.loggingTimer->isActive());
    log.features.onMultiGraphReadCompleted(0, {reply(3, 65, le(1, 1))}, 1);
    log.features.onLoggingTimer(); // nowhere to write: nothing happens
    EXPECT_FALSE(QDir(log.features.folder).exists());
}

namespace control_test {

// Multi-aging through QvxControl: an AR-240 at ID 2 beside the TS-100 at ID 1.
class MultiAgingOnBus : public ControlOnBus
{
protected:
    void SetUp() override
    {
        ControlOnBus::SetUp();
        QString error;
        const std::optional<sim::Device> ar240 = sim::builtInDevice(1020, 2, 53, &error);
        ASSERT_TRUE(ar240) << error.toStdString();
        bus_.addDevice(*ar240);
        ASSERT_TRUE(QDir::current().mkdir(QStringLiteral("aging")));
    }
    void TearDown() override { control_->multiAging().stopMultiAging(); }

    MultiAgingFeatures &features() { return control_->multiAging(); }
    // The log file (the one in the "aging" folder).
    static QString logPath()
    {
        const QStringList files = QDir(QStringLiteral("aging")).entryList({QStringLiteral("*.csv")}, QDir::Files);
        return files.size() == 1 ? QDir(QStringLiteral("aging")).absoluteFilePath(files.first()) : QString();
    }
};

TEST_F(MultiAgingOnBus, StartsTheAgingTheGraphAndTheLog)
{
    AgingConfig &config = features().config;
    config.multiAgingOption.ids = {2};
    config.multiAgingOption.writeItems = {{0, 0, {2048}}};
    config.loggingInterval = 40;
    for (int i = 0; i < 32; ++i)
        config.graphItems.append({QStringLiteral("ff0000"), 2, QStringLiteral("Present Position"), 1});
    config.graphItems.append({QString(), 2, QStringLiteral("No Such Item"), 1});
    features().startMultiAging();
    EXPECT_EQ(control_->transport()->agingMode, 2);
    EXPECT_TRUE(control_->transport()->multiGraphTimer->isActive());
    EXPECT_EQ(control_->transport()->multiGraphTimer->interval(), 10);
    ASSERT_EQ(features().graphSlots.size(), MultiAgingFeatures::kMaxSlots);
    EXPECT_EQ(features().graphSlots.first().itemName, QStringLiteral("Realtime Tick"));
    EXPECT_EQ(features().tickWrap, 32767);
    // One range covers the tick (120) and the position (132..135).
    ASSERT_EQ(features().multiGraphParams.size(), 1);
    EXPECT_EQ(features().multiGraphParams[2].startAddress, 120);
    EXPECT_EQ(features().multiGraphParams[2].length, 16);

    const QString text = out();
    const QString identity = QStringLiteral("[ID:002] AR-240, v53\n");
    EXPECT_TRUE(text.startsWith(QStringLiteral("Creating multi-aging data...\n") + identity
                                + QStringLiteral("Multi-aging started, mode: Position, interval: 20[ms]\n"
                                                 "Creating multi-graph data...\n")
                                + identity + QStringLiteral("Realtime Tick detected.\n")))
        << text.toStdString();
    EXPECT_EQ(text.count(QStringLiteral("[WARN] At most 31 graph items are sampled: Present Position of ID 2 skipped\n")),
              2);
    EXPECT_TRUE(text.contains(QStringLiteral("Multi-graph started, interval: 10[ms]\n[INFO] Logging : ")));
    EXPECT_TRUE(text.endsWith(QStringLiteral("Logging started, interval: 40[ms]\n"))) << text.toStdString();

    // The engines and the logging timer run on this thread's event loop.
    const QStringList files = QDir(QStringLiteral("aging")).entryList({QStringLiteral("*.csv")}, QDir::Files);
    ASSERT_EQ(files.size(), 1);
    QFile file(QStringLiteral("aging/") + files.first());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QList<QByteArray> lines;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            lines += file.readAll().split('\n');
            return lines.count() > 2 + 2 + 31 + 1;
        },
        20000));
    EXPECT_EQ(lines.at(1), QByteArray("ItemCount,31"));
    EXPECT_EQ(lines.at(2), QByteArray("2,1020,AR-240,Realtime Tick,,0"));
    const QList<QByteArray> header = lines.at(2 + 31).split(',');
    EXPECT_EQ(header.size(), 1 + 31 + 30 * 3);
    features().stopMultiAging();
    EXPECT_EQ(control_->transport()->agingMode, 0);
    EXPECT_FALSE(control_->transport()->multiGraphTimer->isActive());
    EXPECT_FALSE(features().loggingTimer->isActive());
    EXPECT_GE(bus_.receivedCount(0x92), 1); // BULK_READ
    EXPECT_GE(bus_.receivedCount(0x83), 1); // SYNC_WRITE
}

TEST_F(MultiAgingOnBus, ServoWithoutABusWatchdogPreWritesAddressZero)
{
    AgingConfig &config = features().config;
    config.multiAgingOption.mode = 1; // the TS-100's Present PWM and Goal PWM
    config.multiAgingOption.ids = {kDevice};
    config.multiAgingOption.writeItems = {{0, 0, {10}}};
    config.multiAgingOption.preWrite = true;
    config.multiAgingOption.preWriteValue = 40;
    features().startMultiAging();
    EXPECT_EQ(control_->transport()->agingMode, 2);
    QStringList writes;
    for (const sim::Instruction &i : bus_.received()) {
        if (i.name() == QStringLiteral("WRITE"))
            writes << QString::fromLatin1(i.params.toHex(' '));
    }
    EXPECT_EQ(writes, (QStringList{"00 00 00", "00 00 02"}));
    // No graph items: the log does not start.
    EXPECT_TRUE(out().endsWith(QStringLiteral("[Error] No graph items\n")));
    EXPECT_FALSE(features().loggingTimer->isActive());
}

TEST_F(MultiAgingOnBus, UnknownModeOrSilentServoEndsTheStart)
{
    struct Case
    {
        const char *name;
        int mode;
        int id;
        QString error;
    };
    const Case cases[] = {
        {"mode 4", 4, 2, "[Error] Present item not found\n"},
        {"no goal item", 0, int(kDevice), "[Error] Goal item not found\n"},
        {"silent servo", 0, 9, "[Error] ID 9 : "},
    };
    for (const Case &c : cases) {
        features().config.multiAgingOption.mode = c.mode;
        features().config.multiAgingOption.ids = {c.id};
        features().startMultiAging();
        EXPECT_EQ(control_->transport()->agingMode, 0) << c.name;
        const QString text = out();
        EXPECT_TRUE(text.contains(c.error)) << c.name << ": " << text.toStdString();
        EXPECT_FALSE(text.contains(QStringLiteral("Multi-aging started"))) << c.name;
    }
}

// A servo whose table ends before the graph's range refuses every read of it
// (error 7, no data): its cells stay empty, never a 0 the servo did not send.
TEST_F(MultiAgingOnBus, AServoRefusingTheReadGivesEmptyCellsOnTheBus)
{
    sim::Device shortTable = *bus_.device(kDevice);
    shortTable.table.truncate(120); // Present Position lies at 132
    bus_.addDevice(shortTable);
    AgingConfig &config = features().config;
    config.graphItems = {{QStringLiteral("ff0000"), kDevice, QStringLiteral("Present Position"), 1},
                         {QStringLiteral("00ff00"), 2, QStringLiteral("Present Position"), 1}};
    config.loggingInterval = 30;
    features().startMultiGraph();
    ASSERT_TRUE(features().startLogging());
    // Slots: the AR-240's tick, then the two positions; statistics for the positions.
    const QString path = logPath();
    QStringList rows;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QFile file(path);
            rows = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split('\n').mid(6)
                                                   : QStringList();
            return rows.size() > 3;
        },
        20000))
        << "rows written: " << rows.join('\n').toStdString();
    features().stopMultiAging();
    for (const QString &row : rows.mid(0, rows.size() - 1)) {
        const QStringList cells = row.split(',');
        ASSERT_EQ(cells.size(), 1 + 3 + 2 * 3) << row.toStdString();
        EXPECT_EQ(cells.mid(2, 1), QStringList{QString()}) << "[1]Present Position: " << row.toStdString();
        EXPECT_EQ(cells.mid(4, 3), QStringList(3, QString())) << "its statistics: " << row.toStdString();
        for (const int i : {1, 3, 7, 8, 9})
            EXPECT_FALSE(cells.at(i).isEmpty()) << "cell " << i << " of the answering servo: " << row.toStdString();
    }
}

// A failed write (here a file that may grow no further, as on a full disk)
// stops the log with the file and the system's reason; the file keeps whole rows.
TEST_F(MultiAgingOnBus, AFailedWriteStopsTheLogAndLeavesWholeRows)
{
    AgingConfig &config = features().config;
    config.graphItems = {{QStringLiteral("ff0000"), 2, QStringLiteral("Present Position"), 1}};
    config.loggingInterval = 20;
    features().startMultiGraph();
    ASSERT_TRUE(features().startLogging());
    const QString path = logPath();
    const qint64 header = QFileInfo(path).size();
    out();
    {
        // Room for a row and part of the next: rows are some 30 bytes.
        const FileSizeLimit full(static_cast<rlim_t>(header + 45));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !features().loggingTimer->isActive(); }, 20000))
            << "the log went on writing";
    }
    EXPECT_EQ(out(), QStringLiteral("[Error] Logging stopped: cannot write %1: File too large\n").arg(path));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.endsWith('\n')) << text.toStdString();
    const QList<QByteArray> lines = text.split('\n');
    const qsizetype columns = lines.at(3).count(',');
    ASSERT_GE(lines.size(), 6) << "a row before the disk was full";
    for (const QByteArray &row : lines.mid(4, lines.size() - 5))
        EXPECT_EQ(row.count(','), columns) << row.toStdString();
    EXPECT_TRUE(control_->transport()->multiGraphTimer->isActive()) << "only the log stopped";
}

namespace {

struct StartCase
{
    const char *what;
    std::function<void(AgingConfig &, sim::SimBus &, QvxControl &)> arrange;
    bool multiAging; // start multi-aging (which starts the rest), else the multi-graph and the log
    QString error;   // the one error line
    QStringList started; // the start lines, in order
};

void PrintTo(const StartCase &c, std::ostream *os)
{
    *os << c.what;
}

// Multi-aging of the AR-240 at ID 2, graphed by its position.
void agingOfServo2(AgingConfig &config, sim::SimBus &, QvxControl &)
{
    config.multiAgingOption.ids = {2};
    config.multiAgingOption.writeItems = {{0, 0, {2048}}};
    config.graphItems = {{QStringLiteral("ff0000"), 2, QStringLiteral("Present Position"), 1}};
    config.loggingInterval = 1000;
}

// The same, then `change` on its options.
std::function<void(AgingConfig &, sim::SimBus &, QvxControl &)> agingOfServo2With(
    std::function<void(AgingConfig &)> change)
{
    return [change](AgingConfig &config, sim::SimBus &bus, QvxControl &control) {
        agingOfServo2(config, bus, control);
        change(config);
    };
}

const QString kAgingStarted = QStringLiteral("Multi-aging started, mode: Position, interval: 20[ms]");
const QString kGraphStarted = QStringLiteral("Multi-graph started, interval: 10[ms]");
const QString kLogStarted = QStringLiteral("Logging started, interval: 1000[ms]");

} // namespace

class StartOutcome : public MultiAgingOnBus, public ::testing::WithParamInterface<StartCase>
{
};

// Each start line follows what the engine did; a start that did not happen
// says why, and what depends on it does not start either.
TEST_P(StartOutcome, StartLinesFollowTheEngines)
{
    const StartCase &c = GetParam();
    c.arrange(features().config, bus_, *control_);
    out();
    if (c.multiAging) {
        features().startMultiAging();
    } else {
        features().startMultiGraph();
        if (control_->transport()->multiGraphTimer->isActive())
            features().startLogging();
    }
    const QString text = out();
    QStringList started;
    QStringList errors;
    for (const QString &line : text.split('\n')) {
        if (line.contains(QStringLiteral(" started, ")))
            started << line;
        if (line.startsWith(QStringLiteral("[Error]")))
            errors << line;
    }
    EXPECT_EQ(started, c.started) << text.toStdString();
    EXPECT_EQ(errors, c.error.isEmpty() ? QStringList() : QStringList{c.error}) << text.toStdString();
    EXPECT_EQ(control_->transport()->agingMode == 2, c.started.contains(kAgingStarted));
    EXPECT_EQ(control_->transport()->multiGraphTimer->isActive(), c.started.contains(kGraphStarted));
    EXPECT_EQ(features().loggingTimer->isActive(), c.started.contains(kLogStarted));
}

INSTANTIATE_TEST_SUITE_P(
    Starts, StartOutcome,
    ::testing::Values(
        StartCase{"all three start", agingOfServo2, true, QString(), {kAgingStarted, kGraphStarted, kLogStarted}},
        StartCase{"a refused present-value read",
                  [](AgingConfig &config, sim::SimBus &bus, QvxControl &) {
                      sim::Device shortTable = *bus.device(1);
                      shortTable.table.truncate(90); // Present PWM lies at 100
                      bus.addDevice(shortTable);
                      config.multiAgingOption.mode = 1;
                      config.multiAgingOption.ids = {1};
                      config.multiAgingOption.writeItems = {{0, 0, {10}}};
                      config.graphItems = {{QStringLiteral("ff0000"), 2, QStringLiteral("Present Position"), 1}};
                  },
                  true, "[Error] Multi-aging not started: ID 1 refused the read of its present value (error 7)", {}},
        StartCase{"multi-aging interval 0", agingOfServo2With([](AgingConfig &c) {
                      c.multiAgingOption.interval = 0;
                      c.multiAgingOption.writeItems = {{100, 0, {2048}}};
                  }),
                  true, "[Error] Multi-aging not started: interval 0[ms] is not above 0", {}},
        StartCase{"a negative multi-aging interval", agingOfServo2With([](AgingConfig &c) { c.multiAgingOption.interval = -5; }),
                  true, "[Error] Multi-aging not started: interval -5[ms] is not above 0", {}},
        StartCase{"a profile of ten million steps", agingOfServo2With([](AgingConfig &c) {
                      c.multiAgingOption.interval = 1;
                      c.multiAgingOption.writeItems = {{10'000'000, 0, {2048}}};
                  }),
                  true, "[Error] Multi-aging not started: one cycle would take more than 100000 steps", {}},
        StartCase{"the longest play time", agingOfServo2With([](AgingConfig &c) {
                      c.multiAgingOption.interval = 1;
                      c.multiAgingOption.writeItems = {{2147483647, 0, {2048}}};
                  }),
                  true, "[Error] Multi-aging not started: one cycle would take more than 100000 steps", {}},
        StartCase{"another aging run in progress",
                  [](AgingConfig &config, sim::SimBus &bus, QvxControl &control) {
                      agingOfServo2(config, bus, control);
                      control.transport()->agingMode = 1; // plain aging runs
                  },
                  true, "[Error] Multi-aging not started: another aging run is in progress", {}},
        StartCase{"a negative multi-graph interval",
                  agingOfServo2With([](AgingConfig &c) { c.multiGraphInterval = static_cast<quint32>(-5); }), true,
                  "[Error] Multi-graph not started: interval -5[ms] is not above 0", {kAgingStarted}},
        StartCase{"multi-graph interval 0", agingOfServo2With([](AgingConfig &c) { c.multiGraphInterval = 0; }), false,
                  "[Error] Multi-graph not started: interval 0[ms] is not above 0", {}},
        StartCase{"logging interval 0", agingOfServo2With([](AgingConfig &c) { c.loggingInterval = 0; }), true,
                  "[Error] Logging not started: interval 0[ms] is not above 0", {kAgingStarted, kGraphStarted}},
        StartCase{"a negative logging interval", agingOfServo2With([](AgingConfig &c) { c.loggingInterval = -1; }), false,
                  "[Error] Logging not started: interval -1[ms] is not above 0", {kGraphStarted}},
        StartCase{"protocol 1.0 servos",
                  [](AgingConfig &config, sim::SimBus &bus, QvxControl &control) {
                      QString error;
                      bus.addDevice(*sim::builtInDevice(12, 3, 0, &error)); // CV-110, protocol 1.0
                      control.setProtocolVersion(QStringLiteral("1.0"));
                      config.multiAgingOption.ids = {3};
                      config.multiAgingOption.writeItems = {{0, 0, {512}}};
                      config.graphItems = {{QStringLiteral("ff0000"), 3, QStringLiteral("Present Position"), 1}};
                  },
                  true,
                  "[Error] Multi-graph not started: protocol 1.0 has no bulk read, so no sample could be taken",
                  {kAgingStarted}}),
    CaseNamedByWhat());

} // namespace control_test
