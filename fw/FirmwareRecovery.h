#pragma once
// Firmware recovery and self-calibration: the work behind the recovery and
// calibration slots of QvxFirmware, on that transport's port and bootloader
// steps. It keeps no state of its own (the port, the device type and the
// cancel flag are the transport's), so the slots make one for each call.
//
// Recovery writes an image into a device known only by its port and model
// name: it sends nothing that restarts the device, but waits in the
// bootloader entry while a person switches the device off and on. That wait
// ends with the cancel flag (Ctrl+C) or after QvxFirmware::kRecoveryEntryDeadlineMs,
// unless the caller armed another deadline (QvxFirmware::armEntryDeadline).
//
// Calibration loads a calibration program at 8009000 through the console
// bootloader and starts it; the program then asks for steps ("TURN") until it
// is done ("COMPLETE"), or is cancelled.

#include <QString>

#include <array>

class QvxFirmware;

// One model with its calibration program, a resource under ":/fw/assets/fw/calibration/".
struct CalibrationImageRow
{
    const char *modelName; // compared exactly
    const char *imagePath;
};

// Every model that has a calibration program. The "VH", "VK", "VL" and "VN"
// series share the first program; the other models the second.
extern const std::array<CalibrationImageRow, 25> kCalibrationImages;

class FirmwareRecovery
{
public:
    explicit FirmwareRecovery(QvxFirmware &firmware);

    // The model name of a device restarted without reset at the end of a
    // recovery: it leaves its bootloader straight into the new application.
    static const QString kNoResetModel;

    // The calibration program of a model; empty when it has none.
    static QString calibrationImage(const QString &deviceName);

    // The image at `filePath`, or when that is empty the replacement image of
    // the model, written through whichever bootloader answers. Ends with the
    // port closed, the outcome signalled, the port released.
    bool recover(const QString &portName, const QString &deviceName, const QString &filePath);
    // Loads and starts the model's calibration program; on success the port
    // stays open (and not held) for next() and cancel().
    bool calibrate(const QString &portName, const QString &deviceName);
    // Starts the loaded calibration program and waits for its first answer.
    bool startCalibration();
    // One calibration step; "COMPLETE" (or a failure) closes the port.
    bool next();
    // Cancels the calibration program and closes the port.
    void cancel();
    // Sends the protocol 2.0 instruction 0xF9 to `id`; true on a good status.
    bool sendInstructionF9(quint8 id);

private:
    // The bootloader entry while the device is switched on by hand; it ends
    // by the recovery deadline unless the caller armed another. Signals the
    // entry when a bootloader answered.
    bool awaitSwitchOn(bool *packetBootloader);
    // The console wait for the calibration program's "TURN" or "COMPLETE",
    // reported as such: 0 for "TURN", 1 for "COMPLETE", -1 for neither.
    int awaitStep();
    // The report of a command the program did not answer, with the buffer as it came.
    void reportMissing(const QString &text);
    // The end of a calibration exchange: the port closed and released.
    void closeAndRelease();

    QvxFirmware &fw;
};
