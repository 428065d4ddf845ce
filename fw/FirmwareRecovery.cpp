#include "fw/FirmwareRecovery.h"

#include "comm/CommResult.h"
#include "comm/PortLine.h"
#include "comm/QvxProtocol2.h"
#include "device/DeviceConstants.h"
#include "device/ProtocolConstants.h"
#include "fw/QvxFirmware.h"

namespace {

// The two calibration programs.
constexpr const char *kSeriesV = ":/fw/assets/fw/calibration/series-v_cal.bin";
constexpr const char *kGeneral = ":/fw/assets/fw/calibration/general_cal.bin";

const QString kSendCrFail = QStringLiteral("[E] Load: send '\r' fail");
const QString kSendNFail = QStringLiteral("[E] Load: send 'N' fail");

} // namespace

const std::array<CalibrationImageRow, 25> kCalibrationImages{{
    {"VH-0610", kSeriesV}, {"VH-0610R", kSeriesV}, {"VH-1220", kSeriesV}, {"VH-1220R", kSeriesV},
    {"VH-2440", kSeriesV}, {"VH-2440R", kSeriesV}, {"VK-0506", kSeriesV}, {"VK-0506T", kSeriesV},
    {"VK-1012", kSeriesV}, {"VK-1012T", kSeriesV}, {"VK-2024", kSeriesV}, {"VK-2024T", kSeriesV},
    {"VK-4048", kSeriesV}, {"VK-4048T", kSeriesV}, {"VL-0308", kSeriesV}, {"VL-0616", kSeriesV},
    {"VL-1232", kSeriesV}, {"VL-2464", kSeriesV}, {"VN-0820", kSeriesV}, {"VN-1640", kSeriesV},
    {"VN-3280", kSeriesV}, {"VN-6410", kSeriesV}, {"SR-120", kGeneral}, {"SR-240", kGeneral},
    {"SR-480", kGeneral},
}};

const QString FirmwareRecovery::kNoResetModel = QStringLiteral("RVY-HAT");

FirmwareRecovery::FirmwareRecovery(QvxFirmware &firmware)
    : fw(firmware)
{
}

QString FirmwareRecovery::calibrationImage(const QString &deviceName)
{
    for (const CalibrationImageRow &row : kCalibrationImages) {
        if (deviceName == QLatin1String(row.modelName))
            return QString::fromLatin1(row.imagePath);
    }
    return {};
}

// --- recovery -----------------------------------------------------------------------

bool FirmwareRecovery::awaitSwitchOn(bool *packetBootloader)
{
    // Nothing restarts the device: someone switches it off and on while the
    // entry knocks, which may take a while, but not for ever.
    if (!fw.entryDeadlineArmed)
        fw.armEntryDeadline(QvxFirmware::kRecoveryEntryDeadlineMs);
    if (!fw.enterBootloader(packetBootloader))
        return false;
    emit fw.firmware_bootloaderEntry();
    return true;
}

bool FirmwareRecovery::recover(const QString &portName, const QString &deviceName, const QString &filePath)
{
    fw.cancelRequested = false;
    fw.port_held = true;
    const QString image = filePath.isEmpty() ? fw.externalImages.value(deviceName) : filePath;
    // Nothing to write, or nothing that can be written: the port is not touched.
    if (image.isEmpty())
        return fw.refuseUpdate(QvxFirmware::tr("Firmware Not Found"));
    QvxFirmware::Image loaded; // read once: what is checked is what is sent
    const QString problem = fw.readImage(image, deviceName, true, &loaded);
    if (!problem.isEmpty())
        return fw.refuseUpdate(problem);
    fw.deviceType = QvxFirmware::classifyDevice(deviceName);
    fw.findController(portName);
    if (!fw.open(portName, QvxFirmware::kFlashBaud))
        return fw.failUpdate({}, QvxFirmware::tr("Port Open Failed"));
    if (fw.boardModel != 0) {
        // The open told the board this rate already; it is told once more.
        const uchar flashValue = kRegisterByBaudRate2.value(QvxFirmware::kFlashBaud);
        uchar error = 0;
        if (fw.writeTxRx(QvxComm::kBoardId, fw.boardBaudRegister(), 1, &flashValue, &error) != COMM_OK || error != 0)
            return fw.failUpdate(QStringLiteral("Update[2]: change baudrate fail #0"),
                                 QvxFirmware::tr("Port Open Failed"));
    }
    fw.setTimeout(QvxFirmware::kUpdateLatencyMs); // it stays in force afterwards, as after an update

    bool packets = false;
    if (!awaitSwitchOn(&packets)) {
        fw.failWithGo(QvxFirmware::tr("Bootloader Entry Failed"));
        return false;
    }
    const bool reset = deviceName != kNoResetModel;
    const QString failure = fw.transferAfterEntry(loaded, packets, reset);
    if (failure.isEmpty())
        return fw.succeedUpdate();
    if (packets)
        return fw.failUpdate({}, failure);
    fw.failWithGo(failure);
    return false;
}

// --- calibration --------------------------------------------------------------------

bool FirmwareRecovery::calibrate(const QString &portName, const QString &deviceName)
{
    // A cancelled entry before (Ctrl+C, a deadline) must not end this one at once.
    fw.cancelRequested = false;
    fw.port_held = true;
    const QString image = calibrationImage(deviceName);
    if (image.isEmpty())
        return fw.failUpdate({}, QvxFirmware::tr("Firmware Not Found"));
    QvxFirmware::Image loaded; // loaded over the console, as read once here
    const QString problem = fw.readImage(image, deviceName, false, &loaded);
    if (!problem.isEmpty())
        return fw.refuseUpdate(problem);
    fw.deviceType = QvxFirmware::calibrationDeviceType(deviceName);
    if (!fw.open(portName, QvxFirmware::kFlashBaud))
        return fw.failUpdate({}, QvxFirmware::tr("Port Open Failed"));
    bool packets = false; // a packet bootloader cannot take the load that follows
    if (!awaitSwitchOn(&packets)) {
        fw.failWithGoAddress(QvxFirmware::tr("Bootloader Entry Failed"));
        return false;
    }
    QString failure;
    if (!fw.loadAtAddress())
        failure = QvxFirmware::tr("Bootloader Error");
    else if (!fw.sendFile(loaded))
        failure = QvxFirmware::tr("Firmware Transfer Failed");
    else if (!startCalibration())
        failure = QvxFirmware::tr("Bootloader Restart Failed");
    if (!failure.isEmpty()) {
        fw.failWithGoAddress(failure);
        return false;
    }
    emit fw.firmware_succeed();
    fw.port_held = false;
    return true;
}

int FirmwareRecovery::awaitStep()
{
    const int found = fw.waitForConsoleText({QByteArrayLiteral("TURN"), QByteArrayLiteral("COMPLETE")});
    if (found == 0)
        fw.reportWait(QStringLiteral("[1] Turn OK !!!"), QStringLiteral("[1] "));
    else if (found == 1)
        fw.reportWait(QStringLiteral("[1] Complete OK !!!"), QStringLiteral("[1] "));
    return found;
}

void FirmwareRecovery::reportMissing(const QString &text)
{
    emit fw.logMessage(text);
    emit fw.logMessage(QStringLiteral("[E] ") + fw.bufferText());
}

void FirmwareRecovery::closeAndRelease()
{
    closePortLine(*fw.serial_port);
    fw.port_held = false;
}

bool FirmwareRecovery::startCalibration()
{
    if (!fw.serial_port->isOpen())
        return false;
    const bool longForm = fw.deviceType == 2;
    const bool sent = longForm ? fw.sendOrLog("GO 8009000", QStringLiteral("[E] Load: send 'NEXT' fail"))
                               : fw.sendOrLog("G 8009000", kSendNFail);
    if (!sent || !fw.sendOrLog("\r", kSendCrFail))
        return false;
    if (awaitStep() >= 0)
        return true;
    if (longForm) {
        if (!fw.sendOrLog("G 8009000", kSendNFail) || !fw.sendOrLog("\r", kSendCrFail))
            return false;
        if (awaitStep() >= 0)
            return true;
    }
    reportMissing(QStringLiteral("[E] G command NOT Ready"));
    return false;
}

bool FirmwareRecovery::next()
{
    if (!fw.serial_port->isOpen()) {
        closePortLine(*fw.serial_port);
        emit fw.calibration_nextFailed();
        return false;
    }
    fw.port_held = true;
    if (!fw.sendOrLog("N", kSendNFail) || !fw.sendOrLog("\r", kSendCrFail)) {
        closeAndRelease();
        emit fw.calibration_nextFailed();
        return false;
    }
    const int found = awaitStep();
    if (found < 0) {
        reportMissing(QStringLiteral("[E] N command NOT Ready"));
        closeAndRelease();
        emit fw.calibration_nextFailed();
        return false;
    }
    if (found == 1) // "COMPLETE": the program is done
        closePortLine(*fw.serial_port);
    fw.port_held = false;
    emit fw.calibration_nextSucceed();
    return true;
}

void FirmwareRecovery::cancel()
{
    if (!fw.serial_port->isOpen()) {
        closePortLine(*fw.serial_port);
        return;
    }
    fw.port_held = true;
    if (fw.sendOrLog("C", QStringLiteral("[E] Load: send 'C' fail")) && fw.sendOrLog("\r", kSendCrFail)) {
        if (fw.waitForConsoleText({QByteArrayLiteral("CANCEL")}) >= 0)
            fw.reportWait(QStringLiteral("[1] Cancel OK !!!"), QStringLiteral("[1] "));
        else
            reportMissing(QStringLiteral("[E] C command NOT Ready"));
    }
    closeAndRelease();
}

// --- instruction 0xF9 ---------------------------------------------------------------

bool FirmwareRecovery::sendInstructionF9(quint8 id)
{
    fw.setProtocolVersion(kProtocolVersion2);
    uchar error = 0;
    return fw.qvx_protocol2->commandF9(id, &error) == COMM_OK && error == 0;
}

// --- the slots ----------------------------------------------------------------------

bool QvxFirmware::firmware_recovery(QString port_name, QString device_name, QString file_path)
{
    return FirmwareRecovery(*this).recover(port_name, device_name, file_path);
}

bool QvxFirmware::calibration(QString port_name, QString device_name)
{
    return FirmwareRecovery(*this).calibrate(port_name, device_name);
}

bool QvxFirmware::calibration_next()
{
    return FirmwareRecovery(*this).next();
}

void QvxFirmware::calibration_cancel()
{
    FirmwareRecovery(*this).cancel();
}
