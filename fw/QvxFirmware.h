#pragma once
// The serial transport that the device operations use for every bus exchange,
// and the engine of the firmware update: a QvxPort that adds the update order
// record, the table of replacement images found on disk, the classification of
// a model into its bootloader dialect and the signals through which an update
// reports progress and outcome.
//
// Firmware recovery and self-calibration are worked by FirmwareRecovery
// (fw/FirmwareRecovery.h) on this transport.

#include "comm/QvxPort.h"

class QvxProtocol;

#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>

#include <QDeadlineTimer>

#include <array>
#include <atomic>

class QvxFirmware : public QvxPort
{
    Q_OBJECT
    friend class FirmwareRecovery;

public:
    // The order for one update. Every member has a defined value; the two
    // sentinels of -1 mean "none" (no torque item, no master device).
    struct UpdateParam
    {
        QString portName;
        int baudrate = 0; // the device's rate before and after the update
        uchar id = 0;
        QString protocolVersion; // "2.0", "1.0" or "MODBUS": the device's protocol before the update
        ushort protocolTypeAddress = 0;       // "Protocol Type" whose range leaves out Modbus; 0 none
        ushort modbusProtocolTypeAddress = 0; // "Protocol Type" whose range includes Modbus; 0 none
        QString modelName;
        QString deviceKind; // "Quorvex1", "Quorvex2", "QuorvexM" or "Controller2"
        uchar defaultBaudValue = 0; // factory value of "Baud Rate (Bus)"
        ushort baudRateAddress = 0;
        uchar latestFirmwareVersion = 0;
        QString firmwarePath; // the built-in image
        bool spareFlag = false;                       // read by no procedure
        QList<std::array<uchar, 12>> spareRecords;    // read by no procedure
        qint64 modbusResetAddress = 0;    // low 16 bits used; 0 none
        ushort modbusBootEntryAddress = 0; // 0 none
        int torqueEnableAddress = -1;      // -1: the model has no "Torque Enable"
        int masterId = -1;                 // -1: no master device
        ushort masterIdAddress = 0;        // read only with a master device
        int masterBaudAddressA = 0;        // master's rate register, written with WRITE
        int masterBaudAddressB = 0;        // master's rate register, written with a system write
    };

    // With `listening`, unsolicited traffic on the port is taken in between
    // commands. The object has no Qt parent: its owner holds and deletes it.
    explicit QvxFirmware(bool listening = false);
    ~QvxFirmware() override;

    // The bootloader dialect (0 to 5) of a model name, by its prefix; 2 for a
    // name no prefix fits.
    static int classifyDevice(const QString &modelName);
    // The narrower rule of the self-calibration: 1 for the "VH", "VN", "VK"
    // and "VL" series, else 2.
    static int calibrationDeviceType(const QString &modelName);
    // Replacement images in `folder`: every file with the suffix .ecp (in any
    // case), keyed by its name up to the first "." and then the first "_";
    // a later file in listing order replaces an earlier one with its key.
    static QMap<QString, QString> replacementImages(const QString &folder);
    // Where the replacement images are looked for.
    static QString replacementFolder();

    // The rate every bootloader listens at: a device is brought to it before
    // its restart into the bootloader, and flashed at it.
    static constexpr int kFlashBaud = 57600;
    // The procedures' pause: after a restart (into the bootloader or back into
    // the application) before the device is spoken to, and before a second
    // attempt at a write.
    static constexpr int kStepPauseMs = 2000;
    // The reply latency an update or a recovery sets for its long waits; it
    // stays in force afterwards.
    static constexpr int kUpdateLatencyMs = 5000;

    // --- bootloader steps --------------------------------------------------
    // They run on the open serial port while the calling procedure holds the
    // port (port_held), log their progress and failures on logMessage and
    // return whether the step succeeded.

    // The bootloader entry ends by this time after it started, unless the
    // caller gave another one: a device that restarted on our command shows
    // its bootloader within moments.
    static constexpr int kEntryDeadlineMs = 15000;
    // Recovery waits for a device that the user switches on by hand.
    static constexpr int kRecoveryEntryDeadlineMs = 120000;
    // The largest image the packet transfer can count in 16-bit block indexes.
    static constexpr qint64 kLargestPacketImage = 65535LL * 128;
    // The largest image sent over a bootloader console, which counts no
    // blocks: far above any real image, so that a wrong file (a disk image,
    // a device) is refused before it is read whole.
    static constexpr qint64 kLargestConsoleImage = 16LL * 1024 * 1024;

    // An image as it was read and checked before the device was told
    // anything: the bytes a transfer sends, whatever its file holds by then.
    struct Image
    {
        QString path; // where it was read from; its suffix picks the packet modes
        QByteArray bytes;
    };

    // The next entry ends `ms` from now (instead of kEntryDeadlineMs after its start).
    void armEntryDeadline(int ms);

    // Paced console write: each byte after a 10 ms pause, each confirmed
    // within 10 ms. False at the first byte not written.
    bool sendConsole(const QByteArray &data);
    // Step [0]: catches the bootloader while the device starts. True when a
    // bootloader answered; *packetBootloader tells the packet kind ('$').
    // Ends with "[E] Bootloader entry Canceled" when cancelRequested is set,
    // by Ctrl+C, by the lent token or by the entry deadline.
    bool enterBootloader(bool *packetBootloader);
    // Step [1]: the load command of the dialect.
    bool loadFirmware();
    // The load at the start address of the calibration program.
    bool loadAtAddress();
    // Step [2]: the image over the console, in blocks (dialect 4) or as one
    // stream with its sum byte.
    bool sendFile(const Image &image);
    // Step [3]: leaves the bootloader by starting the application, or with
    // `reset` by restarting the device.
    bool finale(bool reset);
    // Failure exits once the bootloader was entered: send the dialect-free go
    // commands, close the port, report `text` and release the port.
    void failWithGo(const QString &text);
    void failWithGoAddress(const QString &text);
    // Step [2] and [3] for the packet bootloader.
    bool sendFileViaPackets(const Image &image);
    bool restartViaProtocol(bool reset);
    // The steps after a successful entry: packets (transfer and restart) or
    // the console (load, transfer, finale). Empty when all went well, else
    // the failure text of the step that failed.
    QString transferAfterEntry(const Image &image, bool packetBootloader, bool reset);
    // The image of an update: the bootloader entry, then the transfer of the
    // kind that answered (the console's whatever answered when `consoleOnly`)
    // and the start of the application. Empty when all went well, else the
    // failure text of the step that failed.
    QString flashImage(const Image &image, bool consoleOnly);

    // The low 8 bits of the sum of the bytes.
    static quint8 sumByte(const QByteArray &bytes);

    // --- controller board ----------------------------------------------------
    // Pings ID 200 at each probe rate (57600, then 6250000) with protocol 2.0.
    // Returns the model number of the board that answered, with the rate in
    // *baudrate, or 0 (baudrate untouched) when none did. The port is closed
    // before each open and is left closed; the protocol and the protocol 2.0
    // engine's latency are left as the caller had them.
    int probeController(const QString &portName, int *baudrate);
    // The probe, its outcome stored: boardModel (0 when no board answered);
    // for a board also boardBaud and the current engine's latency raised for
    // the relay. A probe cut short by the lent token stores nothing.
    void findController(const QString &portName);
    // An update procedure, by device kind.
    using Procedure = bool (QvxFirmware::*)(const UpdateParam &, const Image &);
    // The procedure of a device kind ("Quorvex1", "Quorvex2", "QuorvexM",
    // "Controller2", compared whole and case-sensitively); null for any other.
    static Procedure procedureFor(const QString &deviceKind);
    // The update of a controller board: reboot into its bootloader at 57600,
    // transfer, then a ping at param.baudrate.
    bool updateController(const QvxFirmware::UpdateParam &param, const Image &image);
    // The update of a protocol 1.0 servo through its bootloader console.
    // A default baud value the rate table lacks fails before anything is sent.
    bool updateProtocol1(const QvxFirmware::UpdateParam &param, const Image &image);
    // The update of a protocol 2.0 servo, directly, behind a controller board
    // or behind a master device.
    bool updateProtocol2(const QvxFirmware::UpdateParam &param, const Image &image);
    // The update of a Modbus servo: commanded into its bootloader over a
    // Modbus link of its own, flashed at 57600 bit/s, reset over Modbus.
    bool updateModbus(const QvxFirmware::UpdateParam &param, const Image &image);

    // --- shared update steps (fw/UpdateSteps.cpp) ----------------------------
    // The exits, the image, the port and the writes that every procedure
    // (update, recovery, calibration) uses alike.

    // Reads the image at `path` once into *image, and checks those bytes:
    // empty when they can be sent, else a failure text naming the file and
    // the reason. The image must exist, be a file (a built-in one, or a
    // regular file: never a FIFO or a device, which could be read without
    // end), hold something, and not outgrow kLargestPacketImage when
    // `packets` (a packet bootloader may take it), kLargestConsoleImage
    // otherwise; a larger one is refused before it is read. A built-in image
    // that is missing means the model has none, and no replacement for
    // `modelName` either.
    QString readImage(const QString &path, const QString &modelName, bool packets, Image *image) const;
    // The exit of an order refused before anything was sent: `text` reported,
    // the port released and left as the caller had it; always false.
    bool refuseUpdate(const QString &text);
    // The failure exit of the procedures: the log line (when not empty), the
    // port closed, `text` reported, the port released; always false.
    bool failUpdate(const QString &logText, const QString &text);
    // The success exit: port closed, success reported, port released; true.
    bool succeedUpdate();

    int deviceType = 2; // bootloader dialect of the model being updated
    // Cancel request of the bootloader steps; set from other threads (the
    // interrupt handlers) as well as by the entry deadline.
    std::atomic<bool> cancelRequested{false};
    QMap<QString, QString> externalImages; // image path by model name, read once
    QByteArray consoleBuffer; // what the bootloader console printed during the current wait

public slots:
    // The update of one device, reported by the signals below; whichever way
    // it ends, the transport is on the protocol it was on before.
    bool firmware_update(QvxFirmware::UpdateParam param);
    bool firmware_recovery(QString port_name, QString device_name, QString file_path = QString());
    bool calibration(QString port_name, QString device_name);
    bool calibration_next();
    void calibration_cancel();

signals:
    void firmware_failed(QString error = tr("Failed"));
    void firmware_succeed();
    void firmware_progress(int progress); // per cent of the image sent
    void firmware_bootloaderEntry();
    void calibration_nextFailed();
    void calibration_nextSucceed();
    void outputDebug(QString msg);

private:
    // The update behind firmware_update: the image, the board probe, the
    // procedure of the device kind.
    bool runUpdate(const UpdateParam &param);

    // --- shared update steps (fw/UpdateSteps.cpp) ----------------------------
    // Whether the serial port is closed or its line gone (an adapter pulled,
    // the other end hung up): no wait on it can bring anything.
    bool portLost() const;
    // Sleeps `ms`, but ends at once when the serial port's line goes; false
    // then (a closed port only sleeps, and counts as there).
    bool pauseOnLine(int ms);
    // The port (closed first) opened at `baudrate`, stored in both engines;
    // the one open of a serial line (comm/PortLine.h), as every close of the
    // procedures is its one close.
    bool openPortAt(const QString &portName, int baudrate);
    // The rate of the link to the servo bus: the board's own rate when a
    // controller board is in front (it relays at the rate of its bus
    // register), else the servo bus rate itself.
    int linkBaud(int servoBaud) const;
    // The port opened for the servo bus at `servoBaud`: at linkBaud, with
    // both engines timing their replies by the servo bus.
    bool openServoBus(const QString &portName, int servoBaud);
    // One byte written through the current engine; true on COMM_OK.
    bool writeByte(uchar id, ushort address, uchar value);
    // The same, tried once more after `firstFailure` is logged and a pause.
    bool writeByteRetried(uchar id, ushort address, uchar value, const QString &firstFailure);
    // The controller board's register of the servo bus rate: 9 for the
    // models 218 and 220, 12 for the others.
    ushort boardBaudRegister() const;
    // Turns the servo's torque off over `link` (the engine, or a Modbus
    // link), when the model has a "Torque Enable" item; true when it has
    // none or the write was answered.
    bool torqueOff(QvxComm &link, const UpdateParam &param);
    // What sets the two servo procedures apart in the steps they share.
    struct ServoWay
    {
        QString tag;                        // "Update[1]" or "Update[2]": how their log lines start
        bool overBoard = false;             // the servo bus reached through a controller board in front
        int (QvxProtocol::*restart)(uchar) = nullptr; // the restart into the bootloader
        QString restartName;                // "digital reset" or "reboot", for its log line
        bool consoleOnly = false;           // whatever bootloader answers is spoken to as a console
        int (QvxProtocol::*reset)(uchar) = nullptr;   // the closing reset after the transfer
        QString resetName;                  // "digital reset" or "factory reset", for its log line
        QString checkFailure;               // the failure text of the check after the transfer
    };
    // The servo into its bootloader and through it: the port reopened at
    // kFlashBaud, the servo restarted, the image flashed. A failing reopen or
    // restart ends the update with "QUORVEX Reboot Failed" and its log line
    // ("<tag>: open fail", "<tag>: <restartName> fail"), a failing flash with
    // its own text; false then.
    bool restartAndFlash(const UpdateParam &param, const Image &image, const ServoWay &way);
    // The servo checked at its own rate after the transfer: the port reopened
    // at param.baudrate, a ping, the line "<tag>: OK!!!" and the closing
    // reset. A failing step ends the update with the way's check failure, the
    // reopen and the reset with their log lines; false then.
    bool reopenPingReset(const UpdateParam &param, const ServoWay &way);
    // Whether the image holds something to send; an empty one is logged and
    // never sent.
    bool sendable(const Image &image);

    // --- the steps' own helpers ----------------------------------------------
    // A one-byte write over a Modbus link of its own with the serial port
    // closed, which is reopened after a good write. The failure text when a
    // port did not open (empty otherwise); *written tells the write's outcome.
    QString modbusWrite(const UpdateParam &param, ushort address, uchar value, bool *written);
    // Writes the bytes in one call; true once the port has nothing left to
    // write within `waitMs` (nothing to write counts as written).
    bool writeConsoleBytes(const QByteArray &bytes, int waitMs);
    // Whether bytes are there to read: those already held, or new ones
    // within `waitMs`.
    bool waitForData(int waitMs);
    // The console wait: up to `cycles` of a pause and a read wait, until the
    // text holds one of `words` (upper-cased text, or the bytes themselves when
    // `raw`). Returns the index of the word found, or -1.
    int waitForConsoleText(const QList<QByteArray> &words, int cycles = 10, int pauseMs = 250, int readMs = 50,
                           bool raw = false, bool clearFirst = true);
    QString bufferText() const;
    QString upperBufferText() const;
    // The outcome lines of a wait: the text, then the buffer (simplified).
    void reportWait(const QString &text, const QString &prefix);
    // Sends `data`; on failure logs `failure` and gives false.
    bool sendOrLog(const QByteArray &data, const QString &failure);
    bool entryCancelled();
    void cancelEntry(bool clearPort);
    // The entry's end on a port that is gone, with its log line.
    bool entryLost();
    // Sends a carriage return and reads chunks until one holds a prompt.
    bool confirmPrompt(const char *prompts);
    bool enterServoBootloader(bool *packetBootloader);
    // After a missed load wait: whether the answer was "ERROR" (then logged).
    bool loadRefused();
    // The closing lines of a load and its result.
    bool loadOutcome(bool ready);
    bool enterBoardBootloader();
    bool blockTransfer(const QByteArray &image);
    bool streamTransfer(QByteArray image);
    bool finaleServo(bool reset);
    void failWith(const QList<QByteArray> &commands, const QString &text);

    QDeadlineTimer armedEntryDeadline{QDeadlineTimer::Forever};
    bool entryDeadlineArmed = false;
    QDeadlineTimer entryDeadline;
};

Q_DECLARE_METATYPE(QvxFirmware::UpdateParam)
