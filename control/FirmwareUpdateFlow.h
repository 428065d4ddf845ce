#pragma once
// The console's firmware update of one device. It identifies the device,
// compares its firmware with the latest release that its description names,
// asks before anything is written, hands the order to the transport's update
// (QvxFirmware::firmware_update, which runs the whole update on this thread)
// and draws the progress line from the transport's signals; afterwards it
// opens the port again at the rate it had, since the update leaves it closed.
//
// Only a typed answer answers the question: Ctrl+C or the end of input while
// it waits cancels the update with nothing sent, and a Ctrl+C pressed before
// the question (while the device was pinged) is not taken for an answer: it
// ends the command before the question. Once the update runs, Ctrl+C cancels
// it only until its first write to the device (during the board probe);
// after that it does not cut it short.
//
// The image is the description's own (":/fw/assets/fw/"); the transport
// takes a replacement image of the model from the data folder's
// "externalBIN" in its place.

#include "fw/QvxFirmware.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <optional>

class InputManager;
class QvxControl;
struct QvxDeviceModel;

class FirmwareUpdateFlow : public QObject
{
    Q_OBJECT

public:
    // `input` is the console's line editor; without one (script mode) the
    // question cannot be answered and no update starts.
    FirmwareUpdateFlow(QvxControl &control, QvxFirmware &transport, InputManager *input);

    // The whole flow for one device; prints everything itself.
    void updateFirmware(uchar id);

    // The order for updating a device of `model` on the connection (port,
    // baud) with `id`; nothing when the model has no "Baud Rate (Bus)" item.
    static std::optional<QvxFirmware::UpdateParam> updateOrder(const QvxDeviceModel &model, const QString &portName,
                                                               uint baudRate, uchar id);
    // "Firmware update [<30 cells>] <percent, 3 wide>%" for `percent` clamped to 0..100.
    static QString progressText(int percent);

    // Draws the progress line in place; nothing when `percent` is the one drawn last.
    void printFirmwareProgress(int percent);
    // Ends a progress line still open with a line end.
    void endProgressLine();

    void onFirmwareProgress(int percent);
    void onFirmwareComplete();
    void onFirmwareFailed(const QString &text);

    int progressPercent() const { return progressPercent_; }
    bool progressLineOpen() const { return progressLineOpen_; }

private:
    // Asks until the answer is yes (an empty answer included) or no; false
    // for no, and for Ctrl+C or the end of input while the question waits.
    bool confirm();

    QvxControl &control_;
    QvxFirmware &transport_;
    InputManager *input_;
    std::atomic<bool> questionCancelled_{false}; // lent to the editor while the question waits
    int progressPercent_ = -1; // -1: none drawn since the update started
    int progressLineLength_ = 0; // bytes of the line drawn last
    bool progressLineOpen_ = false;
};
