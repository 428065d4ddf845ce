#include "console/app/HelpSystem.h"

#include "console/io/Console.h"

#include <QStringList>

namespace {

void printLines(const QStringList &lines)
{
    for (const QString &line : lines)
        Console::instance().printLine(line);
}

struct Topic
{
    const char *name;
    QStringList lines;
};

// In the order the pages are registered. "help" and "status" have no page.
const QList<Topic> &topics()
{
    static const QList<Topic> list = {
        {"port",
         {QStringLiteral("port : Prints a list of available serial ports on the system."),
          QStringLiteral("use) port")}},
        {"open",
         {QStringLiteral("open : Open a serial port."),
          QStringLiteral("use) open [port name] [baudrate]"),
          QStringLiteral("  [port name] : optional - Serial port name (e.g., COM1, ttyUSB0)"),
          QStringLiteral("  [baudrate]  : optional - Baudrate in bps (e.g., 57600, 115200, 1000000)"),
          QStringLiteral("ex1) open                      - Interactive configuration"),
          QStringLiteral("ex2) open COM1                 - Interactive baudrate selection"),
          QStringLiteral("ex3) open COM1 57600           - Open with specified port and baudrate"),
          QStringLiteral("ex4) open ttyUSB0 115200       - Linux example"),
          QStringLiteral("Note: When parameters are omitted, interactive configuration will be used.")}},
        {"close", {QStringLiteral("close : Close a serial port."), QStringLiteral("use) close")}},
        {"exit", {QStringLiteral("exit : Quit the program."), QStringLiteral("use) exit")}},
        {"ping",
         {QStringLiteral("ping : Check the existence of a Device and basic information."),
          QStringLiteral("use) ping [id]"),
          QStringLiteral("  [id] : optional - Device ID (uses last ID if omitted)"),
          QStringLiteral("ex1) ping 1"),
          QStringLiteral("ex2) ping (uses last ID)")}},
        {"scan",
         {QStringLiteral("scan : Search connected QUORVEXs."),
          QStringLiteral("use) scan or scan [range]"),
          QStringLiteral("  [range] : optional - ID range to scan (e.g., 0-10)"),
          QStringLiteral("ex1) scan"),
          QStringLiteral("ex2) scan 0-10")}},
        {"timeout",
         {QStringLiteral("timeout : Set additional time for Timeout."),
          QStringLiteral("use) timeout <time>"),
          QStringLiteral("  <time> : required - Additional timeout time in milliseconds"),
          QStringLiteral("ex1) timeout 100")}},
        {"protocol",
         {QStringLiteral("protocol : Set QUORVEX protocol version."),
          QStringLiteral("use) protocol [version]"),
          QStringLiteral("  [version] : optional - Protocol version (1.0 or 2.0)"),
          QStringLiteral("ex1) protocol          - Interactive selection"),
          QStringLiteral("ex2) protocol 1.0      - Set to Protocol 1.0"),
          QStringLiteral("ex3) protocol 2.0      - Set to Protocol 2.0")}},
        {"table",
         {QStringLiteral("table : Print the Control Table."),
          QStringLiteral("use) table [id] [range] [-p|--page]"),
          QStringLiteral("  [id] : optional - Device ID (uses last ID if omitted)"),
          QStringLiteral("  [range] : optional - Address range (format: start-end, e.g., 0-12)"),
          QStringLiteral("  [-p|--page] : optional - Paginated output (one page at a time)"),
          QStringLiteral("ex1) table 1"),
          QStringLiteral("ex2) table (uses last ID)"),
          QStringLiteral("ex3) table 1 0-12 (address range 0 to 12)"),
          QStringLiteral("ex4) table 0-12 (range with last ID)"),
          QStringLiteral("ex5) table 1 -p (paginated output)"),
          QStringLiteral("ex6) table -p (paginated output with last ID)")}},
        {"get",
         {QStringLiteral("get : Get a value from Control Table."),
          QStringLiteral("use) get [id] <item name> [-c|--continuous]"),
          QStringLiteral("  [id] : optional - Device ID (uses last ID if omitted)"),
          QStringLiteral("  <item name> : required - Control table item name"),
          QStringLiteral("  [-c|--continuous] : optional - Continuous mode (updates value continuously)"),
          QStringLiteral("ex1) get 1 Torque Enable"),
          QStringLiteral("ex2) get Present Position"),
          QStringLiteral("ex3) get 1 Present Position -c (continuous mode)"),
          QStringLiteral("ex4) get -c Present Position (continuous mode with last ID)"),
          QStringLiteral("<info> Do not need to enter full name."),
          QStringLiteral("  1) Type \"get 1 present\"."),
          QStringLiteral("  2) It will be shown a list of readable items.")}},
        {"set",
         {QStringLiteral("set : Set a value on the Control Table."),
          QStringLiteral("use) set [id] <item name> [data]"),
          QStringLiteral("  [id] : optional - Device ID (uses last ID if omitted)"),
          QStringLiteral("  <item name> : required - Control table item name"),
          QStringLiteral("  [data] : optional - Value to set (if omitted, interactive mode)"),
          QStringLiteral("ex1) set 1 Torque Enable 1"),
          QStringLiteral("ex2) set Goal Position 1024"),
          QStringLiteral("ex3) set 1 Goal Position (interactive mode)"),
          QStringLiteral("<info> Do not need to enter full name."),
          QStringLiteral("  1) Type \"set 1 goal\"."),
          QStringLiteral("  2) It will be shown a list of writable items."),
          QStringLiteral("  3) If data is omitted, interactive mode starts.")}},
        {"reset",
         {QStringLiteral("reset : Reset the Control Table to its initial factory default settings."),
          QStringLiteral("use) reset [id]"),
          QStringLiteral("  [id] : optional - Device ID (uses last ID if omitted)"),
          QStringLiteral("ex1) reset 1"),
          QStringLiteral("ex2) reset (uses last ID)"),
          QStringLiteral("Note: Protocol 2.0 keeps ID and baudrate; Protocol 1.0 resets them to defaults.")}},
        {"reboot",
         {QStringLiteral("reboot : Reboot the QUORVEX."),
          QStringLiteral("use) reboot [id]"),
          QStringLiteral("  [id] : optional - Device ID (uses last ID if omitted)"),
          QStringLiteral("ex1) reboot 1"),
          QStringLiteral("ex2) reboot (uses last ID)")}},
        {"clear",
         {QStringLiteral("clear : Initialize supported QUORVEX state."),
          QStringLiteral("use) clear <id> <param>"),
          QStringLiteral("  <id> : required - Device ID"),
          QStringLiteral("  <param> : required - Clear parameter"),
          QStringLiteral("param) 1 : Reset the Present Position value to an absolute value within one rotation (0-4095)"),
          QStringLiteral("param) 2 : Clear any registered errors that have occurred."),
          QStringLiteral("param) 10: Initialize the multi-turn encoder (supported models only)."),
          QStringLiteral("ex1) clear 1 1"),
          QStringLiteral("ex2) clear 1 2"),
          QStringLiteral("ex3) clear 1 10")}},
        {"update",
         {QStringLiteral("update : Update the QUORVEX."),
          QStringLiteral("use) update [id]"),
          QStringLiteral("  [id] : optional - Device ID (uses last ID if omitted)"),
          QStringLiteral("  Exits without prompting when the installed firmware is already up to date."),
          QStringLiteral("ex1) update 1"),
          QStringLiteral("ex2) update (uses last ID)")}},
        // The self-update this page describes is not done by this program: the
        // command only says where it is supported. The page stands as written.
        {"upgrade",
         {QStringLiteral("upgrade : Update Quorvex Zephlet CLI itself to the latest version."),
          QStringLiteral("use) upgrade [-c|--check]"),
          QStringLiteral("  [-c|--check] : optional - Only check whether an update is available (no download)."),
          QStringLiteral("ex1) upgrade         - Download and install the latest version"),
          QStringLiteral("ex2) upgrade --check - Check for updates only"),
          QStringLiteral("  Downloads only the changed blocks (delta), overwrites the AppImage in place,"),
          QStringLiteral("  and removes the previous .zs-old backup after a successful update."),
          QStringLiteral("  Available only on the Linux AppImage build. Restart after completion.")}},
        {"license",
         {QStringLiteral("license : Display software and third-party license information."),
          QStringLiteral("use) license")}},
        {"copyright",
         {QStringLiteral("copyright : Display copyright and third-party software notices."),
          QStringLiteral("use) copyright")}},
    };
    return list;
}

} // namespace

HelpSystem::HelpSystem()
{
    initializeHelpCommands();
}

void HelpSystem::initializeHelpCommands()
{
    for (const Topic &topic : topics()) {
        const QStringList &lines = topic.lines;
        commands_.emplace(QString::fromLatin1(topic.name), [&lines] { printLines(lines); });
    }
}

void HelpSystem::showHelp(const QString &name) const
{
    if (name.isEmpty())
        printSummary();
    else
        showCommandHelp(name);
}

void HelpSystem::showCommandHelp(const QString &name) const
{
    const auto found = commands_.find(name);
    if (found != commands_.end())
        found->second();
    else
        Console::instance().printError(name + QStringLiteral(" is unknown command."));
}

void HelpSystem::printSummary() const
{
    printLines({
        QStringLiteral("Available commands:"),
        QStringLiteral("  port      - Prints a list of available serial ports on the system."),
        QStringLiteral("  open      - Open serial port."),
        QStringLiteral("  close     - Close serial port."),
        QStringLiteral("  exit      - Quit the program."),
        QStringLiteral("  ping      - Check the existence of a Device and basic information."),
        QStringLiteral("  scan      - Search connected QUORVEXs."),
        QStringLiteral("  timeout   - Set additional time for Timeout."),
        QStringLiteral("  protocol  - Set QUORVEX protocol version."),
        QStringLiteral("  table     - Print the Control Table."),
        QStringLiteral("  get       - Get a value from Control Table."),
        QStringLiteral("  set       - Set a value on the Control Table."),
        QStringLiteral("  status    - Show QUORVEX status summary."),
        QStringLiteral("  reset     - Reset the Control Table to its initial factory default settings."),
        QStringLiteral("  reboot    - Reboot the QUORVEX."),
        QStringLiteral("  clear     - Initialize supported QUORVEX state."),
        QStringLiteral("  update    - Update the QUORVEX."),
        QStringLiteral("  upgrade   - Update Quorvex Zephlet CLI to the latest version."),
        QStringLiteral("  license   - Display software and third-party license information."),
        QStringLiteral("  copyright - Display copyright and third-party software notices."),
        QStringLiteral("Type \"help [command]\" for more information."),
    });
}
