// The update of a protocol 1.0 servo: torque off and 57600 bit/s at its own
// rate, a digital reset into the bootloader console, the transfer, and then
// its rate set back twice, since the servo comes back at its default rate
// after every restart (the finale, and the closing digital reset).
#include "fw/QvxFirmware.h"

#include "comm/CommResult.h"
#include "comm/QvxProtocol.h"
#include "device/DeviceConstants.h"
#include "device/ProtocolConstants.h"

#include <QThread>

namespace {

constexpr int kFlashBaud = 57600;
constexpr uchar kFlashBaudValue = 34; // 57600 bit/s in the protocol 1.0 baud register
constexpr int kPauseMs = 2000;

} // namespace

bool QvxFirmware::updateProtocol1(const QvxFirmware::UpdateParam &param, const QString &imagePath)
{
    const uchar id = param.id;
    const bool hasTorque = param.torqueEnableAddress != -1;
    const auto torqueAddress = static_cast<ushort>(param.torqueEnableAddress);
    // The servo restarts at its default rate, so the port must be reopened at
    // it after the transfer: without a known default the update would flash
    // the servo and then lose it, so it stops before anything is sent.
    const int defaultBaud = kBaudRateByRegister1.value(param.defaultBaudValue, 0);
    if (defaultBaud == 0)
        return failUpdate({}, tr("Port Open Failed"));
    const uchar baudValue = kBaudRateByRegister1.key(param.baudrate, 0);
    const QString openFail = QStringLiteral("Update[1]: open fail");
    const QString torqueFail = QStringLiteral("Update[1]: torque off fail");
    const QString resetFail = QStringLiteral("Update[1]: digital reset fail");

    if (!openPortAt(param.portName, param.baudrate))
        return failUpdate({}, tr("Port Open Failed"));
    setProtocolVersion(kProtocolVersion1);
    if (hasTorque && !writeByte(id, torqueAddress, 0))
        return failUpdate(torqueFail, tr("QUORVEX Init Failed"));
    if (!writeByteRetried(id, param.baudRateAddress, kFlashBaudValue,
                          QStringLiteral("Update[1]: change baudrate fail #1-1")))
        return failUpdate(QStringLiteral("Update[1]: change baudrate fail #1-2"), tr("QUORVEX Reboot Failed"));
    if (!openPortAt(param.portName, kFlashBaud))
        return failUpdate(openFail, tr("QUORVEX Reboot Failed"));
    if (qvx_protocol->digitalReset(id) != COMM_OK)
        return failUpdate(resetFail, tr("QUORVEX Reboot Failed"));
    // A packet bootloader's prompt is taken for the console's as well.
    const QString failure = flashImage(imagePath, true);
    if (!failure.isEmpty())
        return failUpdate({}, failure);

    // Back from the bootloader at the default rate: the servo's own rate again.
    pauseOnLine(kPauseMs);
    if (!openPortAt(param.portName, defaultBaud))
        return failUpdate(openFail, tr("QUORVEX Restart Failed"));
    if (hasTorque && !writeByte(id, torqueAddress, 0))
        return failUpdate(torqueFail, tr("QUORVEX Torque Off Failed"));
    if (!writeByteRetried(id, param.baudRateAddress, baudValue, QStringLiteral("Update[1]: change baudrate fail #2-1")))
        return failUpdate(QStringLiteral("Update[1]: change baudrate fail #2-2"), tr("QUORVEX Restart Failed"));
    if (!openPortAt(param.portName, param.baudrate))
        return failUpdate(openFail, tr("QUORVEX Restart Failed"));
    ushort model = 0;
    uchar firmware = 0;
    uchar error = 0;
    if (qvx_protocol->ping(id, &model, &firmware, &error) != COMM_OK)
        return failUpdate({}, tr("QUORVEX Restart Failed"));
    emit logMessage(QStringLiteral("Update[1]: OK!!!"));

    // The closing restart brings the default rate back once more.
    if (qvx_protocol->digitalReset(id) != COMM_OK)
        return failUpdate(resetFail, tr("QUORVEX Restart Failed"));
    pauseOnLine(kPauseMs);
    if (!openPortAt(param.portName, defaultBaud))
        return failUpdate(openFail, tr("QUORVEX Restart Failed"));
    if (hasTorque && !writeByte(id, torqueAddress, 0))
        return failUpdate(torqueFail, tr("QUORVEX Torque Off Failed"));
    if (!writeByte(id, param.baudRateAddress, baudValue))
        return failUpdate(QStringLiteral("Update[1]: change baudrate fail"), tr("QUORVEX Restart Failed"));
    return succeedUpdate();
}
