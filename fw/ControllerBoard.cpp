// The controller board in front of the servo bus: finding it before an update,
// and updating its own firmware.
#include "fw/QvxFirmware.h"

#include "comm/CommResult.h"
#include "comm/PortLine.h"
#include "comm/QvxProtocol2.h"
#include "device/BaseConstants.h"
#include "device/ProtocolConstants.h"

#include <QThread>

namespace {

constexpr int kProbeLatencyMs = 200;
constexpr int kProbeRetryPauseMs = 50;
constexpr ushort kBoardRebootAddress = 21;
constexpr uchar kBoardRebootValue = 4; // restarts the board into its bootloader

} // namespace

int QvxFirmware::probeController(const QString &portName, int *baudrate)
{
    // The probe speaks protocol 2.0 with a latency of its own; the caller
    // gets its protocol and that engine's latency back, whatever the outcome
    // (a probe cut short by Ctrl+C included).
    const QString protocol = version();
    const int latency = qvx_protocol2->extraLatency;
    setProtocolVersion(kProtocolVersion2);
    qvx_protocol2->extraLatency = qMax(kProbeLatencyMs, extraLatency);
    int found = 0;
    for (const int rate : kControllerProbeBaudRates) {
        // The caller may hand over its port still open: it is closed first.
        if (!openPortAt(portName, rate))
            continue;
        ushort model = 0;
        uchar firmware = 0;
        uchar error = 0;
        int result = qvx_protocol2->ping(kBoardId, &model, &firmware, &error);
        if (result == COMM_CANCELLED) {
            closePortLine(*serial_port);
            break;
        }
        if (result != COMM_OK || error != 0) {
            QThread::msleep(kProbeRetryPauseMs);
            error = 0;
            result = qvx_protocol2->ping(kBoardId, &model, &firmware, &error);
        }
        closePortLine(*serial_port);
        if (result == COMM_OK && error == 0 && kControllerModelNumbers.contains(model)) {
            *baudrate = rate;
            found = model;
            break;
        }
    }
    qvx_protocol2->extraLatency = latency;
    setProtocolVersion(protocol);
    return found;
}

void QvxFirmware::findController(const QString &portName)
{
    int probeBaud = 0;
    const int model = probeController(portName, &probeBaud);
    if (qvx_protocol->isCancelled())
        return;
    boardModel = model;
    if (boardModel != 0) {
        boardBaud = probeBaud;
        qvx_protocol->extraLatency = qMax(kProbeLatencyMs, extraLatency);
    }
}

bool QvxFirmware::updateController(const QvxFirmware::UpdateParam &param, const Image &image)
{
    // The board is reached at the bootloader's rate before its update, whatever param.baudrate is.
    if (!openPortAt(param.portName, kFlashBaud))
        return failUpdate({}, tr("Port Open Failed"));
    setProtocolVersion(kProtocolVersion2);
    uchar error = 0;
    if (qvx_protocol->writeTxRx(param.id, kBoardRebootAddress, 1, &kBoardRebootValue, &error) != COMM_OK)
        return failUpdate(QStringLiteral("Update[2]: reboot fail"), tr("QUORVEX Reboot Failed"));
    closePortLine(*serial_port);
    pauseOnLine(kStepPauseMs);
    if (!openPortAt(param.portName, kFlashBaud))
        return failUpdate({}, tr("Port Open Failed"));
    const QString failure = flashImage(image, false);
    if (!failure.isEmpty())
        return failUpdate({}, failure);
    closePortLine(*serial_port);
    pauseOnLine(kStepPauseMs);
    if (!openPortAt(param.portName, param.baudrate))
        return failUpdate(QStringLiteral("Update[2]: open fail"), tr("Bootloader Restart Failed"));
    ushort model = 0;
    uchar firmware = 0;
    if (qvx_protocol->ping(param.id, &model, &firmware, &error) != COMM_OK)
        return failUpdate({}, tr("Bootloader Restart Failed"));
    return succeedUpdate();
}
