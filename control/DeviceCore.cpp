#include "control/DeviceCore.h"

#include "comm/CommResult.h"
#include "comm/ItemWidth.h"
#include "comm/QvxPort.h"
#include "control/ItemLookup.h"
#include "control/ResultTexts.h"
#include "device/DeviceConstants.h"
#include "device/QvxDeviceModel.h"
#include "device/QvxModelRegistry.h"

#include <QtEndian>

#include <limits>

DeviceCore::DeviceCore(QvxPort &transport, QvxModelRegistry &registry)
    : transport_(transport)
    , registry_(registry)
{
    tableBuffer_.fill(0);
}

BusReply DeviceCore::reply(int result, uchar error) const
{
    return BusReply{result, error, result == COMM_OK && hasStatusError(error, transport_.version())};
}

DeviceCore::Identity DeviceCore::identify(uchar id, bool verbose)
{
    Identity identity;
    int result = COMM_OK;
    {
        const QvxProtocolComm::Trace trace(transport_, verbose);
        result = transport_.ping(id, &identity.modelNumber, &identity.firmware, &identity.reply.error);
    }
    identity.reply = reply(result, identity.reply.error);
    if (identity.reply.ok())
        identity.model = registry_.find(identity.modelNumber, identity.firmware);
    return identity;
}

DeviceCore::ItemRead DeviceCore::readItem(uchar id, const QvxControlItem &item, bool verbose)
{
    ItemRead read;
    if (!isTransferWidth(item.length)) {
        read.widthSupported = false;
        return read;
    }
    uchar error = 0;
    int result = COMM_OK;
    {
        const QvxProtocolComm::Trace trace(transport_, verbose);
        result = readByWidth(transport_, id, item.address, item.length, &read.value, &error);
    }
    read.reply = reply(result, error);
    return read;
}

DeviceCore::ItemWrite DeviceCore::writeItem(uchar id, const QvxControlItem &item, int value, int length, bool verbose)
{
    ItemWrite write;
    if (!isTransferWidth(length)) {
        write.refused = ItemWrite::UnsupportedWidth;
        return write;
    }
    std::tie(write.lowest, write.highest) = writableRange(length);
    if (value < write.lowest || value > write.highest) {
        write.refused = ItemWrite::OutOfRange;
        return write;
    }
    uchar error = 0;
    int result = COMM_OK;
    {
        const QvxProtocolComm::Trace trace(transport_, verbose);
        result = writeByWidth(transport_, id, item.address, length, value, &error);
    }
    write.reply = reply(result, error);
    return write;
}

DeviceCore::TableRead DeviceCore::readTable(uchar id, const QvxDeviceModel &model, int start, int end, bool verbose)
{
    TableRead table;
    // The buffer is fixed; a larger table (only a description of the override
    // folder can have one) is refused rather than read past its end.
    if (model.tableSize > kTableBufferSize) {
        table.tooLarge = true;
        return table;
    }
    uchar error = 0;
    const int result = transport_.readVerbose(id, model.tableSize, tableBuffer_.data(), &error, verbose);
    table.reply = reply(result, error);
    if (!table.reply.ok())
        return table;
    const QByteArray image(reinterpret_cast<const char *>(tableBuffer_.data()), model.tableSize);
    const QList<QvxControlItem *> items = itemsInOrder(model);
    for (QvxControlItem *item : items)
        decodeItemValue(item, image);
    const bool wholeTable = start == 0 && end == 65535;
    for (QvxControlItem *item : items) {
        const int lastByte = item->address + item->length - 1;
        if (!item->hidden && (wholeTable || (lastByte >= start && item->address <= end)))
            table.rows.append(item);
    }
    return table;
}

template <class Command>
BusReply DeviceCore::withCompletion(DeviceCompletion completed, Command command)
{
    uchar error = 0;
    const int result = withDeviceError(transport_, completed, &error, command);
    return reply(result, error);
}

BusReply DeviceCore::reset(uchar id, bool verbose)
{
    const QvxProtocolComm::Trace trace(transport_, verbose);
    return withCompletion(&QvxComm::resetCompleted, [&] { return transport_.reset(id); });
}

BusReply DeviceCore::reboot(uchar id, bool verbose)
{
    const QvxProtocolComm::Trace trace(transport_, verbose);
    return withCompletion(&QvxComm::rebootCompleted, [&] { return transport_.reboot(id); });
}

BusReply DeviceCore::clear(uchar id, int parameter, bool verbose)
{
    if (parameter == 10) // never traced
        return withCompletion(&QvxComm::multiturnClearCompleted, [&] { return transport_.multiturnClear(id, 0); });
    const QvxProtocolComm::Trace trace(transport_, verbose);
    return withCompletion(&QvxComm::clearCompleted, [&] { return transport_.clear(id, uchar(parameter)); });
}

const std::array<DeviceCore::StatusRow, 13> &DeviceCore::statusRows()
{
    static const std::array<StatusRow, 13> rows = {{
        {"Operating Mode", "operating_mode", kItemOperatingMode},
        {"Torque", "torque", kItemTorqueEnable},
        {"LED", "led", kItemLed},
        {"Hardware Error", "hardware_error", kItemHardwareErrorStatus},
        {"Position", "position", kItemPresentPosition},
        {"Velocity", "velocity", kItemPresentVelocity},
        {"Speed", "speed", kItemPresentSpeed},
        {"Current", "current", kItemPresentCurrent},
        {"Load", "load", kItemPresentLoad},
        {"Voltage", "voltage", kItemPresentInputVoltage},
        {"Temperature", "temperature", kItemPresentTemperature},
        {"Inverter TEMP", "inverter_temperature", kItemPresentInverterTemperature},
        {"Motor TEMP", "motor_temperature", kItemPresentMotorTemperature},
    }};
    return rows;
}

std::pair<int, int> DeviceCore::writableRange(int length)
{
    switch (length) {
    case 1:
        return {-128, 255};
    case 2:
        return {-32768, 65535};
    default:
        return {std::numeric_limits<int>::min(), std::numeric_limits<int>::max()};
    }
}

void DeviceCore::decodeItemValue(QvxControlItem *item, const QByteArray &table)
{
    if (!item || !isTransferWidth(item->length))
        return;
    if (item->address + item->length > table.size()) {
        item->value = 0;
        return;
    }
    const auto *bytes = reinterpret_cast<const uchar *>(table.constData()) + item->address;
    switch (item->length) {
    case 1:
        item->value = bytes[0];
        break;
    case 2:
        item->value = qFromLittleEndian<quint16>(bytes);
        break;
    default:
        item->value = qFromLittleEndian<qint32>(bytes);
        break;
    }
}

QString DeviceCore::tableTooLargeText(const QvxDeviceModel &model)
{
    return QStringLiteral("Control table of %1 is %2 bytes, larger than the %3 bytes a table read holds")
        .arg(model.name, QString::number(model.tableSize), QString::number(kTableBufferSize));
}
