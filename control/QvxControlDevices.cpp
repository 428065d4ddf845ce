// QvxControl: the result checks and the device commands that need no control
// table (ping, scans, reset, reboot, clear), the controller-board probe and
// the cancel watchdog.

#include "control/QvxControl.h"

#include "comm/CommResult.h"
#include "console/io/Console.h"
#include "control/CancelLoan.h"
#include "device/BaseConstants.h"
#include "device/ProtocolConstants.h"
#include "device/QvxDeviceModel.h"
#include "fw/QvxFirmware.h"
#include "platform/OutputSink.h"

#include <QTimer>

#include <limits>

namespace {

QString deviceLine(uchar id, const QString &text)
{
    return QStringLiteral("ID %1 : %2").arg(id).arg(text);
}

// The error line of a failed exchange; none for an interrupted one (an empty
// failure text), which the console reports as an interrupt after the command.
void printDeviceError(uchar id, const QString &failure)
{
    if (!failure.isEmpty())
        Console::instance().printError(deviceLine(id, failure));
}

QString identityLine(uchar id, const QString &modelName)
{
    return QStringLiteral("[ID:%1] %2").arg(id, 3, 10, QLatin1Char('0')).arg(modelName);
}

} // namespace

QString QvxControl::statusErrorText(uchar error) const
{
    return statusErrorText(error, transport_->version());
}

QString QvxControl::failureText(const BusReply &reply) const
{
    if (reply.result == COMM_CANCELLED)
        return QLatin1String(""); // failed, but without a line of its own
    if (reply.result != COMM_OK)
        return communicationResultName(reply.result);
    if (reply.statusError)
        return statusErrorText(reply.error);
    return QString();
}

bool QvxControl::checkResult(uchar id, int result, uchar error) const
{
    const QString failure = failureText(core_.reply(result, error));
    if (failure.isNull())
        return true;
    printDeviceError(id, failure);
    return false;
}

// ----- Ping family

const QvxDeviceModel *QvxControl::findControlTable(ushort modelNumber, uchar firmwareVersion)
{
    return registry_.find(modelNumber, firmwareVersion);
}

QString QvxControl::pingFailure(uchar id, ushort *modelNumber, uchar *firmwareVersion, uchar *error, bool verbose)
{
    const DeviceCore::Identity identity = core_.identify(id, verbose);
    *modelNumber = identity.modelNumber;
    *firmwareVersion = identity.firmware;
    *error = identity.reply.error;
    return failureText(identity.reply);
}

bool QvxControl::pingCore(uchar id, ushort *modelNumber, uchar *firmwareVersion, uchar *error, bool verbose,
                          bool report)
{
    const QString failure = pingFailure(id, modelNumber, firmwareVersion, error, verbose);
    if (report) {
        if (failure.isNull())
            Console::instance().printLine(deviceLine(id, QStringLiteral("ACK")));
        else
            printDeviceError(id, failure);
    }
    return failure.isNull();
}

void QvxControl::pingAndPrint(uchar id, bool verbose, bool report)
{
    lastId_ = id;
    ushort modelNumber = 0;
    uchar firmwareVersion = 0;
    uchar error = 0;
    if (!pingCore(id, &modelNumber, &firmwareVersion, &error, verbose, report) || !report)
        return;
    const QvxDeviceModel *model = findControlTable(modelNumber, firmwareVersion);
    Console::instance().printLine(model ? identityLine(id, QStringLiteral("%1, v%2").arg(model->name, QString::number(firmwareVersion)))
                                        : identityLine(id, QStringLiteral("Unknown")));
}

bool QvxControl::pingDevice(uchar id, ushort *modelNumber, uchar *firmwareVersion, uchar *error, bool report)
{
    *modelNumber = 0;
    *firmwareVersion = 0;
    *error = 0;
    const QString failure = pingFailure(id, modelNumber, firmwareVersion, error, false);
    if (!failure.isNull()) {
        if (report)
            printDeviceError(id, failure);
        return false;
    }
    const QvxDeviceModel *model = findControlTable(*modelNumber, *firmwareVersion);
    if (!model) {
        Console::instance().printLine(identityLine(id, QStringLiteral("Unknown")));
        Console::instance().printError(QStringLiteral("Control table not found for model %1").arg(*modelNumber));
        return false;
    }
    Console::instance().printLine(identityLine(id, QStringLiteral("%1, v%2").arg(model->name, QString::number(*firmwareVersion))));
    return true;
}

const QvxDeviceModel *QvxControl::identify(uchar id)
{
    lastId_ = id;
    ushort modelNumber = 0;
    uchar firmwareVersion = 0;
    uchar error = 0;
    if (!pingDevice(id, &modelNumber, &firmwareVersion, &error, true))
        return nullptr;
    return findControlTable(modelNumber, firmwareVersion);
}

// ----- Scans

void QvxControl::scanRange(uchar first, uchar last, bool verbose)
{
    Console::instance().printLine(QStringLiteral("Scanning for devices..."));
    Console::instance().printLine(QStringLiteral("Press Ctrl+C to cancel scan"));
    {
        const CancelLoan loan(inputManager_, cancelFlag_);
        for (int id = first; id <= last; ++id) {
            if (loan.cancelled())
                return;
            pingAndPrint(uchar(id), verbose, true);
        }
    }
    Console::instance().printLine(QStringLiteral("Scan completed"));
}

void QvxControl::broadcastPing(uint waitMs, bool verbose)
{
    Console::instance().printLine(QStringLiteral("broadcast ping : please wait..."));
    Console::instance().printLine(QStringLiteral("Press Ctrl+C to cancel"));
    int result = COMM_OK;
    {
        const CancelLoan loan(inputManager_, cancelFlag_);
        transport_->cancelFlagPointer = &cancelFlag_;
        const QvxProtocolComm::Trace trace(*transport_, verbose);
        result = transport_->broadcastPing(int(std::min<uint>(waitMs, uint(std::numeric_limits<int>::max()))));
    }
    transport_->cancelFlagPointer = nullptr;
    if (cancelFlag_.load() || result == COMM_CANCELLED)
        return;
    if (result != COMM_OK && result != COMM_RX_TIMEOUT) {
        Console::instance().printError(QStringLiteral("broadcast ping : ") + communicationResultName(result));
        return;
    }
    platform::OutputSink::write(QByteArrayLiteral("\bbroadcast ping : done\n"));
}

// ----- Reset, reboot, clear (the transport returns no device error byte for these)

void QvxControl::reportDeviceCommand(uchar id, const BusReply &reply, const QString &done)
{
    const QString failure = failureText(reply);
    if (!failure.isNull())
        printDeviceError(id, failure);
    else
        Console::instance().printSuccess(deviceLine(id, done));
}

void QvxControl::resetDevice(uchar id, bool verbose)
{
    lastId_ = id;
    reportDeviceCommand(id, core_.reset(id, verbose), QStringLiteral("reset OK"));
}

void QvxControl::rebootDevice(uchar id, bool verbose)
{
    lastId_ = id;
    reportDeviceCommand(id, core_.reboot(id, verbose), QStringLiteral("reboot OK"));
}

void QvxControl::clearDevice(uchar id, int parameter, bool verbose)
{
    lastId_ = id;
    if (parameter != 1 && parameter != 2 && parameter != 10) {
        Console::instance().printError(QStringLiteral("Invalid parameter"));
        return;
    }
    reportDeviceCommand(id, core_.clear(id, parameter, verbose), QStringLiteral("clear OK"));
}

// ----- Controller board and cancel watchdog

void QvxControl::detectControllerBoard(const QString &port, QString &boardName)
{
    constexpr uchar kBoardId = 200;
    constexpr int kTries = 3;
    for (const int baud : kControllerProbeBaudRates) {
        if (!transport_->open(port, baud))
            continue;
        transport_->setProtocolVersion(kProtocolVersion2);
        for (int attempt = 0; attempt < kTries; ++attempt) {
            const DeviceCore::Identity board = core_.identify(kBoardId, false);
            if (!board.reply.ok())
                continue;
            const ushort modelNumber = board.modelNumber;
            QString found;
            if (modelNumber == 400)
                found = kControllerBoardName;
            else if (modelNumber == 220)
                found = QStringLiteral("RV-Y");
            else if (modelNumber == 218)
                found = QStringLiteral("KTBX");
            if (!found.isEmpty()) {
                Console::instance().printLine(modelNumber == 220 ? QStringLiteral("RV-Y Base Board Found")
                                                                 : found + QStringLiteral(" Board Found"));
                boardName = found;
            }
            transport_->boardModel = modelNumber;
            return;
        }
        transport_->close();
    }
}

void QvxControl::startCancelWatchdog()
{
    if (!cancelWatchdog_) {
        cancelWatchdog_ = new QTimer(this);
        cancelWatchdog_->setInterval(100);
        connect(cancelWatchdog_, &QTimer::timeout, this, [this] { cancelWatchdogTick(); });
    }
    cancelWatchdog_->start();
}

void QvxControl::stopCancelWatchdog()
{
    if (cancelWatchdog_)
        cancelWatchdog_->stop();
}

void QvxControl::cancelWatchdogTick()
{
    // Closes the port under the running operation; portName and baudRate stay.
    if (cancelFlag_.load() && transport_->isOpen())
        transport_->close();
}
