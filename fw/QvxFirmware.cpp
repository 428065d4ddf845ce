#include "fw/QvxFirmware.h"

#include "device/BaseConstants.h"
#include "device/DeviceConstants.h"

#include <QDir>
#include <QFileInfo>

namespace {

struct DialectRow
{
    QStringList prefixes; // tested in this order
    int deviceType;
};

// Servo series and family prefixes, the single servo model "QN-100" and the
// controller board "Tarlin". No prefix of one row begins a prefix of another,
// so a name fits at most one row.
const QList<DialectRow> &dialectRows()
{
    static const QList<DialectRow> rows{
        {{"VB", "VC", "VF", "VG"}, 0},
        {{"VH", "VP-", "VK", "VL", "QBL-", "QBK-", "QCL-", "QCK-", "QAL-", "QAK-"}, 1},
        {{"QN-100"}, 4},
        {{"QELR-", "QEKR-", "QDLR-", "QDKR-", "QGLS-", "QGKS-", "QFLS-", "QFKS-", "Quorvex", "QJA-"}, 3},
        {{"Tarlin"}, 5},
    };
    return rows;
}

constexpr int kGenericDialect = 2;
constexpr int kUpdateLatencyMs = 5000;

bool startsWithAny(const QString &name, const QStringList &prefixes)
{
    for (const QString &prefix : prefixes) {
        if (name.startsWith(prefix, Qt::CaseSensitive))
            return true;
    }
    return false;
}

} // namespace

QvxFirmware::QvxFirmware(bool listening)
    : QvxPort(listening, nullptr)
{
    qRegisterMetaType<QvxFirmware::UpdateParam>(); // firmware_update is reachable through the meta-object
    externalImages = replacementImages(replacementFolder());
}

QvxFirmware::~QvxFirmware() = default;

int QvxFirmware::classifyDevice(const QString &modelName)
{
    for (const DialectRow &row : dialectRows()) {
        if (startsWithAny(modelName, row.prefixes))
            return row.deviceType;
    }
    return kGenericDialect;
}

int QvxFirmware::calibrationDeviceType(const QString &modelName)
{
    return startsWithAny(modelName, {"VH", "VN", "VK", "VL"}) ? 1 : kGenericDialect;
}

QString QvxFirmware::replacementFolder()
{
    return kDataDirectory + QStringLiteral("/externalBIN");
}

QMap<QString, QString> QvxFirmware::replacementImages(const QString &folder)
{
    QMap<QString, QString> images;
    const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files, QDir::Name);
    for (const QFileInfo &file : files) {
        if (file.suffix().toUpper() != QStringLiteral("ECP"))
            continue;
        const QString baseName = file.baseName(); // up to the first "."
        images.insert(baseName.left(baseName.indexOf(QLatin1Char('_'))), file.filePath());
    }
    return images;
}

bool QvxFirmware::firmware_update(QvxFirmware::UpdateParam param)
{
    cancelRequested = false;
    port_held = true;
    const QString external = externalImages.value(param.modelName);
    const QString imagePath = external.isEmpty() ? param.firmwarePath : external;
    deviceType = classifyDevice(param.modelName);
    findController(param.portName);
    setTimeout(kUpdateLatencyMs); // the long waits of an update; it stays in force afterwards

    if (param.deviceKind == kDeviceTypeProtocol1)
        return updateProtocol1(param, imagePath);
    if (param.deviceKind == kDeviceTypeProtocol2)
        return updateProtocol2(param, imagePath);
    if (param.deviceKind == kDeviceTypeModbus)
        return updateModbus(param, imagePath);
    if (param.deviceKind == kDeviceTypeController)
        return updateController(param, imagePath);
    return failUpdate({}, tr("Device Type is Unknown"));
}
