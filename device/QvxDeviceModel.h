#pragma once
// One model's description as loaded from its XML file: identity, control table
// (items, categories and the lookup maps), modes, error codes, releases and the
// self-diagnosis limits. Plain value types; the items themselves belong to the
// model registry, so copying a model shares its items.

#include "device/QvxControlItem.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

struct QvxItemCategory
{
    QString name;
    QList<QvxControlItem *> items;
    bool hidePrefix = false; // the category name was not put in front of its items' names
};

struct QvxDeviceMode
{
    QString name;
    QString set;       // assignments that select the mode, "addr<N>=<value>,..."
    QString condition; // the test that recognises it
};

struct QvxErrorCode
{
    QString code; // as written, leading zeros included
    QString name;
};

struct QvxReleaseNote
{
    int version = 0;
    QString date;
    QString fileName; // image base name, without folder or suffix
    QString note;
    bool enable = false;  // counts for the latest version and image path
    bool encrypt = false; // image stored as ".ecp" rather than ".bin"
};

struct QvxModelKey
{
    quint16 modelNumber = 0;
    int minimumVersion = 0;
};

inline bool operator<(const QvxModelKey &a, const QvxModelKey &b)
{
    return a.modelNumber != b.modelNumber ? a.modelNumber < b.modelNumber : a.minimumVersion < b.minimumVersion;
}
inline bool operator==(const QvxModelKey &a, const QvxModelKey &b)
{
    return a.modelNumber == b.modelNumber && a.minimumVersion == b.minimumVersion;
}

struct QvxDeviceModel
{
    QString name;
    QString bootLoaderName;
    quint16 modelNumber = 0;
    double angleRange = 360; // degrees
    QString type;            // kDeviceTypeProtocol1, ...Protocol2, ...Modbus, ...Controller or "Unknown"
    int minMaxType = 0;
    int positionMin = 0;
    int positionMax = 0;
    int resolution = 0; // already multiplied by the gear ratio
    int multiturnClear = 0;
    int modbusCommand = 0;
    int minimumVersion = 0; // lowest firmware version this description applies to
    QString urdfName;
    QString imgName;
    int masterIdAddr = 0;
    bool isMaster = false;
    int baudRateBusAddress = 0; // of a master model only
    int baudRateQvxAddress = 0; // of a master model only
    bool supportsAiHands = false;
    QString emanual;
    int easy = 0;
    QList<int> handJointPerFinger{4, 4, 4, 4, 4}; // always five fingers, 0 to 4 joints each
    int fingerCount = 5;
    int jointSum = 20;
    QList<QvxControlItem *> items; // top-level items, in document order
    QList<QvxItemCategory> categories;
    QList<QvxDeviceMode> modes;
    QList<QvxReleaseNote> releaseNotes;
    QList<QvxErrorCode> errorCodes;
    int multiturnMin = 0;
    int multiturnMax = 0;
    // Control-table byte addresses of the Modbus command registers.
    quint16 modbusResetRegister = 0;
    quint16 modbusRebootRegister = 0;
    quint16 modbusClearRegister = 0;
    quint16 modbusBackupRegister = 0;
    quint16 modbusBootEntryRegister = 0;
    // Self-diagnosis: the blocks it dumps and logs, and what it accepts.
    quint16 dumpAddress = 0;
    quint16 dumpLength = 0;
    quint16 logAddress = 0;
    quint16 logLength = 0;
    int positionThreshold = 0;
    double velocityRpm = 0;
    double velocityVoltage = 0;
    int temperatureMin = -5;
    int temperatureMax = 80;
    int voltageMin = 100;
    int voltageMax = 200;
    int voltageRecommended = 120;
    quint8 latestFirmwareVersion = 0;
    QString firmwarePath; // resource path of the latest enabled release's image
    quint16 tableSize = 0; // bytes: highest item address plus that item's length
    // Later items win: two items at one address (or with one name) leave the later in the map.
    QMap<int, QvxControlItem *> itemsByAddress;
    QMap<QString, QvxControlItem *> itemsByName;
    QMap<QString, QvxControlItem *> itemsByLowerName;
    // Two names that differ only in case: itemsByLowerName then keeps the later item.
    bool itemNamesDifferInCaseOnly = false;
    QString cautionEn;
    QString cautionKr;
    bool external = false; // loaded from the working folder rather than the built-in set

    // A number assembled little-endian from the byte-wide items that begin at
    // start's address, `item->length` bytes wide, with item's sign rules.
    int valueFromByteItems(const QvxControlItem *start, const QvxControlItem *item) const;
    // The item that an "Indirect Data <n>" item mirrors, found through the
    // "Indirect Address" slots; `item` itself when it mirrors none.
    QvxControlItem *resolveIndirectItem(QvxControlItem *item) const;
};

// The values of `map`, sorted by UTF-16 code units.
QStringList sortedValues(const QMap<int, QString> &map);
