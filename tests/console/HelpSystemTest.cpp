#include "ConsoleTexts.h"

#include "console/app/HelpSystem.h"
#include "device/ConsoleConstants.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

QByteArray helpFor(const QString &name)
{
    OutputCapture output;
    HelpSystem().showHelp(name);
    return output.take();
}

TEST(HelpSystem, SummaryListsNineteenCommandsInItsOwnOrder)
{
    EXPECT_EQ(helpFor(QString()), kHelpSummary);
}

TEST(HelpSystem, EveryCommandButHelpAndStatusHasAPageNamedForIt)
{
    for (const QString &name : kCommandNames) {
        const QByteArray page = helpFor(name);
        if (name == QLatin1String("help") || name == QLatin1String("status")) {
            EXPECT_EQ(page, "[Error] " + name.toUtf8() + " is unknown command.\n");
            continue;
        }
        const QByteArrayList lines = page.split('\n');
        ASSERT_GE(lines.size(), 3) << name.toStdString();
        EXPECT_TRUE(lines.at(0).startsWith(name.toUtf8() + " : ")) << page.toStdString();
        EXPECT_TRUE(lines.at(1).startsWith("use) " + name.toUtf8())) << page.toStdString();
        EXPECT_TRUE(page.endsWith('\n') && !page.endsWith("\n\n")) << page.toStdString();
    }
}

TEST(HelpSystem, PagesReadExactlyAsWritten)
{
    struct Case
    {
        const char *name;
        QByteArray page;
    };
    const QList<Case> cases = {
        {"exit", "exit : Quit the program.\nuse) exit\n"},
        {"get",
         "get : Get a value from Control Table.\n"
         "use) get [id] <item name> [-c|--continuous]\n"
         "  [id] : optional - Device ID (uses last ID if omitted)\n"
         "  <item name> : required - Control table item name\n"
         "  [-c|--continuous] : optional - Continuous mode (updates value continuously)\n"
         "ex1) get 1 Torque Enable\n"
         "ex2) get Present Position\n"
         "ex3) get 1 Present Position -c (continuous mode)\n"
         "ex4) get -c Present Position (continuous mode with last ID)\n"
         "<info> Do not need to enter full name.\n"
         "  1) Type \"get 1 present\".\n"
         "  2) It will be shown a list of readable items.\n"},
        {"open",
         "open : Open a serial port.\n"
         "use) open [port name] [baudrate]\n"
         "  [port name] : optional - Serial port name (e.g., COM1, ttyUSB0)\n"
         "  [baudrate]  : optional - Baudrate in bps (e.g., 57600, 115200, 1000000)\n"
         "ex1) open                      - Interactive configuration\n"
         "ex2) open COM1                 - Interactive baudrate selection\n"
         "ex3) open COM1 57600           - Open with specified port and baudrate\n"
         "ex4) open ttyUSB0 115200       - Linux example\n"
         "Note: When parameters are omitted, interactive configuration will be used.\n"},
        {"clear",
         "clear : Initialize supported QUORVEX state.\n"
         "use) clear <id> <param>\n"
         "  <id> : required - Device ID\n"
         "  <param> : required - Clear parameter\n"
         "param) 1 : Reset the Present Position value to an absolute value within one rotation (0-4095)\n"
         "param) 2 : Clear any registered errors that have occurred.\n"
         "param) 10: Initialize the multi-turn encoder (supported models only).\n"
         "ex1) clear 1 1\n"
         "ex2) clear 1 2\n"
         "ex3) clear 1 10\n"},
        {"upgrade",
         "upgrade : Update Quorvex Zephlet CLI itself to the latest version.\n"
         "use) upgrade [-c|--check]\n"
         "  [-c|--check] : optional - Only check whether an update is available (no download).\n"
         "ex1) upgrade         - Download and install the latest version\n"
         "ex2) upgrade --check - Check for updates only\n"
         "  Downloads only the changed blocks (delta), overwrites the AppImage in place,\n"
         "  and removes the previous .zs-old backup after a successful update.\n"
         "  Available only on the Linux AppImage build. Restart after completion.\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(helpFor(QString::fromLatin1(c.name)), c.page) << c.name;
}

TEST(HelpSystem, TopicsAreCaseSensitive)
{
    const QList<QPair<QString, QByteArray>> cases = {
        {QStringLiteral("GET"), "[Error] GET is unknown command.\n"},
        {QStringLiteral("Exit"), "[Error] Exit is unknown command.\n"},
        {QStringLiteral("foo"), "[Error] foo is unknown command.\n"},
    };
    for (const auto &[name, expected] : cases)
        EXPECT_EQ(helpFor(name), expected);
}

} // namespace
