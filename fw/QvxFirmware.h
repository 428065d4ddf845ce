#pragma once
// The serial transport that the device operations use for every bus exchange,
// and the engine of the firmware update: a QvxPort that adds the update order
// record, the table of replacement images found on disk, the classification of
// a model into its bootloader dialect and the signals through which an update
// reports progress and outcome.
//
// The update, recovery and calibration procedures come with their own work:
// until then their slots report failure ("Failed") and touch nothing.

#include "comm/QvxPort.h"

#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>

#include <array>

class QvxFirmware : public QvxPort
{
    Q_OBJECT

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

    int deviceType = 2; // bootloader dialect of the model being updated
    bool cancelRequested = false;
    QMap<QString, QString> externalImages; // image path by model name, read once
    QByteArray consoleBuffer; // what the bootloader console printed during the current wait

public slots:
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
};

Q_DECLARE_METATYPE(QvxFirmware::UpdateParam)
