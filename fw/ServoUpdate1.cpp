// The update of a protocol 1.0 servo: torque off and 57600 bit/s at its own
// rate, a digital reset into the bootloader console, the transfer, and then
// its rate set back twice, since the servo comes back at its default rate
// after every restart (the finale, and the closing digital reset).
#include "fw/QvxFirmware.h"

#include "comm/QvxProtocol.h"
#include "device/DeviceConstants.h"
#include "device/ProtocolConstants.h"

bool QvxFirmware::updateProtocol1(const QvxFirmware::UpdateParam &param, const Image &image)
{
    const uchar id = param.id;
    // The servo restarts at its default rate, so the port must be reopened at
    // it after the transfer: without a known default the update would flash
    // the servo and then lose it, so it stops before anything is sent.
    const int defaultBaud = kBaudRateByRegister1.value(param.defaultBaudValue, 0);
    if (defaultBaud == 0)
        return failUpdate({}, tr("Port Open Failed"));
    const uchar flashValue = kBaudRateByRegister1.key(kFlashBaud);
    const uchar baudValue = kBaudRateByRegister1.key(param.baudrate, 0);
    const QString torqueFail = QStringLiteral("Update[1]: torque off fail");
    // A packet bootloader's prompt is taken for the console's as well.
    const ServoWay way{QStringLiteral("Update[1]"), false, &QvxProtocol::digitalReset, QStringLiteral("digital reset"),
                       true, &QvxProtocol::digitalReset, QStringLiteral("digital reset"), tr("QUORVEX Restart Failed")};
    // After a restart the servo is back at its default rate: reached there,
    // its torque turned off and its own rate set again (with a second
    // attempt when `firstFailure` names the first one's log line).
    const auto backToItsRate = [&](const QString &firstFailure, const QString &failure) {
        pauseOnLine(kStepPauseMs);
        if (!openPortAt(param.portName, defaultBaud))
            return failUpdate(QStringLiteral("Update[1]: open fail"), tr("QUORVEX Restart Failed"));
        if (!torqueOff(*this, param))
            return failUpdate(torqueFail, tr("QUORVEX Torque Off Failed"));
        const bool set = firstFailure.isEmpty() ? writeByte(id, param.baudRateAddress, baudValue)
                                                : writeByteRetried(id, param.baudRateAddress, baudValue, firstFailure);
        return set || failUpdate(failure, tr("QUORVEX Restart Failed"));
    };

    if (!openPortAt(param.portName, param.baudrate))
        return failUpdate({}, tr("Port Open Failed"));
    setProtocolVersion(kProtocolVersion1);
    if (!torqueOff(*this, param))
        return failUpdate(torqueFail, tr("QUORVEX Init Failed"));
    if (!writeByteRetried(id, param.baudRateAddress, flashValue, QStringLiteral("Update[1]: change baudrate fail #1-1")))
        return failUpdate(QStringLiteral("Update[1]: change baudrate fail #1-2"), tr("QUORVEX Reboot Failed"));
    if (!restartAndFlash(param, image, way))
        return false;
    // Back from the bootloader, then once more after the closing restart.
    if (!backToItsRate(QStringLiteral("Update[1]: change baudrate fail #2-1"),
                       QStringLiteral("Update[1]: change baudrate fail #2-2"))
        || !reopenPingReset(param, way) || !backToItsRate({}, QStringLiteral("Update[1]: change baudrate fail")))
        return false;
    return succeedUpdate();
}
