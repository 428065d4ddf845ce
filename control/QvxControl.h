#pragma once
// The device-operations object: the one object through which the interactive
// console and script mode act on devices. It owns the transport (a
// QvxFirmware, whose serial link carries every bus operation), the model
// registry and the device core (DeviceCore: the work both front ends share,
// answering with values), and keeps the values of the current connection.
// The console commands here print what the core answers; the script backend
// operations turn it into command results. Every operation runs synchronously
// on the thread that created the object.
//
// Larger features (the firmware update flow, the config file, the graph log,
// multi-aging) come as collaborator classes that this object owns and hands
// its core and transport, not as more methods of it.
//
// Cancellation: an operation the user may interrupt (scans, the item chooser,
// continuous get, table, the set dialogue) clears its cancel flag, lends it
// to the line editor (Ctrl+C and the end of piped input set it), polls it
// between its steps and takes it back on every way out. The caller then
// points the editor back at its own flag. Bus waits do not poll that flag:
// they end through the command token that the console lends around every
// command (beginCommand), which Ctrl+C sets as well.
//
// Script mode reaches the same object through its second base,
// script::IQvxCommandBackend: operations that answer with a CommandResult
// instead of printing, cancelled through the runner's CancellationToken.

#include "control/DeviceCore.h"
#include "control/PortList.h"
#include "control/ResultTexts.h"
#include "device/QvxModelRegistry.h"
#include "script/backend/IQvxCommandBackend.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <memory>
#include <optional>

class CancelLoan;
class FirmwareUpdateFlow;
class InputManager;
class ItemPresenter;
class QTimer;
class QvxComm;
class QvxFirmware;
class MultiAgingFeatures;
struct QvxControlItem;
struct QvxDeviceModel;

class QvxControl : public QObject, public script::IQvxCommandBackend
{
    Q_OBJECT

public:
    // `input` is the console's line editor, null in script mode (no prompts then).
    explicit QvxControl(InputManager *input, QObject *parent = nullptr);
    // Closes the port and frees the transport at once (no deferred delete).
    ~QvxControl() override;

    // Multi-aging, the multi-graph and the CSV graph log, with their options.
    MultiAgingFeatures &multiAging() { return *multiAging_; }
    // The console's firmware update with its question and progress line.
    FirmwareUpdateFlow &firmwareUpdate() { return *updateFlow_; }
    // Reads the options of multi-aging, the multi-graph and the log from
    // "aging/config.xml" under the working folder (at construction).
    void loadConfig();

    // ----- Ports and settings
    // Closes any open port first; prints nothing.
    bool openPort(const QString &name, uint baud);
    // The user lets the line go: first read until no answer its devices still
    // owe can come, then close.
    void closePort();
    bool isPortOpen() const;
    static QList<PortEntry> availablePorts();
    void printAvailablePorts() const;
    // The scan with no port open: asks which of the system's ports to scan and
    // tries each at every console baud rate (per-ID sweep with packet trace
    // when verbose, else a broadcast ping).
    void scanPorts(bool verbose = false);
    // The same over the given ports (the system list shows no pseudo-terminals).
    void scanPorts(const QList<PortEntry> &ports, bool verbose);
    void setTimeout(uint ms);
    void setProtocolVersion(const QString &version);

    // The listen time of the multi-port scan's broadcast ping at each rate (5000 ms).
    void setScanListenTime(int ms);

    QString portName() const { return portName_; }
    uint baudRate() const { return baudRate_; }
    // ID of the last device command, -1 before the first; the console's default ID.
    int lastId() const { return lastId_; }

    // ----- Result texts
    static QString communicationResultName(int result) { return ::communicationResultName(result); }
    static bool hasStatusError(uchar error, const QString &protocol) { return ::hasStatusError(error, protocol); }
    static QString statusErrorText(uchar error, const QString &protocol) { return ::statusErrorText(error, protocol); }
    // For the protocol the transport speaks now.
    QString statusErrorText(uchar error) const;
    // Prints the error line ("ID <id> : <name or error text>") and gives false
    // for a failed result or a status error; true, silently, otherwise.
    bool checkResult(uchar id, int result, uchar error) const;

    // ----- Device commands
    bool pingCore(uchar id, ushort *modelNumber, uchar *firmwareVersion, uchar *error, bool verbose, bool report);
    // Ping with the device's line ("ID 1 : ACK", "[ID:001] AR-240, v53") or its error line.
    void pingAndPrint(uchar id, bool verbose = false, bool report = true);
    // Identifies a device before a command that needs its control table: on
    // success prints its "[ID:...]" line. A device that does not answer is
    // reported with its error line only when `report` is set (the commands
    // below report; the console's item-name test stays silent).
    bool pingDevice(uchar id, ushort *modelNumber, uchar *firmwareVersion, uchar *error, bool report = false);
    void scanRange(uchar first, uchar last, bool verbose = false);
    void broadcastPing(uint waitMs, bool verbose = false);
    void resetDevice(uchar id, bool verbose = false);
    void rebootDevice(uchar id, bool verbose = false);
    // Parameter 1 or 2: the clear instruction; 10: the multi-turn clear; others are refused.
    void clearDevice(uchar id, int parameter, bool verbose = false);
    // Looks for a controller board on ID 200 of `port`; leaves the port open when one answers.
    void detectControllerBoard(const QString &port, QString &boardName);
    // The console's "update": identifies the device, asks, updates its firmware
    // and opens the port again (FirmwareUpdateFlow).
    void updateFirmware(uchar id);
    // While running, closes the port under an operation once the cancel flag is set.
    void startCancelWatchdog();
    void stopCancelWatchdog();

    // ----- Items
    const QvxDeviceModel *findControlTable(ushort modelNumber, uchar firmwareVersion);
    bool chooseItem(const QvxDeviceModel &model, const QStringList &names, QvxControlItem **item);
    static QStringList findItems(const QvxDeviceModel &model, const QString &text);
    // False when the chooser was cancelled; true with a null item when nothing matches.
    bool findItem(const QvxDeviceModel &model, const QString &name, QvxControlItem **item);

    void printItem(uchar id, const QString &name, bool verbose = false);
    void getItem(uchar id, const QString &name, bool continuous = false, bool verbose = false);
    void printTable(uchar id, bool paged = false, bool verbose = false, ushort start = 0, ushort end = 65535);
    void printStatus(uchar id);
    // Writes `value` at once; a value that does not fit the item's width is refused.
    void setItem(uchar id, const QString &name, int value, bool verbose = false);
    void setItemInteractive(uchar id, const QString &name);

    // ----- Presentation
    // The item's value from a table image (0 when the image ends before the item does).
    static void decodeItemValue(QvxControlItem *item, const QByteArray &table)
    {
        DeviceCore::decodeItemValue(item, table);
    }
    // One device read of the item; 0 (after the error line) when it fails.
    int readItem(uchar id, QvxControlItem *item);
    bool isItemSigned(uchar id, QvxControlItem *item, const QvxDeviceModel *model);
    void signedItemValue(uchar id, QvxControlItem *item, const QvxDeviceModel *model);
    QString selectUnit(uchar id, QvxControlItem *item, const QvxDeviceModel *model);
    QString selectScale(uchar id, QvxControlItem *item, const QvxDeviceModel *model);
    int itemMinimum(uchar id, QvxControlItem *item, const QvxDeviceModel *model);
    int itemMaximum(uchar id, QvxControlItem *item, const QvxDeviceModel *model);
    void printDecimalValue(uchar id, QvxControlItem *item, const QvxDeviceModel *model);
    static void printHexValue(const QvxControlItem *item);
    static void printEnumValue(const QvxControlItem *item);
    static void printBitNames(const QvxControlItem *item);
    static void printDottedQuad(const QvxControlItem *item);
    void printScaledValue(uchar id, QvxControlItem *item, const QvxDeviceModel *model);
    void printValueColumn(uchar id, QvxControlItem *item, const QvxDeviceModel *model);
    void printScale(uchar id, QvxControlItem *item, const QvxDeviceModel *model);
    static void printTableRow(QvxControlItem *item, const QvxDeviceModel *model);
    void printStatusRow(uchar id, const QString &label, const QString &itemName, const QvxDeviceModel *model);

    QvxComm *transport() const;

    // ----- Script backend (QvxControlScript.cpp)
    // Both front ends lend a token around each command: script mode its
    // runner's, the console the loop's, which Ctrl+C sets. While it is set,
    // every bus wait ends at once with COMM_CANCELLED.
    void beginCommand(CancellationToken *token) override;
    void endCommand() override;
    // Whether the lent token is set (or past its deadline): a long operation
    // made of many exchanges tests it between them. False with none lent.
    bool commandCancelled() const;
    script::CommandResult listPorts() override;
    script::CommandResult open(const QString &port, int baudrate) override;
    script::CommandResult close() override;
    script::CommandResult setProtocol(const QString &version) override;
    script::CommandResult setNetworkDelay(int milliseconds) override;
    script::CommandResult scan(int start, int end, bool hasRange, bool verbose) override;
    script::CommandResult ping(int id, bool verbose) override;
    script::CommandResult get(int id, const QString &item, bool verbose) override;
    script::CommandResult set(int id, const QString &item, int value, bool verbose) override;
    script::CommandResult table(int id, int start, int end, bool verbose) override;
    script::CommandResult status(int id) override;
    script::CommandResult reset(int id, bool verbose) override;
    script::CommandResult reboot(int id, bool verbose) override;
    script::CommandResult clear(int id, int parameter, bool verbose) override;

    // The pieces the script operations are made of.
    static QVariantMap deviceToMap(int id, ushort modelNumber, uchar firmware, const QvxDeviceModel *model);
    script::CommandResult resultFromCommunication(int id, int result, uchar error) const;
    // Pings the device and finds its description; on success `lastId` is the ID.
    script::CommandResult findDeviceResult(int id, bool verbose, ushort *modelNumber, uchar *firmware,
                                           const QvxDeviceModel **model);
    // Converts the item's value by its sign rule in place, then describes it.
    static QVariantMap itemToMap(QvxControlItem *item, const QvxDeviceModel *model);
    script::CommandResult readItemResult(int id, QvxControlItem *item, const QvxDeviceModel *model, bool verbose,
                                         QVariantMap *itemMap);
    static script::CommandResult findItemResult(const QvxDeviceModel *model, const QString &name,
                                                QvxControlItem **item);

signals:
    void qvxFound(uchar id, ushort model_number, uchar firmware_version);

private:
    // Closes the port between the rates of a multi-port scan: a late answer
    // of one rate is noise at the next, and a broadcast ping's late answer
    // names only its sender.
    void dropPort();
    // Pings a device for a command that needs its control table; the model, or null after the error lines.
    const QvxDeviceModel *identify(uchar id);
    // Null when the exchange went well; empty (not null) when the command's token ended it.
    QString failureText(const BusReply &reply) const;
    // Pings the device; its failure text, null when it answered well.
    QString pingFailure(uchar id, ushort *modelNumber, uchar *firmwareVersion, uchar *error, bool verbose);
    // Reset, reboot and clear: the outcome's success, result name or the device's error.
    void reportDeviceCommand(uchar id, const BusReply &reply, const QString &done);
    ItemPresenter devicePresenter(uchar id, const QvxDeviceModel *model);
    // Read or write with the error line of a failure; false then.
    bool readChecked(uchar id, const QvxControlItem &item, int *value, bool verbose);
    bool writeChecked(uchar id, const QvxControlItem &item, int value, int length, bool verbose);
    // Whether the item's width has a transfer, with the error line when it has none.
    static bool hasSupportedLength(const QvxControlItem &item);
    // findItem, with the error line when nothing matches; false when there is no item to act on.
    bool findNamedItem(const QvxDeviceModel &model, const QString &name, QvxControlItem **item);
    // identify() and findNamedItem(): the model, or null when there is nothing to act on.
    const QvxDeviceModel *identifyItem(uchar id, const QString &name, QvxControlItem **item);
    // One read of the item and its row; false (after the error line) when the read failed.
    bool readAndShowItem(uchar id, const ItemPresenter &presenter, QvxControlItem *item, bool verbose,
                         const QString &afterDecimal);
    void printColumns(const ItemPresenter &presenter, QvxControlItem *item, const QString &head,
                      const QString &afterDecimal, const QString &end);
    void scanOnePort(const CancelLoan &loan, const PortEntry &port, bool verbose, bool &cancelled);
    void cancelWatchdogTick();
    // Script mode: the failure of a device command while no port is open, or nothing.
    std::optional<script::CommandResult> portNotOpen() const;
    // Script mode: findDeviceResult without the identity, and for get and set
    // the item lookup after it (the device's data on success).
    script::CommandResult findDevice(int id, bool verbose, const QvxDeviceModel **model);
    script::CommandResult findDeviceAndItem(int id, const QString &name, bool verbose, const QvxDeviceModel **model,
                                            QvxControlItem **item);
    // Script mode: the scan's test between two pings.
    bool scanCancelled() const;
    // Script mode: reset, reboot and clear, failing also when the device refused.
    script::CommandResult deviceCommandResult(int id, int parameter, const BusReply &reply) const;
    script::CommandResult resultFromReply(int id, const BusReply &reply) const;

    std::unique_ptr<QvxFirmware> transport_;
    QvxModelRegistry registry_;
    DeviceCore core_;
    QString portName_;
    uint baudRate_ = 0;
    int lastId_ = -1;
    InputManager *inputManager_ = nullptr;
    std::atomic<bool> cancelFlag_{false};
    QTimer *cancelWatchdog_ = nullptr;
    int scanListenMs_ = 5000;
    std::unique_ptr<MultiAgingFeatures> multiAging_;
    std::unique_ptr<FirmwareUpdateFlow> updateFlow_;
};

// Visible rows of the console window, 20 when standard output is no terminal.
int consoleWindowHeight();
// Rows on one page of a paged table: the window's rows less 3, at least 5; 17
// when there is no window (`visibleRows` 0).
int tableRowsPerPage(int visibleRows);
