// The steps every update procedure shares (servos of both protocols, Modbus
// servos, controller boards, recovery and calibration): the exits, the image
// read once and checked before anything is sent, the serial port opened at a
// rate and paused on while it is there, and the writes.
#include "fw/QvxFirmware.h"

#include "comm/CommResult.h"
#include "comm/PortLine.h"
#include "comm/QvxProtocol.h"
#include "platform/FileContents.h"
#include "platform/LinkIo.h"
#include "platform/RegularFile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>


// --- the exits ----------------------------------------------------------------------

bool QvxFirmware::refuseUpdate(const QString &text)
{
    emit firmware_failed(text);
    port_held = false;
    return false;
}

bool QvxFirmware::failUpdate(const QString &logText, const QString &text)
{
    if (!logText.isEmpty())
        emit logMessage(logText);
    closePortLine(*serial_port);
    emit firmware_failed(text);
    port_held = false;
    return false;
}

bool QvxFirmware::succeedUpdate()
{
    closePortLine(*serial_port);
    emit firmware_succeed();
    port_held = false;
    return true;
}

// --- the image ----------------------------------------------------------------------

QString QvxFirmware::readImage(const QString &path, const QString &modelName, bool packets, Image *image) const
{
    if (!QFileInfo::exists(path)) {
        const QString reason = path.startsWith(QLatin1String(":/"))
                                   ? QStringLiteral("no image built in for %1, and none in %2")
                                         .arg(modelName, QDir::toNativeSeparators(replacementFolder()))
                                   : QStringLiteral("no such file");
        return tr("Firmware Not Found: %1 (%2)").arg(path, reason);
    }
    const auto unusable = [&path](const QString &reason) { return tr("Firmware Not Usable: %1 (%2)").arg(path, reason); };
    QFile file(path);
    QString error;
    // A built-in image is a resource; any other must be a regular file.
    const bool opened = path.startsWith(QLatin1String(":/")) ? file.open(QIODevice::ReadOnly)
                                                             : platform::openRegularFile(path, file, error);
    if (!opened)
        return unusable(error.isEmpty() ? file.errorString() : error);
    const qint64 limit = packets ? kLargestPacketImage : kLargestConsoleImage;
    const QString tooLarge = packets ? QStringLiteral("%1 bytes, more than the %2 a packet transfer can count")
                                     : QStringLiteral("%1 bytes, more than the %2 an image may have");
    if (file.size() > limit)
        return unusable(tooLarge.arg(file.size()).arg(limit));
    // Read to its end, but not beyond the bound: the file may grow meanwhile.
    const QByteArray bytes = platform::readAtMost(file, limit + 1);
    if (file.error() != QFileDevice::NoError)
        return unusable(file.errorString());
    if (bytes.size() > limit)
        return unusable(tooLarge.arg(bytes.size()).arg(limit));
    if (bytes.isEmpty())
        return unusable(QStringLiteral("empty image"));
    *image = Image{path, bytes};
    return {};
}

bool QvxFirmware::sendable(const Image &image)
{
    if (!image.bytes.isEmpty())
        return true;
    emit logMessage(QStringLiteral("[E] sendFile: empty image"));
    return false;
}

// --- the serial port ----------------------------------------------------------------

bool QvxFirmware::portLost() const
{
    if (!serial_port->isOpen())
        return true;
    const QSerialPort::SerialPortError error = serial_port->error();
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError)
        return true;
    return platform::linkHungUp(serial_port->handle());
}

bool QvxFirmware::pauseOnLine(int ms)
{
    if (!serial_port->isOpen()) {
        QThread::msleep(static_cast<unsigned long>(qMax(ms, 0)));
        return true;
    }
    const QDeadlineTimer deadline(qMax(ms, 0));
    for (;;) {
        if (portLost())
            return false;
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return true;
        platform::waitForLinkHangUp(serial_port->handle(), static_cast<int>(left));
    }
}

bool QvxFirmware::openPortAt(const QString &portName, int baudrate)
{
    qvx_protocol1->baudRate = baudrate;
    qvx_protocol2->baudRate = baudrate;
    return openPortLine(*serial_port, portName, baudrate);
}

int QvxFirmware::linkBaud(int servoBaud) const
{
    return boardModel != 0 ? boardBaud : servoBaud;
}

bool QvxFirmware::openServoBus(const QString &portName, int servoBaud)
{
    const bool opened = openPortAt(portName, linkBaud(servoBaud));
    qvx_protocol1->baudRate = servoBaud;
    qvx_protocol2->baudRate = servoBaud;
    return opened;
}

ushort QvxFirmware::boardBaudRegister() const
{
    return (boardModel == 218 || boardModel == 220) ? 9 : 12;
}

// --- the writes ---------------------------------------------------------------------

bool QvxFirmware::writeByte(uchar id, ushort address, uchar value)
{
    uchar error = 0;
    return qvx_protocol->writeTxRx(id, address, 1, &value, &error) == COMM_OK;
}

bool QvxFirmware::writeByteRetried(uchar id, ushort address, uchar value, const QString &firstFailure)
{
    if (writeByte(id, address, value))
        return true;
    emit logMessage(firstFailure);
    pauseOnLine(kStepPauseMs);
    return writeByte(id, address, value);
}

bool QvxFirmware::torqueOff(QvxComm &link, const UpdateParam &param)
{
    if (param.torqueEnableAddress == -1)
        return true; // the model has no "Torque Enable": nothing to turn off
    uchar error = 0;
    return link.write1Byte(param.id, static_cast<ushort>(param.torqueEnableAddress), 0, &error) == COMM_OK;
}

// --- the servo procedures' way through the bootloader --------------------------------

bool QvxFirmware::restartAndFlash(const UpdateParam &param, const Image &image, const ServoWay &way)
{
    const bool opened = way.overBoard ? openServoBus(param.portName, kFlashBaud) : openPortAt(param.portName, kFlashBaud);
    if (!opened)
        return failUpdate(way.tag + QStringLiteral(": open fail"), tr("QUORVEX Reboot Failed"));
    if ((qvx_protocol->*way.restart)(param.id) != COMM_OK)
        return failUpdate(way.tag + QStringLiteral(": ") + way.restartName + QStringLiteral(" fail"),
                          tr("QUORVEX Reboot Failed"));
    const QString failure = flashImage(image, way.consoleOnly);
    if (!failure.isEmpty())
        return failUpdate({}, failure);
    return true;
}

bool QvxFirmware::reopenPingReset(const UpdateParam &param, const ServoWay &way)
{
    const bool opened = way.overBoard ? openServoBus(param.portName, param.baudrate)
                                      : openPortAt(param.portName, param.baudrate);
    if (!opened)
        return failUpdate(way.tag + QStringLiteral(": open fail"), way.checkFailure);
    ushort model = 0;
    uchar firmware = 0;
    uchar error = 0;
    if (qvx_protocol->ping(param.id, &model, &firmware, &error) != COMM_OK)
        return failUpdate({}, way.checkFailure);
    emit logMessage(way.tag + QStringLiteral(": OK!!!"));
    if ((qvx_protocol->*way.reset)(param.id) != COMM_OK)
        return failUpdate(way.tag + QStringLiteral(": ") + way.resetName + QStringLiteral(" fail"), way.checkFailure);
    return true;
}
