// QvxControl as the device backend of script mode: every operation answers
// with a CommandResult (data keyed in lower snake case, or an error code with
// a message and details) and prints nothing but the packet trace it is asked
// for. Waits for devices end early through the runner's CancellationToken.

#include "control/QvxControl.h"

#include "comm/CommResult.h"
#include "control/ItemLookup.h"
#include "device/DeviceConstants.h"
#include "control/ItemValueDescription.h"
#include "device/QvxDeviceModel.h"
#include "fw/QvxFirmware.h"
#include "script/backend/ErrorCodes.h"

#include <QVariantList>

#include <algorithm>
#include <limits>

using script::CommandResult;

namespace {

const QString kOperationCancelled = QStringLiteral("Operation cancelled");
const QString kUnsupportedLength = QStringLiteral("Unsupported item length");

QVariantMap rangeMap(int start, int end)
{
    return {{QStringLiteral("start"), start}, {QStringLiteral("end"), end}};
}

QVariantMap acknowledged(int id, int parameter)
{
    return {
        {QStringLiteral("id"), id},
        {QStringLiteral("parameter"), parameter},
        {QStringLiteral("acknowledged"), true},
    };
}

void insertAll(QVariantMap &map, const QVariantMap &more)
{
    for (auto it = more.constBegin(); it != more.constEnd(); ++it)
        map.insert(it.key(), it.value());
}

// The decimal limit a description gives, when it is one that fits an int.
std::optional<int> wholeLimit(const QString &text)
{
    bool ok = false;
    const qlonglong number = text.toLongLong(&ok, 10);
    if (!ok || number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(number);
}

struct StatusItem
{
    const char *key;
    const QString &name;
};

} // namespace

// ----- The pieces

QVariantMap QvxControl::deviceToMap(int id, ushort modelNumber, uchar firmware, const QvxDeviceModel *model)
{
    return {
        {QStringLiteral("id"), id},
        {QStringLiteral("model_number"), int(modelNumber)},
        {QStringLiteral("model"), model ? model->name : QStringLiteral("Unknown")},
        {QStringLiteral("firmware"), int(firmware)},
    };
}

CommandResult QvxControl::resultFromCommunication(int id, int result, uchar error) const
{
    const QString protocol = transport_->version();
    const bool statusError = result == COMM_OK && hasStatusError(error, protocol);
    return script::resultFromBus(id, result, error, communicationResultName(result), statusError,
                                 statusError ? statusErrorText(error, protocol) : QString());
}

std::optional<CommandResult> QvxControl::portNotOpen() const
{
    if (isPortOpen())
        return std::nullopt;
    return CommandResult::failure(script::kErrorPortNotOpen, QStringLiteral("Port is not open"));
}

CommandResult QvxControl::findDeviceResult(int id, bool verbose, ushort *modelNumber, uchar *firmware,
                                           const QvxDeviceModel **model)
{
    *modelNumber = 0;
    *firmware = 0;
    *model = nullptr;
    if (auto failure = portNotOpen())
        return *failure;
    uchar error = 0;
    setTrace(verbose);
    const int result = transport_->ping(uchar(id), modelNumber, firmware, &error);
    setTrace(false);
    const CommandResult answer = resultFromCommunication(id, result, error);
    if (!answer.ok)
        return answer;
    *model = registry_.find(*modelNumber, *firmware);
    if (!*model)
        return CommandResult::failure(script::kErrorControlTableNotFound,
                                      QStringLiteral("Control table not found for model %1").arg(*modelNumber),
                                      {{QStringLiteral("id"), id}, {QStringLiteral("model_number"), int(*modelNumber)}});
    lastId_ = id;
    return CommandResult::success(deviceToMap(id, *modelNumber, *firmware, *model));
}

QVariantMap QvxControl::itemToMap(QvxControlItem *item, const QvxDeviceModel *model)
{
    item->applySign(model);
    const script::ItemValueDescription description =
        script::describeItemValue(qint64(item->value), item->length, item->ui, item->labels, item->scale);
    QVariantMap map{
        {QStringLiteral("name"), item->name},
        {QStringLiteral("address"), int(item->address)},
        {QStringLiteral("length"), int(item->length)},
        {QStringLiteral("access"), item->rw == 3 ? QStringLiteral("rw") : QStringLiteral("r")},
        {QStringLiteral("memory"), item->memory == 1   ? QStringLiteral("eeprom")
                                   : item->memory == 2 ? QStringLiteral("ram")
                                                       : QStringLiteral("unknown")},
        {QStringLiteral("value"), item->value},
        {QStringLiteral("display_value"), description.displayValue},
        {QStringLiteral("unit"), item->unit},
    };
    if (description.isBitField)
        map.insert(QStringLiteral("active_flags"), description.activeFlags);
    return map;
}

CommandResult QvxControl::readItemResult(int id, QvxControlItem *item, const QvxDeviceModel *model, bool verbose,
                                         QVariantMap *itemMap)
{
    if (!isTransferWidth(item->length))
        return CommandResult::failure(script::kErrorInvalidArgument, kUnsupportedLength);
    int value = 0;
    uchar error = 0;
    const int result = readRaw(uchar(id), *item, &value, &error, verbose);
    const CommandResult answer = resultFromCommunication(id, result, error);
    if (!answer.ok)
        return answer;
    item->value = value;
    *itemMap = itemToMap(item, model);
    return CommandResult::success();
}

CommandResult QvxControl::findItemResult(const QvxDeviceModel *model, const QString &name, QvxControlItem **item)
{
    *item = nullptr;
    // The name map holds every item, hidden ones included, in ascending key order.
    for (auto it = model->itemsByName.constBegin(); it != model->itemsByName.constEnd(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0) {
            *item = it.value();
            return CommandResult::success();
        }
    }
    QStringList matches;
    for (auto it = model->itemsByName.constBegin(); it != model->itemsByName.constEnd(); ++it)
        if (it.key().contains(name, Qt::CaseInsensitive) && !matches.contains(it.key()))
            matches.append(it.key());
    if (matches.isEmpty())
        return CommandResult::failure(script::kErrorItemNotFound,
                                      QStringLiteral("Control table item not found: %1").arg(name));
    if (matches.size() > 1)
        return CommandResult::failure(script::kErrorAmbiguousItem, QStringLiteral("Item name is ambiguous: %1").arg(name),
                                      {{QStringLiteral("matches"), matches}});
    *item = model->itemsByName.value(matches.constFirst());
    return CommandResult::success();
}

CommandResult QvxControl::findDevice(int id, bool verbose, const QvxDeviceModel **model)
{
    ushort modelNumber = 0;
    uchar firmware = 0;
    return findDeviceResult(id, verbose, &modelNumber, &firmware, model);
}

CommandResult QvxControl::findDeviceAndItem(int id, const QString &name, bool verbose, const QvxDeviceModel **model,
                                            QvxControlItem **item)
{
    const CommandResult device = findDevice(id, verbose, model);
    if (!device.ok)
        return device;
    const CommandResult found = findItemResult(*model, name, item);
    return found.ok ? device : found;
}

bool QvxControl::scanCancelled() const
{
    if (transport_->cancelFlagPointer && transport_->cancelFlagPointer->load())
        return true;
    // The engines hold the same lent token; their test is the one meaning of it.
    return transport_->qvx_protocol->isCancelled();
}

CommandResult QvxControl::deviceCommandResult(int id, int parameter, int result) const
{
    // The transport hands back no device error byte for these commands.
    const CommandResult answer = resultFromCommunication(id, result, 0);
    return answer.ok ? CommandResult::success(acknowledged(id, parameter)) : answer;
}

// ----- The operations

void QvxControl::beginCommand(CancellationToken *token)
{
    transport_->setCancellationToken(token);
}

void QvxControl::endCommand()
{
    transport_->clearCancellationToken();
}

CommandResult QvxControl::listPorts()
{
    QVariantList ports;
    for (const PortEntry &entry : availablePorts())
        ports.append(QVariantMap{{QStringLiteral("name"), entry.name}, {QStringLiteral("title"), entry.title}});
    return CommandResult::success({{QStringLiteral("ports"), ports}});
}

CommandResult QvxControl::open(const QString &port, int baudrate)
{
    closePort();
    if (baudrate < 1 || !openPort(port, uint(baudrate)))
        return CommandResult::failure(script::kErrorPortOpenFailed, QStringLiteral("Failed to open port %1").arg(port),
                                      {{QStringLiteral("port"), port}, {QStringLiteral("baudrate"), baudrate}});
    return CommandResult::success({{QStringLiteral("port"), port}, {QStringLiteral("baudrate"), baudrate}});
}

CommandResult QvxControl::close()
{
    const bool wasOpen = isPortOpen();
    const QString name = portName_;
    closePort();
    return CommandResult::success({{QStringLiteral("port"), name}, {QStringLiteral("was_open"), wasOpen}});
}

CommandResult QvxControl::setProtocol(const QString &version)
{
    transport_->setProtocolVersion(version);
    return CommandResult::success({{QStringLiteral("version"), version}});
}

CommandResult QvxControl::setNetworkDelay(int milliseconds)
{
    transport_->setTimeout(milliseconds);
    return CommandResult::success({{QStringLiteral("network_delay_ms"), milliseconds}});
}

CommandResult QvxControl::scan(int start, int end, bool hasRange, bool verbose)
{
    if (auto failure = portNotOpen())
        return *failure;
    if (!hasRange) {
        start = 0;
        end = 252;
    }
    QVariantList devices;
    for (int id = start; id <= end; ++id) {
        if (scanCancelled())
            return CommandResult::failure(script::kErrorCommunication, kOperationCancelled);
        ushort modelNumber = 0;
        uchar firmware = 0;
        uchar error = 0;
        setTrace(verbose);
        const int result = transport_->ping(uchar(id), &modelNumber, &firmware, &error);
        setTrace(false);
        if (result == COMM_RX_TIMEOUT)
            continue; // a silent ID
        const CommandResult answer = resultFromCommunication(id, result, error);
        if (!answer.ok)
            return answer;
        devices.append(deviceToMap(id, modelNumber, firmware, registry_.find(modelNumber, firmware)));
    }
    return CommandResult::success({{QStringLiteral("range"), rangeMap(start, end)}, {QStringLiteral("devices"), devices}});
}

CommandResult QvxControl::ping(int id, bool verbose)
{
    const QvxDeviceModel *model = nullptr;
    return findDevice(id, verbose, &model);
}

CommandResult QvxControl::get(int id, const QString &name, bool verbose)
{
    const QvxDeviceModel *model = nullptr;
    QvxControlItem *item = nullptr;
    CommandResult device = findDeviceAndItem(id, name, verbose, &model, &item);
    if (!device.ok)
        return device;
    QVariantMap itemMap;
    const CommandResult read = readItemResult(id, item, model, verbose, &itemMap);
    if (!read.ok)
        return read;
    device.data.insert(QStringLiteral("item"), itemMap);
    return device;
}

CommandResult QvxControl::set(int id, const QString &name, int value, bool verbose)
{
    const QvxDeviceModel *model = nullptr;
    QvxControlItem *item = nullptr;
    CommandResult device = findDeviceAndItem(id, name, verbose, &model, &item);
    if (!device.ok)
        return device;
    if (item->rw != 3)
        return CommandResult::failure(script::kErrorInvalidArgument, QStringLiteral("Item is read-only"));

    // The item's width bounds the value; a whole-number limit of its description narrows that.
    auto [lower, upper] = writableRange(item->length);
    if (const std::optional<int> minimum = wholeLimit(item->min))
        lower = std::max(lower, *minimum);
    if (const std::optional<int> maximum = wholeLimit(item->max))
        upper = std::min(upper, *maximum);
    if (value < lower || value > upper)
        return CommandResult::failure(
            script::kErrorInvalidArgument,
            QStringLiteral("Value for %1 must be between %2 and %3").arg(item->name).arg(lower).arg(upper),
            {{QStringLiteral("minimum"), lower}, {QStringLiteral("maximum"), upper}, {QStringLiteral("value"), value}});
    if (!isTransferWidth(item->length))
        return CommandResult::failure(script::kErrorInvalidArgument, kUnsupportedLength);

    uchar error = 0;
    const int result = writeRaw(uchar(id), *item, value, item->length, &error, verbose);
    const CommandResult written = resultFromCommunication(id, result, error);
    if (!written.ok)
        return written;
    item->value = value; // not read back
    insertAll(device.data, {
                               {QStringLiteral("item"), itemToMap(item, model)},
                               {QStringLiteral("value"), value},
                               {QStringLiteral("acknowledged"), true},
                           });
    return device;
}

CommandResult QvxControl::table(int id, int start, int end, bool verbose)
{
    const QvxDeviceModel *model = nullptr;
    CommandResult device = findDevice(id, verbose, &model);
    if (!device.ok)
        return device;
    // Only a description of the override folder can be larger than the buffer; it is refused, never read past it.
    if (model->tableSize > kTableBufferSize)
        return CommandResult::failure(script::kErrorInvalidArgument, tableTooLargeText(*model));
    uchar error = 0;
    const int result = transport_->readVerbose(uchar(id), model->tableSize, tableBuffer_.data(), &error, verbose);
    const CommandResult read = resultFromCommunication(id, result, error);
    if (!read.ok)
        return read;

    // Every item takes its value from the image first: the sign rule of an item
    // in the range may look at one outside it, which must not show an older value.
    const QByteArray image(reinterpret_cast<const char *>(tableBuffer_.data()), model->tableSize);
    const QList<QvxControlItem *> all = itemsInOrder(*model);
    for (QvxControlItem *item : all)
        decodeItemValue(item, image);
    QVariantList items;
    for (QvxControlItem *item : all) {
        if (!item->hidden && item->address <= end && item->address + item->length > start)
            items.append(itemToMap(item, model));
    }
    insertAll(device.data, {{QStringLiteral("range"), rangeMap(start, end)}, {QStringLiteral("items"), items}});
    return device;
}

CommandResult QvxControl::status(int id)
{
    const QvxDeviceModel *model = nullptr;
    CommandResult device = findDevice(id, false, &model);
    if (!device.ok)
        return device;
    const StatusItem rows[] = {
        {"operating_mode", kItemOperatingMode},
        {"torque", kItemTorqueEnable},
        {"led", kItemLed},
        {"hardware_error", kItemHardwareErrorStatus},
        {"position", kItemPresentPosition},
        {"velocity", kItemPresentVelocity},
        {"speed", kItemPresentSpeed},
        {"current", kItemPresentCurrent},
        {"load", kItemPresentLoad},
        {"voltage", kItemPresentInputVoltage},
        {"temperature", kItemPresentTemperature},
        {"inverter_temperature", kItemPresentInverterTemperature},
        {"motor_temperature", kItemPresentMotorTemperature},
    };
    QVariantList items;
    for (const StatusItem &row : rows) {
        QvxControlItem *item = model->itemsByName.value(row.name);
        if (!item)
            continue; // the model has no such item
        QVariantMap itemMap;
        const CommandResult read = readItemResult(id, item, model, false, &itemMap);
        if (!read.ok)
            return read;
        itemMap.insert(QStringLiteral("key"), QString::fromLatin1(row.key));
        items.append(itemMap);
    }
    device.data.insert(QStringLiteral("items"), items);
    return device;
}

CommandResult QvxControl::reset(int id, bool verbose)
{
    if (auto failure = portNotOpen())
        return *failure;
    setTrace(verbose);
    const int result = transport_->reset(uchar(id));
    setTrace(false);
    return deviceCommandResult(id, 0, result);
}

CommandResult QvxControl::reboot(int id, bool verbose)
{
    if (auto failure = portNotOpen())
        return *failure;
    setTrace(verbose);
    const int result = transport_->reboot(uchar(id));
    setTrace(false);
    return deviceCommandResult(id, 0, result);
}

CommandResult QvxControl::clear(int id, int parameter, bool verbose)
{
    if (auto failure = portNotOpen())
        return *failure;
    int result = COMM_OK;
    if (parameter == 10) {
        // The multi-turn clear is sent without a trace, also when one was asked for.
        result = transport_->multiturnClear(uchar(id), 0);
    } else {
        setTrace(verbose);
        result = transport_->clear(uchar(id), uchar(parameter));
        setTrace(false);
    }
    return deviceCommandResult(id, parameter, result);
}
