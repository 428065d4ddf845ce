#include "control/FirmwareUpdateFlow.h"

#include "console/io/Console.h"
#include "control/CancelLoan.h"
#include "control/QvxControl.h"
#include "device/QvxDeviceModel.h"
#include "platform/OutputSink.h"

namespace {

constexpr int kProgressCells = 30;

// Protocol Type value that switches a servo to Modbus: a range that reaches
// it marks a servo that can be moved to Modbus.
constexpr int kModbusProtocolType = 10;

const QString kBaudRateItem = QStringLiteral("Baud Rate (Bus)");
const QString kProtocolTypeItem = QStringLiteral("Protocol Type");
const QString kTorqueEnableItem = QStringLiteral("Torque Enable");

int decimalOrZero(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? value : 0;
}

} // namespace

FirmwareUpdateFlow::FirmwareUpdateFlow(QvxControl &control, QvxFirmware &transport, InputManager *input)
    : control_(control)
    , transport_(transport)
    , input_(input)
{
    connect(&transport_, qOverload<QString>(&QvxFirmware::firmware_failed), this,
            [this](const QString &text) { onFirmwareFailed(text); });
    connect(&transport_, &QvxFirmware::firmware_succeed, this, [this] { onFirmwareComplete(); });
    connect(&transport_, &QvxFirmware::firmware_progress, this, [this](int percent) { onFirmwareProgress(percent); });
}

std::optional<QvxFirmware::UpdateParam> FirmwareUpdateFlow::updateOrder(const QvxDeviceModel &model,
                                                                        const QString &portName, uint baudRate,
                                                                        uchar id)
{
    const QvxControlItem *baudItem = model.itemsByName.value(kBaudRateItem);
    if (!baudItem)
        return std::nullopt;

    QvxFirmware::UpdateParam order;
    order.portName = portName;
    order.baudrate = int(baudRate);
    order.id = id;
    order.protocolVersion = QStringLiteral("2.0"); // the console talks to the device in 2.0 for the update
    if (const QvxControlItem *protocolItem = model.itemsByName.value(kProtocolTypeItem)) {
        if (decimalOrZero(protocolItem->min) > kModbusProtocolType || decimalOrZero(protocolItem->max) < kModbusProtocolType)
            order.protocolTypeAddress = protocolItem->address;
        else
            order.modbusProtocolTypeAddress = protocolItem->address;
    }
    order.modelName = model.name;
    order.deviceKind = model.type;
    order.defaultBaudValue = uchar(baudItem->init & 0xFF);
    order.baudRateAddress = baudItem->address;
    order.latestFirmwareVersion = model.latestFirmwareVersion;
    order.firmwarePath = model.firmwarePath;
    order.spareFlag = true;
    if (const QvxControlItem *torqueItem = model.itemsByName.value(kTorqueEnableItem))
        order.torqueEnableAddress = torqueItem->address;
    return order;
}

void FirmwareUpdateFlow::updateFirmware(uchar id)
{
    ushort modelNumber = 0;
    uchar firmware = 0;
    uchar error = 0;
    if (!control_.pingDevice(id, &modelNumber, &firmware, &error, true))
        return;
    const QvxDeviceModel *model = control_.findControlTable(modelNumber, firmware);
    if (!model)
        return;
    Console::instance().printLine(
        QStringLiteral("current : %1 ==> latest : %2").arg(firmware).arg(model->latestFirmwareVersion));
    if (firmware >= model->latestFirmwareVersion) {
        Console::instance().printInfo(QStringLiteral("No firmware update is required. The installed firmware is the "
                                                     "same as or newer than the latest available version."));
        return;
    }
    const QString portName = control_.portName();
    const uint baudRate = control_.baudRate();
    const std::optional<QvxFirmware::UpdateParam> order = updateOrder(*model, portName, baudRate, id);
    if (!order)
        return;
    // A Ctrl+C after the device answered (the command's token is set) ends
    // the command here: the question is not asked.
    if (control_.commandCancelled())
        return;
    if (!confirm()) {
        Console::instance().printLine(QStringLiteral("Firmware update cancelled."));
        return;
    }
    Console::instance().printLine(QStringLiteral("Starting firmware update..."));
    progressPercent_ = -1;
    progressLineLength_ = 0;
    progressLineOpen_ = false;

    // The command's Ctrl+C token stays lent: the update heeds it until its
    // first write to the device (the board probe), and from there runs to
    // its end, since a cut between the transfer and the restoration of the
    // servo's rate and protocol would leave it where the console no longer
    // finds it. The console reports a Ctrl+C after the command.
    transport_.firmware_update(*order); // success or failure is printed by the signal handlers

    if (!portName.isEmpty() && baudRate > 0 && !transport_.isOpen() && !transport_.open(portName, int(baudRate)))
        Console::instance().printWarning(
            QStringLiteral("Serial port is closed after firmware update. Reopen the port before the next command."));
}

bool FirmwareUpdateFlow::confirm()
{
    // The flag is fresh for the question: a Ctrl+C pressed earlier went to
    // the console's own flag and answers nothing here.
    const CancelLoan loan(input_, questionCancelled_);
    for (;;) {
        const std::optional<QString> answer = loan.ask(QStringLiteral("Do you want to proceed with firmware update? [Y/n]: "));
        if (!answer)
            return false;
        const QString word = answer->trimmed().toLower();
        if (word.isEmpty() || word == QLatin1String("y") || word == QLatin1String("yes"))
            return true;
        if (word == QLatin1String("n") || word == QLatin1String("no"))
            return false;
    }
}

QString FirmwareUpdateFlow::progressText(int percent)
{
    const int shown = qBound(0, percent, 100);
    const int filled = shown * kProgressCells / 100;
    const QString bar = QString(filled, QLatin1Char('#')) + QString(kProgressCells - filled, QLatin1Char('-'));
    return QStringLiteral("Firmware update [%1] %2%").arg(bar).arg(shown, 3);
}

void FirmwareUpdateFlow::printFirmwareProgress(int percent)
{
    if (percent == progressPercent_)
        return;
    progressPercent_ = percent;
    const QByteArray text = progressText(percent).toUtf8();
    QByteArray line = "\r" + text;
    if (progressLineLength_ > text.size()) // blank out the rest of a longer line, then draw again
        line += QByteArray(progressLineLength_, ' ') + "\r" + text;
    platform::OutputSink::write(line);
    progressLineOpen_ = true;
    progressLineLength_ = int(text.size());
}

void FirmwareUpdateFlow::endProgressLine()
{
    if (!progressLineOpen_)
        return;
    platform::OutputSink::write(QByteArrayLiteral("\n"));
    progressLineOpen_ = false;
    progressPercent_ = -1;
}

void FirmwareUpdateFlow::onFirmwareProgress(int percent)
{
    printFirmwareProgress(percent);
}

void FirmwareUpdateFlow::onFirmwareComplete()
{
    endProgressLine();
    Console::instance().printSuccess(QStringLiteral("Firmware update complete"));
}

void FirmwareUpdateFlow::onFirmwareFailed(const QString &text)
{
    endProgressLine();
    Console::instance().printError(QStringLiteral("Firmware update failed: ") + text);
}
