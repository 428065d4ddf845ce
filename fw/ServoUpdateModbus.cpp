// The update of a Modbus servo: over a Modbus link of its own, torque off and
// the command into the bootloader; the transfer at 57600 bit/s on the serial
// port; then over Modbus again the check, the reset command and torque off.
// The link and the serial port share the port name and are never open together.
#include "fw/QvxFirmware.h"

#include "comm/CommResult.h"
#include "comm/PortLine.h"
#include "comm/QvxModbus.h"

#include <QThread>

#include <memory>

bool QvxFirmware::updateModbus(const QvxFirmware::UpdateParam &param, const Image &image)
{
    const uchar id = param.id;
    const QString torqueFail = QStringLiteral("Update[M]: torque off fail");
    auto modbus = std::make_unique<QvxModbus>();
    // Every exit over the link closes it before the outcome is reported.
    const auto failLinked = [&](const QString &logText, const QString &text) {
        if (!logText.isEmpty())
            emit logMessage(logText);
        modbus->close();
        return failUpdate({}, text);
    };

    closePortLine(*serial_port);
    if (!modbus->open(param.portName, param.baudrate))
        return failLinked({}, tr("Port Open Failed"));
    if (!torqueOff(*modbus, param))
        return failLinked(torqueFail, tr("QUORVEX Init Failed"));
    if (modbus->rebootToBootloader(id, param.modbusBootEntryAddress) != COMM_OK)
        return failLinked(QStringLiteral("Update[M]: reboot fail"), tr("QUORVEX Reboot Failed"));
    modbus->close();

    if (!openPortAt(param.portName, kFlashBaud))
        return failUpdate({}, tr("Port Open Failed"));
    const QString failure = flashImage(image, false);
    if (!failure.isEmpty())
        return failUpdate({}, failure);

    pauseOnLine(kStepPauseMs);
    closePortLine(*serial_port);
    if (!modbus->open(param.portName, param.baudrate))
        return failLinked({}, tr("Port Open Failed"));
    ushort model = 0;
    uchar firmware = 0;
    uchar error = 0;
    if (modbus->ping(id, &model, &firmware, &error) != COMM_OK)
        return failLinked({}, tr("Bootloader Restart Failed"));
    if (modbus->reset(id, static_cast<ushort>(param.modbusResetAddress & 0xFFFF)) != COMM_OK)
        return failLinked(QStringLiteral("Update[2]: factory reset fail"), tr("Bootloader Restart Failed"));
    QThread::msleep(kStepPauseMs); // on the Modbus link, whose line the serial port no longer watches
    if (!torqueOff(*modbus, param))
        return failLinked(torqueFail, tr("QUORVEX Torque Off Failed"));
    modbus->close();
    return succeedUpdate();
}
