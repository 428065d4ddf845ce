// The real program with a hostile aging/config.xml in its working folder: the
// file is read at every start, so whatever it holds, `--json -e close` ends
// within 5 s, in bounded memory, with a clear message and its record.
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
// What a refused file may add to the peak memory of a start without one.
constexpr long kMemorySlackKiB = 64 * 1024;

struct HostileFile
{
    const char *what;
    std::function<bool(const QString &path)> make;
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
    return run;
}

const QByteArray kCloseRecord = R"({"command":"close","data":{"port":"","was_open":false},"success":true})"
                                "\n";

class HostileConfig : public ::testing::TestWithParam<HostileFile>
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
        plainPeakKiB = childrenPeakKiB();
    }
    static inline long plainPeakKiB = 0;
};

} // namespace

TEST_P(HostileConfig, EndsInTimeAndMemoryWithAMessage)
{
    const HostileFile &c = GetParam();
    QTemporaryDir folder;
    ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("aging")));
    const QString path = folder.filePath(QStringLiteral("aging/config.xml"));
    ASSERT_TRUE(c.make(path));
    const ProgramRun run = closeIn(folder.path());
    ASSERT_NE(run.exitCode, -1) << "still running after " << kEndsWithinMs << " ms";
    EXPECT_EQ(run.exitCode, 0);
    const QByteArray shownPath = QDir(folder.path()).canonicalPath().toUtf8() + "/aging/config.xml";
    EXPECT_EQ(run.out, "[INFO] Loading Config XML file: " + shownPath + "\n" + c.message + "\n" + kCloseRecord);
    EXPECT_LT(childrenPeakKiB(), plainPeakKiB + kMemorySlackKiB) << "KiB at the peak";
}

INSTANTIATE_TEST_SUITE_P(
    Files, HostileConfig,
    ::testing::Values(
        // Opening a FIFO for reading waits for a writer: the start would never end.
        HostileFile{"a FIFO",
                    [](const QString &path) { return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0; },
                    "[Error] Failed to load XML file: not a regular file"},
        HostileFile{"a link to a device without end",
                    [](const QString &path) { return QFile::link(QStringLiteral("/dev/zero"), path); },
                    "[Error] Failed to load XML file: not a regular file"},
        HostileFile{"65 MB of elements",
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
        HostileFile{"100,000 nested elements",
                    writing("<Config>" + QByteArray("<a>").repeated(100'000) + QByteArray("</a>").repeated(100'000)
                            + "</Config>"),
                    "[Error] Failed to load XML file: elements nested deeper than 64 (line 1, column 200)"},
        HostileFile{"200,000 elements", writing("<Config>" + QByteArray("<a/>").repeated(200'000) + "</Config>"),
                    "[Error] Failed to load XML file: more than 50000 elements and attributes (line 1, column 200008)"},
        HostileFile{"an element with 60,000 attributes",
                    [](const QString &path) {
                        QByteArray attributes;
                        for (int i = 0; i < 60'000; ++i)
                            attributes += " a" + QByteArray::number(i) + "=\"1\"";
                        return writing("<Config><X" + attributes + "/></Config>")(path);
                    },
                    "[Error] Failed to load XML file: an element with more than 1024 attributes (line 1, column 9)"},
        HostileFile{"20,000 write items for 253 servos",
                    writing(R"(<Config><MultiAgingOption idCount="253"><WriteItems>)"
                            + QByteArray("<Item/>").repeated(20'000) + "</WriteItems></MultiAgingOption></Config>"),
                    "[Error] Failed to load XML file: 5060000 write values (items times idCount), more than 100000"}),
    CaseNamedByWhat());
