// The port list (numbers, titles, order) and the reading of the port answer of the multi-port scan.

#include "control/PortList.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

QStringList names(const QList<PortEntry> &entries)
{
    QStringList list;
    for (const PortEntry &entry : entries)
        list.append(entry.name);
    return list;
}

TEST(PortList, EntriesAreNumberedTitledAndSorted)
{
    const QList<PortEntry> entries = portEntries({{"COM10", ""},
                                                  {"COM9", "USB Serial"},
                                                  {"console", "no digit"},
                                                  {"", "nameless"},
                                                  {"ttyUSB3x", ""},
                                                  {QStringLiteral("COM\u0663"), ""}});
    ASSERT_EQ(entries.size(), 4);
    // "3x" and a non-ASCII digit are no whole decimal number: 0, first.
    EXPECT_EQ(entries.at(0).number, 0);
    EXPECT_EQ(entries.at(1).number, 0);
    EXPECT_EQ(entries.at(2).name, QStringLiteral("COM9"));
    EXPECT_EQ(entries.at(2).number, 9);
    EXPECT_EQ(entries.at(2).title, QStringLiteral("COM9 (USB Serial)"));
    EXPECT_EQ(entries.at(3).name, QStringLiteral("COM10"));
    EXPECT_EQ(entries.at(3).title, QStringLiteral("COM10"));
}

TEST(PortList, AnswersSelectPortsAndWarnAboutTheRest)
{
    const QList<PortEntry> ports = portEntries({{"COM1", ""}, {"COM2", ""}, {"COM3", ""}});
    struct Case
    {
        const char *answer;
        QStringList selected;
        const char *warnings;
    };
    const Case cases[] = {
        {"0,5", {"COM1", "COM2", "COM3"}, ""},
        {"2,0", {"COM1", "COM2", "COM3"}, ""},
        {"2,2", {"COM2", "COM2"}, ""},
        {" 3 ,,1", {"COM3", "COM1"}, ""},
        {"x", {}, "[WARN] Invalid input: x\n"},
        {"4,-1,1", {"COM1"}, "[WARN] Invalid port number: 4\n[WARN] Invalid port number: -1\n"},
        {"99999999999", {}, "[WARN] Invalid input: 99999999999\n"},
        {"", {}, ""},
    };
    for (const Case &c : cases) {
        OutputCapture output;
        EXPECT_EQ(names(selectPorts(QString::fromUtf8(c.answer), ports)), c.selected) << c.answer;
        EXPECT_EQ(output.take(), QByteArray(c.warnings)) << c.answer;
    }
}

} // namespace
