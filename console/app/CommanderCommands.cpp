// The console's command slots: each checks its words (CommandArguments), asks
// for what is missing and calls one device operation or text printer.
#include "console/app/CommandArguments.h"
#include "console/app/Commander.h"
#include "comm/PortName.h"
#include "console/io/Console.h"
#include "licenses/LicenseTexts.h"
#include "control/QvxControl.h"
#include "device/ConsoleConstants.h"
#include "device/QvxDeviceModel.h"
#include "platform/OutputSink.h"

namespace {

const QString kVerbose = QStringLiteral("-v");
const QString kVerboseLong = QStringLiteral("--verbose");

bool removeVerbose(QStringList &words)
{
    return removeFlag(words, kVerbose, kVerboseLong);
}

void error(const QString &text)
{
    Console::instance().printError(text);
}

} // namespace

CommandContext Commander::commandContext()
{
    CommandContext context;
    context.lastId = control_->lastId();
    context.promptDeviceId = [this](uchar &id) { return promptDeviceId(id); };
    context.itemNameExists = [this](uchar id, const QString &name) { return itemNameExists(id, name); };
    return context;
}

bool Commander::itemNameExists(uchar id, const QString &name)
{
    ushort modelNumber = 0;
    uchar firmwareVersion = 0;
    uchar deviceError = 0;
    if (!control_->pingDevice(id, &modelNumber, &firmwareVersion, &deviceError))
        return false;
    const QvxDeviceModel *model = control_->findControlTable(modelNumber, firmwareVersion);
    return model && !QvxControl::findItems(*model, name).isEmpty();
}

void Commander::pointEditorBack()
{
    editor_.setInterruptFlag(&interrupted_);
}

void Commander::onPortCommand()
{
    control_->printAvailablePorts();
}

void Commander::onOpenCommand(const QStringList &fields)
{
    QString portName;
    int baudRate = 0;
    if (fields.size() >= 3) {
        portName = fields.at(1);
        if (!parseBaudRate(fields.at(2), baudRate))
            return;
    } else if (fields.size() == 2) {
        portName = fields.at(1);
        if (!chooseBaudrate(baudRate))
            return;
    } else if (!choosePort(portName) || !chooseBaudrate(baudRate)) {
        return;
    }
    if (const QString fault = portNameFault(portName); !fault.isEmpty()) {
        error(fault);
        return;
    }
    if (!control_->openPort(portName, uint(baudRate))) {
        error(QStringLiteral("Failed to open port"));
        return;
    }
    Console::formatPrompt(prompt_, portName, baudRateText(baudRate));
    Console::instance().printSuccess(QStringLiteral("Port opened successfully"));
}

void Commander::onCloseCommand()
{
    control_->closePort();
    Console::instance().printLine(QStringLiteral("Port closed"));
    prompt_ = kPrompt;
}

void Commander::onScanCommand(const QStringList &fields)
{
    QStringList words = fields;
    const bool verbose = removeVerbose(words);
    const ScanArguments scan = parseScanArguments(words);
    switch (scan.kind) {
    case ScanArguments::Rejected:
        return;
    case ScanArguments::Everything:
        if (control_->isPortOpen())
            control_->broadcastPing(5000, verbose);
        else
            control_->scanPorts(verbose);
        break;
    case ScanArguments::Range:
        control_->scanRange(scan.first, scan.last, verbose);
        break;
    }
    pointEditorBack();
}

void Commander::onPingCommand(const QStringList &fields)
{
    QStringList words = fields;
    const bool verbose = removeVerbose(words);
    uchar id = 0;
    if (resolveDeviceId(words, id, commandContext()))
        control_->pingAndPrint(id, verbose, true);
}

void Commander::onTimeoutCommand(const QStringList &fields)
{
    if (const std::optional<uint> ms = parseTimeout(fields))
        control_->setTimeout(*ms);
}

void Commander::onProtocolCommand(const QStringList &fields)
{
    QString version;
    if (fields.size() >= 2) {
        version = fields.at(1);
        if (version != QLatin1String("1.0") && version != QLatin1String("2.0")) {
            error(QStringLiteral("Invalid protocol version. Use 1.0 or 2.0"));
            return;
        }
    } else if (!chooseProtocolVersion(version)) {
        return;
    }
    control_->setProtocolVersion(version);
}

void Commander::onTableCommand(const QStringList &fields)
{
    QStringList words = fields;
    const bool paged = removeFlag(words, QStringLiteral("-p"), QStringLiteral("--page"));
    const bool verbose = removeVerbose(words);
    uchar id = 0;
    AddressRange range;
    if (!resolveTableArguments(words, id, range, commandContext()))
        return;
    control_->printTable(id, paged, verbose, range.start, range.end);
    pointEditorBack();
}

void Commander::onHelpCommand(const QStringList &fields)
{
    help_.showHelp(fields.size() > 1 ? fields.at(1) : QString());
}

void Commander::onUpdateCommand(const QStringList &fields)
{
    uchar id = 0;
    if (!resolveUpdateId(fields, control_->lastId(), id))
        return;
    control_->updateFirmware(id);
    pointEditorBack(); // the question lent the update's own flag
}

void Commander::onUpgradeCommand(const QStringList &fields)
{
    const bool checkOnly = fields.contains(QStringLiteral("--check")) || fields.contains(QStringLiteral("-c"));
    printUpgradeUnsupported(checkOnly, [this](QString &line) {
        line = editor_.readLine(true);
        return !interrupted_.load();
    });
}

void Commander::onLicenseCommand(const QStringList &fields)
{
    if (fields.size() == 1)
        printLicense();
    else
        error(QStringLiteral("Usage: ") + fields.at(0));
}

void Commander::onCopyrightCommand(const QStringList &fields)
{
    if (fields.size() == 1)
        printCopyright();
    else
        error(QStringLiteral("Usage: copyright"));
}

void Commander::runDeviceCommand(const QStringList &fields, void (QvxControl::*command)(uchar id, bool verbose))
{
    QStringList words = fields;
    const bool verbose = removeVerbose(words);
    uchar id = 0;
    if (resolveDeviceId(words, id, commandContext()))
        (control_->*command)(id, verbose);
}

void Commander::onResetCommand(const QStringList &fields)
{
    runDeviceCommand(fields, &QvxControl::resetDevice);
}

void Commander::onRebootCommand(const QStringList &fields)
{
    runDeviceCommand(fields, &QvxControl::rebootDevice);
}

void Commander::onClearCommand(const QStringList &fields)
{
    QStringList words = fields;
    const bool verbose = removeVerbose(words);
    uchar id = 0;
    int parameter = 0;
    if (parseClearArguments(words, id, parameter))
        control_->clearDevice(id, parameter, verbose);
}

void Commander::onQvxFound(uchar id, ushort model_number, uchar firmware_version)
{
    const QString number = QStringLiteral("%1").arg(id, 3, 10, QLatin1Char('0'));
    const QvxDeviceModel *model = control_->findControlTable(model_number, firmware_version);
    const QString text = model ? QStringLiteral("  [ID:%1] %2, v%3").arg(number, model->name, QString::number(firmware_version))
                               : QStringLiteral("  [ID:%1] Unknown").arg(number);
    platform::OutputSink::write("\b" + text.toUtf8() + '\n');
}

void Commander::onGetCommand(const QStringList &fields)
{
    QStringList words = fields;
    const bool continuous = removeFlag(words, QStringLiteral("-c"), QStringLiteral("--continuous"));
    const bool verbose = removeVerbose(words);
    uchar id = 0;
    int first = 0;
    if (!resolveIdAndItem(words, id, first, QStringLiteral("get"), 2, commandContext()))
        return;
    const QString name = joinFields(words, first, words.size());
    if (name.isEmpty()) {
        error(QStringLiteral("Item name cannot be empty"));
        return;
    }
    control_->getItem(id, name, continuous, verbose);
    pointEditorBack();
}

void Commander::onSetCommand(const QStringList &fields)
{
    QStringList words = fields;
    const bool verbose = removeVerbose(words);
    if (words.size() < 2) {
        error(QStringLiteral("Set command requires device ID and item name"));
        return;
    }
    SetRequest request;
    if (!parseSetArguments(words, request, commandContext()))
        return;
    if (request.itemName.isEmpty()) {
        error(QStringLiteral("Item name cannot be empty"));
        return;
    }
    if (request.hasValue)
        control_->setItem(request.id, request.itemName, request.value, verbose);
    else
        control_->setItemInteractive(request.id, request.itemName);
    if (editor_.interruptFlag() != &interrupted_)
        pointEditorBack();
}

void Commander::onStatusCommand(const QStringList &fields)
{
    // No flags: "status -v" is an invalid device ID.
    uchar id = 0;
    if (resolveDeviceId(fields, id, commandContext()))
        control_->printStatus(id);
}
