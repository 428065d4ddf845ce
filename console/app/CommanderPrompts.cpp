// The prompts that ask for what a command line left out: a device ID, a baud
// rate, a serial port, a protocol version. Answers are read in the editor's simple mode.
#include "console/app/CommandArguments.h"
#include "console/app/Commander.h"
#include "console/io/Console.h"
#include "control/QvxControl.h"
#include "device/BaudConstants.h"

namespace {

const QString kRule = QString(30, QLatin1Char('-'));

void write(const QString &text)
{
    Console::print(text);
}

void writeLine(const QString &text)
{
    Console::instance().printLine(text);
}

// A menu's numbered entries and, numbered last, its custom entry, between a
// header and a rule.
void writeNumberedList(const QString &header, const QStringList &entries, const QString &customEntry)
{
    writeLine(header);
    for (qsizetype i = 0; i < entries.size(); ++i)
        writeLine(QStringLiteral("  %1 : %2").arg(i + 1).arg(entries.at(i)));
    writeLine(QStringLiteral("  %1 : %2").arg(entries.size() + 1).arg(customEntry));
    writeLine(kRule);
}

} // namespace

bool Commander::promptCancelled()
{
    // The end of input and a stop request also end a prompt, so that no prompt
    // ever asks again on answers that can no longer come.
    return checkInterrupted() || stop_.load() || editor_.atEndOfInput();
}

std::optional<QString> Commander::ask(const QString &question)
{
    if (promptCancelled())
        return std::nullopt;
    write(question);
    const QString answer = editor_.readLine(true);
    if (promptCancelled())
        return std::nullopt;
    return answer;
}

bool Commander::promptDeviceId(uchar &id)
{
    for (;;) {
        const std::optional<QString> answer = ask(QStringLiteral("Enter device ID (0-252, press Ctrl+C to cancel): "));
        if (!answer)
            return false;
        if (answer->isEmpty())
            continue;
        if (parseDeviceId(*answer, id))
            return true;
        Console::instance().printError(QStringLiteral("Invalid device ID. Device ID must be between 0 and 252"));
    }
}

std::optional<int> Commander::askIndex(const QString &question, int count, const QString &invalidIndex)
{
    for (;;) {
        const std::optional<QString> answer = ask(question);
        if (!answer)
            return std::nullopt;
        if (answer->isEmpty())
            continue;
        const int choice = integerWord(*answer).value_or(0); // not a number: 0
        if (choice >= 1 && choice <= count)
            return choice;
        Console::instance().printError(invalidIndex);
    }
}

bool Commander::choosePort(QString &portName)
{
    const QList<PortEntry> ports = QvxControl::availablePorts();
    QStringList titles;
    for (const PortEntry &port : ports)
        titles.append(port.title);
    const int custom = int(ports.size()) + 1;
    writeNumberedList(QStringLiteral("----- Available serial ports -----"), titles, QStringLiteral("Custom port"));
    for (;;) {
        const std::optional<int> choice =
            askIndex(QStringLiteral("Choose serial port (1-%1, press Ctrl+C to cancel): ").arg(custom), custom,
                     QStringLiteral("Invalid port index"));
        if (!choice)
            return false;
        if (*choice < custom) {
            portName = ports.at(*choice - 1).name;
            return true;
        }
        const std::optional<QString> name = ask(QStringLiteral("Enter custom port name (press Ctrl+C to cancel): "));
        if (!name)
            return false;
        if (name->trimmed().isEmpty()) {
            Console::instance().printError(QStringLiteral("Port name cannot be empty"));
            continue;
        }
        portName = name->trimmed();
        return true;
    }
}

bool Commander::chooseConnection(QString &portName, int &baudrate)
{
    return choosePort(portName) && chooseBaudrate(baudrate);
}

bool Commander::chooseBaudrate(int &baudrate)
{
    const int custom = int(kBaudRates.size()) + 1;
    writeNumberedList(QStringLiteral("----- Baudrate options -----"), kBaudRateNames, QStringLiteral("Custom baudrate"));
    for (;;) {
        const std::optional<int> choice =
            askIndex(QStringLiteral("Choose baudrate (1-%1, press Ctrl+C to cancel): ").arg(custom), custom,
                     QStringLiteral("Invalid baudrate index"));
        if (!choice)
            return false;
        if (*choice < custom) {
            baudrate = kBaudRates.at(*choice - 1);
            return true;
        }
        const std::optional<QString> rate = ask(QStringLiteral("Enter custom baudrate (press Ctrl+C to cancel): "));
        if (!rate)
            return false;
        const int value = integerWord(*rate).value_or(0);
        if (value > 0) {
            baudrate = value;
            return true;
        }
        Console::instance().printError(QStringLiteral("Invalid baudrate. Must be a positive integer"));
    }
}

bool Commander::chooseProtocolVersion(QString &version)
{
    for (;;) {
        const std::optional<QString> answer = ask(QStringLiteral("----- Protocol Version Options -----\n"
                                                                 "  1 : Protocol 1.0\n"
                                                                 "  2 : Protocol 2.0\n"
                                                                 "Choose protocol version (1-2, press Ctrl+C to cancel): "));
        if (!answer)
            return false;
        if (answer->isEmpty())
            continue;
        const int choice = integerWord(*answer).value_or(0);
        if (choice == 1 || choice == 2) {
            version = choice == 1 ? QStringLiteral("1.0") : QStringLiteral("2.0");
            return true;
        }
        Console::instance().printError(QStringLiteral("Invalid choice"));
    }
}
