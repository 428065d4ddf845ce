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

QvxFirmware::Procedure QvxFirmware::procedureFor(const QString &deviceKind)
{
    if (deviceKind == kDeviceTypeProtocol1)
        return &QvxFirmware::updateProtocol1;
    if (deviceKind == kDeviceTypeProtocol2)
        return &QvxFirmware::updateProtocol2;
    if (deviceKind == kDeviceTypeModbus)
        return &QvxFirmware::updateModbus;
    if (deviceKind == kDeviceTypeController)
        return &QvxFirmware::updateController;
    return nullptr;
}

bool QvxFirmware::firmware_update(QvxFirmware::UpdateParam param)
{
    // The procedures switch protocols as the device needs them; afterwards
    // the caller speaks its own again, whichever way the update ended.
    const QString protocol = version();
    const bool done = runUpdate(param);
    setProtocolVersion(protocol);
    return done;
}

bool QvxFirmware::runUpdate(const UpdateParam &param)
{
    cancelRequested = false;
    port_held = true;
    const QString external = externalImages.value(param.modelName);
    const QString imagePath = external.isEmpty() ? param.firmwarePath : external;
    const Procedure procedure = procedureFor(param.deviceKind);
    // Read and checked once, before the device is told anything: a bad image
    // found after the restart would leave the device in its bootloader, and
    // what is sent is what was checked, whatever becomes of the file. Only a
    // protocol 1.0 servo is always flashed over the console, which counts no
    // blocks.
    Image image;
    if (procedure) {
        const QString problem =
            readImage(imagePath, param.modelName, procedure != &QvxFirmware::updateProtocol1, &image);
        if (!problem.isEmpty())
            return refuseUpdate(problem);
    }
    deviceType = classifyDevice(param.modelName);
    findController(param.portName);
    // Until its first write to the device the update can be cancelled (the
    // lent token: Ctrl+C in the console); so far only ID 200 was pinged.
    if (qvx_protocol->isCancelled())
        return failUpdate({}, tr("Canceled"));
    setTimeout(kUpdateLatencyMs); // the long waits of an update; it stays in force afterwards
    if (!procedure)
        return failUpdate({}, tr("Device Type is Unknown"));
    // From its first write it runs to its end, so that the device always
    // gets its rate and protocol back: the token is taken off meanwhile.
    CancellationToken *const lent = token;
    clearCancellationToken();
    const bool done = (this->*procedure)(param, image);
    if (lent)
        setCancellationToken(lent);
    return done;
}
