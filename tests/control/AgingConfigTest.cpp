// The config.xml options of multi-aging, the multi-graph and the log: every
// message, every value rule, and the load at each construction of QvxControl.
#include "control/AgingConfig.h"
#include "control/MultiAgingFeatures.h"
#include "control/QvxControl.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

namespace {

// A working folder with an "aging" folder, where config.xml is written.
struct ConfigFolder
{
    QTemporaryDir dir;
    ConfigFolder() { QDir(dir.path()).mkdir(QStringLiteral("aging")); }
    QString path() const { return AgingConfig::path(dir.path()); }
    void write(const QByteArray &content) const
    {
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
};

QString loadInto(AgingConfig &config, const QString &path)
{
    OutputCapture out;
    config.load(path);
    return QString::fromUtf8(out.take());
}

QList<int> writeValues(const AgingConfig &config, int item)
{
    return config.multiAgingOption.writeItems.value(item).values;
}

} // namespace

TEST(AgingConfig, DefaultsWithoutAFile)
{
    AgingConfig config;
    QTemporaryDir empty;
    EXPECT_EQ(loadInto(config, AgingConfig::path(empty.path())), QString()); // no "aging" folder: no word
    EXPECT_EQ(config.multiAgingOption.mode, 0);
    EXPECT_EQ(config.multiAgingOption.interval, 20);
    EXPECT_EQ(config.multiAgingOption.repeat, 0);
    EXPECT_EQ(config.multiAgingOption.idCount, 1);
    EXPECT_TRUE(config.multiAgingOption.ids.isEmpty());
    EXPECT_TRUE(config.multiAgingOption.writeItems.isEmpty());
    EXPECT_FALSE(config.multiAgingOption.preWrite);
    EXPECT_TRUE(config.graphItems.isEmpty());
    EXPECT_EQ(config.multiGraphInterval, 10u);
    EXPECT_EQ(config.loggingInterval, 1000);
}

TEST(AgingConfig, FilesThatCannotBeUsedAreReportedAndChangeNothing)
{
    const auto write = [](const QByteArray &content) {
        return [content](const QString &path) {
            QFile file(path);
            return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
        };
    };
    QByteArray attributes;
    for (int i = 0; i <= AgingConfig::kMaxAttributes; ++i)
        attributes += QByteArray(" a") + QByteArray::number(i) + "=\"=\"";
    struct Case
    {
        const char *name;
        std::function<bool(const QString &)> make;
        QString error;
    };
    const Case cases[] = {
        {"a folder", [](const QString &path) { return QDir().mkpath(path); },
         "[Error] Failed to load XML file: not a regular file\n"},
        // Opening a FIFO for reading would wait for a writer.
        {"a FIFO", [](const QString &path) { return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0; },
         "[Error] Failed to load XML file: not a regular file\n"},
        {"a link to a device", [](const QString &path) { return QFile::link(QStringLiteral("/dev/zero"), path); },
         "[Error] Failed to load XML file: not a regular file\n"},
        {"one byte over the size bound",
         write("<Config>" + QByteArray(AgingConfig::kMaxFileBytes - 17, ' ') + "</Config>\n"),
         "[Error] Failed to load XML file: larger than 1048576 bytes\n"},
        {"nested too deep",
         write("<Config>\n" + QByteArray("<a>").repeated(AgingConfig::kMaxDepth) + QByteArray("</a>").repeated(64)
               + "</Config>"),
         "[Error] Failed to load XML file: elements nested deeper than 64 (line 2, column 192)\n"},
        {"too many elements", write("<Config>" + QByteArray("<a/>").repeated(AgingConfig::kMaxNodes) + "</Config>"),
         "[Error] Failed to load XML file: more than 50000 elements and attributes (line 1, column 200008)\n"},
        {"too many attributes on an element", write("<Config>\n<!-- a=b > --><X" + attributes + "/></Config>"),
         "[Error] Failed to load XML file: an element with more than 1024 attributes (line 2, column 15)\n"},
        {"too many write values",
         write(R"(<Config><MultiAgingOption idCount="250"><WriteItems>)" + QByteArray("<Item/>").repeated(401)
               + "</WriteItems></MultiAgingOption></Config>"),
         "[Error] Failed to load XML file: 100250 write values (items times idCount), more than 100000\n"},
        // Entities are refused before anything refers to them: the interval
        // the file sets through one stays at its default.
        {"an entity declaration",
         write(R"(<!DOCTYPE Config [<!ENTITY n "5">]><Config><LoggingOption><Graph interval="&n;"/></LoggingOption>)"
               "</Config>"),
         "[Error] Failed to load XML file: an entity declaration (line 1, column 35)\n"},
        {"a parameter entity",
         write(R"(<!DOCTYPE Config [<!ENTITY % p "x">]><Config><LoggingOption><Graph interval="5"/></LoggingOption>)"
               "</Config>"),
         "[Error] Failed to load XML file: an entity declaration (line 1, column 37)\n"},
        {"4,000 characters referred to 16,000 times",
         write("<!DOCTYPE Config [<!ENTITY e \"" + QByteArray(4000, 'x') + "\">]><Config a=\""
               + QByteArray("&e;").repeated(16'000)
               + "\"><LoggingOption><Graph interval=\"5\"/></LoggingOption></Config>"),
         "[Error] Failed to load XML file: an entity declaration (line 1, column 4034)\n"},
        {"empty file", write(""), "[Error] XML parsing failed - Line: 1, Column: 0, Error: "},
        {"text only", write("just text"), "[Error] XML parsing failed - Line: 1, Column: 1, Error: "},
        {"root named config", write("<config><LoggingOption><Graph interval=\"5\"/></LoggingOption></config>"),
         "[Error] root element not found\n"},
    };
    for (const Case &c : cases) {
        ConfigFolder folder;
        ASSERT_TRUE(c.make(folder.path())) << c.name;
        AgingConfig config;
        const QString out = loadInto(config, folder.path());
        const QString info = QStringLiteral("[INFO] Loading Config XML file: ") + folder.path() + "\n";
        ASSERT_TRUE(out.startsWith(info)) << c.name << ": " << out.toStdString();
        EXPECT_TRUE(out.mid(info.size()).startsWith(c.error)) << c.name << ": " << out.toStdString();
        EXPECT_EQ(out.count('\n'), 2) << c.name;
        EXPECT_EQ(config.loggingInterval, 1000) << c.name;
        EXPECT_TRUE(config.multiAgingOption.writeItems.isEmpty()) << c.name;
    }
}

// Files at the bounds are read whole.
TEST(AgingConfig, FilesAtTheBoundsAreRead)
{
    // 50,000 elements and attributes: four of the sections, two of each item.
    ConfigFolder nodes;
    nodes.write(R"(<Config><MultiAgingOption idCount="2"><WriteItems>)"
                + QByteArray("<Item value1=\"7\"/>").repeated(24'998) + "</WriteItems></MultiAgingOption></Config>");
    AgingConfig config;
    EXPECT_EQ(loadInto(config, nodes.path()), QStringLiteral("[INFO] Loading Config XML file: ") + nodes.path() + "\n");
    ASSERT_EQ(config.multiAgingOption.writeItems.size(), 24'998);
    EXPECT_EQ(writeValues(config, 24'997), (QList<int>{7, 0}));

    // 100,000 write values: 400 items for 250 servos.
    ConfigFolder values;
    values.write(R"(<Config><MultiAgingOption idCount="250"><WriteItems>)" + QByteArray("<Item/>").repeated(400)
                 + "</WriteItems></MultiAgingOption></Config>");
    EXPECT_EQ(loadInto(config, values.path()), QStringLiteral("[INFO] Loading Config XML file: ") + values.path() + "\n");
    ASSERT_EQ(config.multiAgingOption.writeItems.size(), 400);
    EXPECT_EQ(writeValues(config, 399).size(), 250);
}

// What stands for one character each is no entity of the file's own: read.
TEST(AgingConfig, PredefinedEntitiesAndCharacterReferencesAreRead)
{
    ConfigFolder folder;
    folder.write(R"(<!DOCTYPE Config><Config><MultiGraphOption><ReadItems>)"
                 R"(<Item color="&quot;red&#10;" name="A&amp;B, &lt;C&gt;"/></ReadItems></MultiGraphOption></Config>)");
    AgingConfig config;
    EXPECT_EQ(loadInto(config, folder.path()),
              QStringLiteral("[INFO] Loading Config XML file: ") + folder.path() + "\n");
    ASSERT_EQ(config.graphItems.size(), 1);
    EXPECT_EQ(config.graphItems[0].color, QStringLiteral("\"red\n"));
    EXPECT_EQ(config.graphItems[0].name, QStringLiteral("A&B, <C>"));
}

TEST(AgingConfig, ParseErrorGivesTheParsersLineAndColumn)
{
    ConfigFolder folder;
    folder.write("<Config>\n  <MultiAgingOption>\n</Config>\n");
    AgingConfig config;
    const QString out = loadInto(config, folder.path());
    EXPECT_TRUE(out.contains(QStringLiteral("[Error] XML parsing failed - Line: 3, Column: "))) << out.toStdString();
    EXPECT_FALSE(out.endsWith(QStringLiteral("Error: \n")));
}

TEST(AgingConfig, ValuesOfAFullFile)
{
    ConfigFolder folder;
    folder.write(R"(<?xml version="1.0" encoding="UTF-8"?>
<Config>
  <LoggingOption><Graph interval="250"/></LoggingOption>
  <MultiAgingOption mode="2" interval="40" repeat="7" idCount="3">
    <IdItems value1="5" value3="9"/>
    <WriteItems>
      <Item playTime="100" delayTime="60" value1="1" value2="2" value3="3"/>
      <Group><Item playTime="x" value2="-4" value4="99"/></Group>
    </WriteItems>
  </MultiAgingOption>
  <MultiGraphOption>
    <ReadItems interval="abc">
      <Item color="ff0000" id="3" name="Present Position" yAxis="1"/>
      <Item name="Present Current" yAxis="x"/>
    </ReadItems>
  </MultiGraphOption>
</Config>
)");
    AgingConfig config;
    EXPECT_EQ(loadInto(config, folder.path()), QStringLiteral("[INFO] Loading Config XML file: ") + folder.path() + "\n");
    const qvx::MultiAgingOption &o = config.multiAgingOption;
    EXPECT_EQ(o.mode, 2);
    EXPECT_EQ(o.interval, 40);
    EXPECT_EQ(o.repeat, 7);
    EXPECT_EQ(o.idCount, 3);
    EXPECT_EQ(o.ids, (QList<int>{5, 0, 9}));
    ASSERT_EQ(o.writeItems.size(), 2); // the nested Item counts too
    EXPECT_EQ(o.writeItems[0].playTime, 100);
    EXPECT_EQ(o.writeItems[0].delayTime, 60);
    EXPECT_EQ(writeValues(config, 0), (QList<int>{1, 2, 3}));
    EXPECT_EQ(o.writeItems[1].playTime, 0);
    EXPECT_EQ(writeValues(config, 1), (QList<int>{0, -4, 0}));
    EXPECT_EQ(config.multiGraphInterval, 0u);
    ASSERT_EQ(config.graphItems.size(), 2);
    EXPECT_EQ(config.graphItems[0].color, QStringLiteral("ff0000"));
    EXPECT_EQ(config.graphItems[0].id, 3);
    EXPECT_EQ(config.graphItems[0].name, QStringLiteral("Present Position"));
    EXPECT_EQ(config.graphItems[0].yAxis, 1);
    EXPECT_EQ(config.graphItems[1].id, -1);
    EXPECT_EQ(config.graphItems[1].yAxis, 0);
    EXPECT_EQ(config.graphItems[1].color, QString());
    EXPECT_EQ(config.loggingInterval, 250);
}

TEST(AgingConfig, NumbersOutsideThirtyTwoBitsAndMissingSections)
{
    ConfigFolder folder;
    folder.write(R"(<Config><LoggingOption><Graph interval="-5"/></LoggingOption>
<MultiAgingOption interval="2147483648" repeat=" 12 " idCount="0"><IdItems value1="4"/></MultiAgingOption></Config>)");
    AgingConfig config;
    config.multiAgingOption.writeItems = {{1, 2, {3}}};
    loadInto(config, folder.path());
    EXPECT_EQ(config.multiAgingOption.interval, 0);
    EXPECT_EQ(config.multiAgingOption.idCount, 0);
    EXPECT_TRUE(config.multiAgingOption.ids.isEmpty());
    EXPECT_EQ(config.multiAgingOption.writeItems.size(), 1); // no WriteItems: the list stays
    EXPECT_EQ(config.loggingInterval, -5);                   // kept as written
    EXPECT_EQ(config.multiGraphInterval, 10u);
    EXPECT_TRUE(config.graphItems.isEmpty());
}

// A hostile or mistyped idCount must not make the start loop or allocate
// without end: it is cut to the 253 servo IDs.
TEST(AgingConfig, IdCountIsBoundedToTheServoIds)
{
    ConfigFolder folder;
    folder.write(R"(<Config><MultiAgingOption idCount="2000000000"><IdItems value1="1" value253="7" value254="8"/>
<WriteItems><Item value2="2"/></WriteItems></MultiAgingOption></Config>)");
    AgingConfig config;
    const QString out = loadInto(config, folder.path());
    EXPECT_TRUE(out.contains(QStringLiteral("[WARN] idCount 2000000000 is more than the 253 servo IDs; 253 are read\n")))
        << out.toStdString();
    EXPECT_EQ(config.multiAgingOption.idCount, 253);
    ASSERT_EQ(config.multiAgingOption.ids.size(), 253);
    EXPECT_EQ(config.multiAgingOption.ids.first(), 1);
    EXPECT_EQ(config.multiAgingOption.ids.last(), 7);
    EXPECT_EQ(writeValues(config, 0).size(), 253);
    EXPECT_EQ(writeValues(config, 0).at(1), 2);
}

TEST(AgingConfig, EveryQvxControlReadsTheFileOfItsWorkingFolder)
{
    ConfigFolder folder;
    folder.write(R"(<Config><MultiGraphOption><ReadItems interval="25"><Item id="2" name="LED"/></ReadItems>
</MultiGraphOption></Config>)");
    const QString previous = QDir::currentPath();
    QDir::setCurrent(folder.dir.path());
    OutputCapture out;
    {
        QvxControl control(nullptr);
        EXPECT_EQ(control.multiAging().config.multiGraphInterval, 25u);
        ASSERT_EQ(control.multiAging().config.graphItems.size(), 1);
        EXPECT_EQ(control.multiAging().folder, QDir::currentPath() + QStringLiteral("/aging"));
    }
    QDir::setCurrent(previous);
    EXPECT_EQ(QString::fromUtf8(out.take()),
              QStringLiteral("[INFO] Loading Config XML file: ") + QDir(folder.dir.path()).canonicalPath()
                  + QStringLiteral("/aging/config.xml\n"));
}
