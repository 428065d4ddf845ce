// QvxControl as the device backend of script mode: every operation answers
// with a CommandResult (data keyed in lower snake case, or an error code with
// a message and details) and prints nothing but the packet trace it is asked
// for. Waits for devices end early through the runner's CancellationToken.

#include "control/QvxControl.h"

#include "comm/CommResult.h"
#include "control/ItemLookup.h"
#include "control/ItemValue.h"
#include "control/ItemValueDescription.h"
#include "device/DeviceConstants.h"
#include "device/ItemRules.h"
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
    return resultFromReply(id, core_.reply(result, error));
}

CommandResult QvxControl::resultFromReply(int id, const BusReply &reply) const
{
    return script::resultFromBus(id, reply.result, reply.error, communicationResultName(reply.result),
                                 reply.statusError, reply.statusError ? statusErrorText(reply.error) : QString());
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
    const DeviceCore::Identity identity = core_.identify(uchar(id), verbose);
    *modelNumber = identity.modelNumber;
    *firmware = identity.firmware;
    const CommandResult answer = resultFromReply(id, identity.reply);
    if (!answer.ok)
        return answer;
    *model = identity.model;
    if (!*model)
        return CommandResult::failure(script::kErrorControlTableNotFound,
                                      QStringLiteral("Control table not found for model %1").arg(*modelNumber),
                                      {{QStringLiteral("id"), id}, {QStringLiteral("model_number"), int(*modelNumber)}});
    lastId_ = id;
    return CommandResult::success(deviceToMap(id, *modelNumber, *firmware, *model));
}

QVariantMap QvxControl::itemToMap(QvxControlItem *item, const QvxDeviceModel *model)
{
    // The sign rule judged by the values the model's items hold now; the
    // number is wide enough for an unsigned 4-byte value.
    const qint64 number = applySignRule(*item, ItemRules(model));
    const script::ItemValueDescription description = script::describeItemValue(*item, number);
    QVariantMap map{
        {QStringLiteral("name"), item->name},
        {QStringLiteral("address"), int(item->address)},
        {QStringLiteral("length"), int(item->length)},
        {QStringLiteral("access"), item->rw == 3 ? QStringLiteral("rw") : QStringLiteral("r")},
        {QStringLiteral("memory"), item->memory == 1   ? QStringLiteral("eeprom")
                                   : item->memory == 2 ? QStringLiteral("ram")
                                                       : QStringLiteral("unknown")},
        {QStringLiteral("value"), number},
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
    const DeviceCore::ItemRead read = core_.readItem(uchar(id), *item, verbose);
    if (!read.widthSupported)
        return CommandResult::failure(script::kErrorInvalidArgument, kUnsupportedLength);
    const CommandResult answer = resultFromReply(id, read.reply);
    if (!answer.ok)
        return answer;
    item->value = read.value;
    *itemMap = itemToMap(item, model);
    return CommandResult::success();
}

CommandResult QvxControl::findItemResult(const QvxDeviceModel *model, const QString &name, QvxControlItem **item)
{
    *item = nullptr;
    // The lower-case map finds the name at once, unless two names differ only
    // in case (then the first of them in key order is the one meant).
    if (!model->itemNamesDifferInCaseOnly) {
        QvxControlItem *named = model->itemsByLowerName.value(name.toLower());
        if (named && named->name.compare(name, Qt::CaseInsensitive) == 0) {
            *item = named;
            return CommandResult::success();
        }
    }
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

CommandResult QvxControl::deviceCommandResult(int id, int parameter, const BusReply &reply) const
{
    const CommandResult answer = resultFromReply(id, reply);
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

bool QvxControl::commandCancelled() const
{
    return transport_->token && transport_->token->cancelled();
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
        const DeviceCore::Identity identity = core_.identify(uchar(id), verbose);
        if (identity.reply.result == COMM_RX_TIMEOUT)
            continue; // a silent ID
        const CommandResult answer = resultFromReply(id, identity.reply);
        if (!answer.ok)
            return answer;
        devices.append(deviceToMap(id, identity.modelNumber, identity.firmware, identity.model));
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
    auto [lower, upper] = DeviceCore::writableRange(item->length);
    if (const std::optional<int> minimum = wholeLimit(item->min))
        lower = std::max(lower, *minimum);
    if (const std::optional<int> maximum = wholeLimit(item->max))
        upper = std::min(upper, *maximum);
    if (value < lower || value > upper)
        return CommandResult::failure(
            script::kErrorInvalidArgument,
            QStringLiteral("Value for %1 must be between %2 and %3").arg(item->name, QString::number(lower), QString::number(upper)),
            {{QStringLiteral("minimum"), lower}, {QStringLiteral("maximum"), upper}, {QStringLiteral("value"), value}});
    const DeviceCore::ItemWrite write = core_.writeItem(uchar(id), *item, value, item->length, verbose);
    if (write.refused != DeviceCore::ItemWrite::None) // the range above holds, so only the width is left
        return CommandResult::failure(script::kErrorInvalidArgument, kUnsupportedLength);
    const CommandResult written = resultFromReply(id, write.reply);
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
    const DeviceCore::TableRead table = core_.readTable(uchar(id), *model, start, end, verbose);
    if (table.tooLarge)
        return CommandResult::failure(script::kErrorInvalidArgument, DeviceCore::tableTooLargeText(*model));
    const CommandResult read = resultFromReply(id, table.reply);
    if (!read.ok)
        return read;
    QVariantList items;
    for (QvxControlItem *item : table.rows)
        items.append(itemToMap(item, model));
    insertAll(device.data, {{QStringLiteral("range"), rangeMap(start, end)}, {QStringLiteral("items"), items}});
    return device;
}

CommandResult QvxControl::status(int id)
{
    const QvxDeviceModel *model = nullptr;
    CommandResult device = findDevice(id, false, &model);
    if (!device.ok)
        return device;
    QVariantList items;
    for (const DeviceCore::StatusRow &row : DeviceCore::statusRows()) {
        QvxControlItem *item = model->itemsByName.value(row.item);
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
    return deviceCommandResult(id, 0, core_.reset(uchar(id), verbose));
}

CommandResult QvxControl::reboot(int id, bool verbose)
{
    if (auto failure = portNotOpen())
        return *failure;
    return deviceCommandResult(id, 0, core_.reboot(uchar(id), verbose));
}

CommandResult QvxControl::clear(int id, int parameter, bool verbose)
{
    if (auto failure = portNotOpen())
        return *failure;
    return deviceCommandResult(id, parameter, core_.clear(uchar(id), parameter, verbose));
}
