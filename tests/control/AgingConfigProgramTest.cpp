// The real program with a hostile aging/config.xml or description file in its
// working folder: both are read at every start, so whatever they hold,
// `--json -e close` ends within 5 s, in bounded memory, with a clear message
// and its record.
#include "tests/support/CaseTable.h"
#include "tests/support/ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

constexpr int kEndsWithinMs = 5000;
// What a refused file may add to the peak memory of a start without one: a
// start with a refused file costs no more than 50 MB above a plain start.
constexpr long kMemorySlackKiB = 50 * 1024;

const char kConfig[] = "aging/config.xml";
const char kDescription[] = "xml/model.xml";

struct HostileFile
{
    const char *what;
    const char *file; // kConfig or kDescription
    std::function<bool(const QString &path)> make;
    // Of config.xml, the line after its information line; of a description,
    // its warning on standard error after the file's path.
    QByteArray message;
};

void PrintTo(const HostileFile &c, std::ostream *os)
{
    *os << c.what;
}

std::function<bool(const QString &)> writing(const QByteArray &content)
{
    return [content](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    };
}

// The peak resident memory of the largest child waited for so far, in KiB.
long childrenPeakKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

struct ProgramRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// `zephlet-cli --json -e close` in `folder`, killed after kEndsWithinMs.
ProgramRun closeIn(const QString &folder)
{
    const QString previous = QDir::currentPath();
    QDir::setCurrent(folder); // the child starts in it
    ChildProcess child(qEnvironmentVariable("ZEPHLET_CLI"), {"--json", "-e", "close"});
    QDir::setCurrent(previous);
    child.closeInput();
    ProgramRun run;
    run.exitCode = child.wait(kEndsWithinMs);
    run.out = child.out();
    run.err = child.err();
    return run;
}

// A document whose root holds `references` references to one entity of
// 4,000 characters, declared before it.
QByteArray entityBomb(const QByteArray &root, int references)
{
    return "<!DOCTYPE " + root + " [<!ENTITY e \"" + QByteArray(4000, 'x') + "\">]><" + root + " Name=\""
         + QByteArray("&e;").repeated(references) + "\"/>";
}

const QByteArray kCloseRecord = R"({"command":"close","data":{"port":"","was_open":false},"success":true})"
                                "\n";

class HostileFileAtStart : public ::testing::TestWithParam<HostileFile>
{
protected:
    static void SetUpTestSuite()
    {
        // The sanitizer of a test build keeps freed memory aside to catch late
        // uses, up to 256 MB, which would count as the program's: the children
        // keep none, so that their peak is the program's own.
        const QByteArray options = qgetenv("ASAN_OPTIONS");
        qputenv("ASAN_OPTIONS", options + (options.isEmpty() ? "" : ":") + "quarantine_size_mb=0");
        // A start with no such file, for the memory every start takes.
        QTemporaryDir empty;
        const ProgramRun plain = closeIn(empty.path());
        ASSERT_EQ(plain.exitCode, 0) << plain.out.toStdString();
        ASSERT_EQ(plain.out, kCloseRecord);
        ASSERT_EQ(plain.err, QByteArray());
        plainPeakKiB = childrenPeakKiB();
    }
    static inline long plainPeakKiB = 0;
};

} // namespace

TEST_P(HostileFileAtStart, EndsInTimeAndMemoryWithAMessage)
{
    const HostileFile &c = GetParam();
    QTemporaryDir folder;
    ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("aging")));
    ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("xml")));
    ASSERT_TRUE(c.make(folder.filePath(QLatin1String(c.file))));
    const ProgramRun run = closeIn(folder.path());
    ASSERT_NE(run.exitCode, -1) << "still running after " << kEndsWithinMs << " ms";
    EXPECT_EQ(run.exitCode, 0);
    const QByteArray shownPath = QDir(folder.path()).canonicalPath().toUtf8() + "/" + c.file;
    if (qstrcmp(c.file, kConfig) == 0) {
        EXPECT_EQ(run.out, "[INFO] Loading Config XML file: " + shownPath + "\n" + c.message + "\n" + kCloseRecord);
        EXPECT_EQ(run.err, QByteArray());
    } else {
        EXPECT_EQ(run.out, kCloseRecord);
        EXPECT_EQ(run.err, shownPath + " " + c.message + "\n");
    }
    EXPECT_LT(childrenPeakKiB(), plainPeakKiB + kMemorySlackKiB) << "KiB at the peak";
}

INSTANTIATE_TEST_SUITE_P(
    Files, HostileFileAtStart,
    ::testing::Values(
        // Opening a FIFO for reading waits for a writer: the start would never end.
        HostileFile{"a FIFO", kConfig,
                    [](const QString &path) { return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0; },
                    "[Error] Failed to load XML file: not a regular file"},
        HostileFile{"a link to a device without end", kConfig,
                    [](const QString &path) { return QFile::link(QStringLiteral("/dev/zero"), path); },
                    "[Error] Failed to load XML file: not a regular file"},
        HostileFile{"65 MB of elements", kConfig,
                    [](const QString &path) {
                        QFile file(path);
                        if (!file.open(QIODevice::WriteOnly) || file.write("<Config>") != 8)
                            return false;
                        const QByteArray megabyte = QByteArray("<a/>").repeated(250'000);
                        for (int i = 0; i < 65; ++i) {
                            if (file.write(megabyte) != megabyte.size())
                                return false;
                        }
                        return file.write("</Config>") == 9;
                    },
                    "[Error] Failed to load XML file: larger than 1048576 bytes"},
        HostileFile{"100,000 nested elements", kConfig,
                    writing("<Config>" + QByteArray("<a>").repeated(100'000) + QByteArray("</a>").repeated(100'000)
                            + "</Config>"),
                    "[Error] Failed to load XML file: elements nested deeper than 64 (line 1, column 200)"},
        HostileFile{"200,000 elements", kConfig,
                    writing("<Config>" + QByteArray("<a/>").repeated(200'000) + "</Config>"),
                    "[Error] Failed to load XML file: more than 50000 elements and attributes (line 1, column 200008)"},
        HostileFile{"an element with 60,000 attributes", kConfig,
                    [](const QString &path) {
                        QByteArray attributes;
                        for (int i = 0; i < 60'000; ++i)
                            attributes += " a" + QByteArray::number(i) + "=\"1\"";
                        return writing("<Config><X" + attributes + "/></Config>")(path);
                    },
                    "[Error] Failed to load XML file: an element with more than 1024 attributes (line 1, column 9)"},
        HostileFile{"20,000 write items for 253 servos", kConfig,
                    writing(R"(<Config><MultiAgingOption idCount="253"><WriteItems>)"
                            + QByteArray("<Item/>").repeated(20'000) + "</WriteItems></MultiAgingOption></Config>"),
                    "[Error] Failed to load XML file: 5060000 write values (items times idCount), more than 100000"},
        // One entity of 4,000 characters: 64 KB of references to it are 64 M
        // characters, near 1 MiB of them more than any memory.
        HostileFile{"config xml with an entity referred to 16,000 times", kConfig,
                    writing(entityBomb("Config", 16'000)),
                    "[Error] Failed to load XML file: an entity declaration (line 1, column 4034)"},
        HostileFile{"config xml of 1 MiB less an entity's worth, an entity referred to throughout", kConfig,
                    writing(entityBomb("Config", 348'000)),
                    "[Error] Failed to load XML file: an entity declaration (line 1, column 4034)"},
        HostileFile{"a description with an entity referred to 16,000 times", kDescription,
                    writing(entityBomb("Device", 16'000)), "refused: an entity declaration (line 1, column 4034)"},
        // Read whole, as descriptions were, it would cost its size and more.
        HostileFile{"a description of 256 MiB", kDescription,
                    [](const QString &path) {
                        QFile file(path);
                        return file.open(QIODevice::WriteOnly) && file.write("<Device ModelNumber=\"5\">") > 0
                            && file.resize(256 * 1024 * 1024);
                    },
                    "refused: larger than 1048576 bytes"}),
    CaseNamedByWhat());
