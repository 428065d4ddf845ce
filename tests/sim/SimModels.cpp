#include "tests/sim/SimModels.h"

#include "device/DeviceConstants.h"
#include "device/QvxModelRegistry.h"

#include <mutex>

namespace sim {

namespace {

QByteArray littleEndian(qint64 value, int length)
{
    QByteArray bytes(length, '\0');
    for (int i = 0; i < length && i < 8; ++i)
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
}

// The built-in descriptions, loaded once for every simulated bus.
QvxModelRegistry &builtInRegistry()
{
    static QvxModelRegistry registry;
    static std::once_flag loaded;
    std::call_once(loaded, [] { registry.load(QStringLiteral(":/device/assets/xml/"), false); });
    return registry;
}

} // namespace

Device deviceFromModel(const QvxDeviceModel &model, quint8 id, quint8 firmware)
{
    Device d;
    d.id = id;
    d.protocol = model.type == kDeviceTypeProtocol1 ? Protocol::V1 : Protocol::V2;
    d.modelNumber = model.modelNumber;
    d.firmware = firmware;
    d.table = QByteArray(model.tableSize, '\0');
    d.initialTable = d.table;
    for (const QvxControlItem *item : model.itemsByAddress)
        d.setInitial(item->address, littleEndian(static_cast<quint32>(item->init), item->length));

    auto place = [&](const QString &name, qint64 value) {
        const QvxControlItem *item = model.itemsByName.value(name);
        if (item)
            d.setInitial(item->address, littleEndian(value, item->length));
        return item;
    };
    place(kItemModelNumber, model.modelNumber);
    if (const QvxControlItem *fwItem = place(kItemFirmwareVersion, firmware))
        d.firmwareAddress = fwItem->address;
    if (const QvxControlItem *idItem = place(kItemId, id))
        d.idAddress = idItem->address;
    return d;
}

bool hasBuiltInDescription(quint16 modelNumber)
{
    return !builtInRegistry().versions().value(modelNumber).isEmpty();
}

std::optional<Device> builtInDevice(quint16 modelNumber, quint8 id, std::optional<int> firmware, QString *error)
{
    QvxModelRegistry &registry = builtInRegistry();
    const QList<int> versions = registry.versions().value(modelNumber);
    if (versions.isEmpty()) {
        *error = QStringLiteral("no built-in description of model %1").arg(modelNumber);
        return std::nullopt;
    }
    int version = firmware.value_or(-1);
    if (!firmware) {
        const QvxDeviceModel *newest = registry.find(modelNumber, versions.last());
        version = newest && newest->latestFirmwareVersion != 0 ? newest->latestFirmwareVersion : versions.last();
    }
    const QvxDeviceModel *model = registry.find(modelNumber, version);
    if (!model) {
        *error = QStringLiteral("model %1 has no description for firmware %2").arg(modelNumber).arg(version);
        return std::nullopt;
    }
    if (model->type == kDeviceTypeModbus) {
        *error = QStringLiteral("model %1 is a Modbus device; the simulated bus speaks protocols 1.0 and 2.0")
                     .arg(modelNumber);
        return std::nullopt;
    }
    return deviceFromModel(*model, id, static_cast<quint8>(version));
}

} // namespace sim
