#include "control/MultiAgingFeatures.h"

#include "comm/ItemWidth.h"
#include "comm/QvxComm.h"
#include "console/io/Console.h"
#include "device/ProtocolConstants.h"
#include "device/QvxControlItem.h"
#include "device/QvxDeviceModel.h"
#include "platform/FileName.h"

#include <QDateTime>
#include <QDir>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

struct ModeItems
{
    QString name;
    QStringList present; // first found wins
    QStringList goal;
};

ModeItems modeItems(int mode)
{
    switch (mode) {
    case 0: return {QStringLiteral("Position"), {QStringLiteral("Present Position")}, {QStringLiteral("Goal Position")}};
    case 1: return {QStringLiteral("PWM"), {QStringLiteral("Present PWM")}, {QStringLiteral("Goal PWM")}};
    case 2:
        return {QStringLiteral("Velocity"),
                {QStringLiteral("Present Velocity"), QStringLiteral("Present Speed")},
                {QStringLiteral("Goal Velocity"), QStringLiteral("Moving Speed")}};
    case 3: return {QStringLiteral("Current"), {QStringLiteral("Present Current")}, {QStringLiteral("Goal Current")}};
    default: return {};
    }
}

const QvxControlItem *firstItem(const QvxDeviceModel &model, const QStringList &names)
{
    for (const QString &name : names) {
        if (const QvxControlItem *item = model.itemsByName.value(name))
            return item;
    }
    return nullptr;
}

// `length` bytes little-endian from `data` at `offset`; bytes outside it read as 0.
quint32 littleEndian(const QByteArray &data, qint64 offset, int length)
{
    quint32 value = 0;
    for (int i = 0; i < length; ++i) {
        const qint64 at = offset + i;
        const quint32 byte = (at >= 0 && at < data.size()) ? static_cast<uchar>(data.at(at)) : 0U;
        value |= byte << (8 * i);
    }
    return value;
}

} // namespace

MultiAgingFeatures::MultiAgingFeatures(QvxComm &transport, Identify identify, QObject *parent)
    : QObject(parent)
    , folder(QDir::currentPath() + QStringLiteral("/aging"))
    , transport_(transport)
    , identify_(std::move(identify))
{
    connect(&transport_, &QvxComm::multiGraphReadCompleted, this, &MultiAgingFeatures::onMultiGraphReadCompleted);
    loggingTimer = new QTimer(this);
    loggingTimer->setTimerType(Qt::PreciseTimer);
    connect(loggingTimer, &QTimer::timeout, this, &MultiAgingFeatures::onLoggingTimer);
    resetGraphStatistics();
}

MultiAgingFeatures::~MultiAgingFeatures() = default;

void MultiAgingFeatures::startMultiAging()
{
    const Console &console = Console::instance();
    console.printLine(QStringLiteral("Creating multi-aging data..."));
    const qvx::MultiAgingOption &option = config.multiAgingOption;
    if (option.interval <= 0) {
        console.printError(QvxComm::intervalRefusal(QStringLiteral("Multi-aging"), option.interval));
        return;
    }
    const ModeItems mode = modeItems(option.mode);
    QvxComm::MultiAgingParams params;
    for (const int id : option.ids) {
        const std::optional<Device> device = identify_(static_cast<uchar>(id));
        if (!device)
            return;
        const QvxControlItem *present = firstItem(*device->model, mode.present);
        if (!present) {
            console.printError(QStringLiteral("Present item not found"));
            return;
        }
        const QvxControlItem *goal = firstItem(*device->model, mode.goal);
        if (!goal) {
            console.printError(QStringLiteral("Goal item not found"));
            return;
        }
        // A servo without a bus watchdog gets 0; only the pre-write uses it.
        const QvxControlItem *watchdog = device->model->itemsByName.value(QStringLiteral("Bus Watchdog"));
        params.append({id, present->address, present->length, goal->address, goal->length,
                       watchdog ? int(watchdog->address) : 0});
    }
    transport_.startMultiAging(params, option);
    if (!transport_.multiAgingRefusal.isEmpty()) {
        console.printError(QStringLiteral("Multi-aging not started: ") + transport_.multiAgingRefusal);
        return;
    }
    console.printLine(
        QStringLiteral("Multi-aging started, mode: %1, interval: %2[ms]").arg(mode.name, QString::number(option.interval)));
    if (startMultiGraph())
        startLogging();
}

void MultiAgingFeatures::widen(int id, const QvxControlItem &item)
{
    qvx::MultiGraphReadParam &entry = multiGraphParams[id];
    entry.id = static_cast<uchar>(id);
    entry.startAddress = std::min<ushort>(entry.startAddress, item.address);
    entry.endAddress = std::max<ushort>(entry.endAddress, static_cast<ushort>(item.address + item.length - 1));
    entry.length = static_cast<ushort>(entry.endAddress - entry.startAddress + 1);
}

bool MultiAgingFeatures::addSlot(const GraphSlot &slot)
{
    if (graphSlots.size() >= kMaxSlots) {
        Console::instance().printWarning(QStringLiteral("At most %1 graph items are sampled: %2 of ID %3 skipped")
                                             .arg(QString::number(kMaxSlots), slot.itemName,
                                                  QString::number(slot.id)));
        return false;
    }
    graphSlots.append(slot);
    return true;
}

bool MultiAgingFeatures::startMultiGraph()
{
    const Console &console = Console::instance();
    console.printLine(QStringLiteral("Creating multi-graph data..."));
    // The file holds a signed 32-bit number: -5 is kept as 4294967291.
    const auto interval = static_cast<qint32>(config.multiGraphInterval);
    if (interval <= 0) {
        console.printError(QvxComm::intervalRefusal(QStringLiteral("Multi-graph"), interval));
        return false;
    }
    if (transport_.version() == kProtocolVersion1) {
        console.printError(QStringLiteral("Multi-graph not started: protocol 1.0 has no bulk read, so no sample "
                                          "could be taken"));
        return false;
    }
    latestSample.reset();
    samplesStored = 0;
    graphSlots.clear();
    multiGraphParams.clear();
    useRealtimeTick = false;

    for (const GraphReadItem &graphItem : std::as_const(config.graphItems)) {
        const std::optional<Device> device = identify_(static_cast<uchar>(graphItem.id));
        if (!device)
            return false;
        QvxControlItem *tick = device->model->itemsByName.value(kRealtimeTick);
        if (!tick)
            continue;
        useRealtimeTick = true;
        widen(graphItem.id, *tick);
        bool ok = false;
        tickWrap = tick->max.toLongLong(&ok);
        if (!ok)
            tickWrap = 0;
        addSlot({tick, QString(), 0, graphItem.id, device->model->name, device->modelNumber, device->firmwareVersion,
                 kRealtimeTick});
        console.printLine(QStringLiteral("Realtime Tick detected."));
        break;
    }
    for (const GraphReadItem &graphItem : std::as_const(config.graphItems)) {
        const std::optional<Device> device = identify_(static_cast<uchar>(graphItem.id));
        if (!device)
            return false;
        QvxControlItem *item = device->model->itemsByName.value(graphItem.name);
        if (!item)
            continue;
        if (addSlot({item, graphItem.color, graphItem.yAxis, graphItem.id, device->model->name, device->modelNumber,
                     device->firmwareVersion, graphItem.name}))
            widen(graphItem.id, *item);
    }
    transport_.startMultiGraph(multiGraphParams, interval, false);
    if (!transport_.multiGraphTimer->isActive()) {
        console.printError(QStringLiteral("Multi-graph not started: this link has no multi-graph read"));
        return false;
    }
    console.printLine(QStringLiteral("Multi-graph started, interval: %1[ms]").arg(interval));
    return true;
}

bool MultiAgingFeatures::hasStatistics(int slot) const
{
    return graphSlots.at(slot).itemName != kRealtimeTick;
}

QString MultiAgingFeatures::logFileName(const QDateTime &start) const
{
    QStringList ids;
    for (const GraphSlot &slot : graphSlots) {
        const QString id = QString::number(slot.id);
        if (!ids.contains(id))
            ids.append(id);
    }
    // The model name comes from a description file: it stays within the
    // log's own name, whatever it holds.
    const QString model = graphSlots.isEmpty() ? QString() : platform::fileNamePart(graphSlots.first().modelName);
    return QStringLiteral("%1_[%2]%3_log").arg(start.toString(QStringLiteral("yyyyMMdd_HHmmss")), ids.join(','), model);
}

QStringList MultiAgingFeatures::csvHeader() const
{
    QStringList lines{csvLine({QStringLiteral("Quorvex Graph"), QStringLiteral("3")}),
                      csvLine({QStringLiteral("ItemCount"), QString::number(graphSlots.size())})};
    QStringList columns{QStringLiteral("Time[ms]")};
    QStringList statistics;
    for (int i = 0; i < graphSlots.size(); ++i) {
        const GraphSlot &slot = graphSlots.at(i);
        lines << csvLine({QString::number(slot.id), QString::number(slot.modelNumber), slot.modelName, slot.itemName,
                          slot.color, QString::number(slot.yAxis)});
        const QString name =
            slot.id == -1 ? slot.itemName : QStringLiteral("[%1]%2").arg(slot.id).arg(slot.itemName);
        columns << name;
        if (hasStatistics(i)) {
            for (const char *figure : {"(min)", "(max)", "(avg)"})
                statistics << name + QLatin1String(figure);
        }
    }
    lines << csvLine(columns + statistics);
    return lines;
}

bool MultiAgingFeatures::startLogging()
{
    const Console &console = Console::instance();
    resetGraphStatistics();
    if (graphSlots.isEmpty()) {
        console.printError(QStringLiteral("No graph items"));
        return false;
    }
    if (config.loggingInterval <= 0) {
        console.printError(QvxComm::intervalRefusal(QStringLiteral("Logging"), config.loggingInterval));
        return false;
    }
    const QString path =
        QStringLiteral("%1/%2.csv").arg(folder, logFileName(QDateTime::currentDateTime()));
    const bool opened = logging.start(path);
    console.printInfo(QStringLiteral("Logging : %1").arg(path));
    if (!opened) {
        console.printError(QStringLiteral("Failed to open log file: %1: %2").arg(path, logging.errorString()));
        return false;
    }
    for (const QString &line : csvHeader()) {
        if (!writeLine(line, QStringLiteral("Logging not started")))
            return false;
    }
    loggingTimer->start(config.loggingInterval);
    console.printLine(QStringLiteral("Logging started, interval: %1[ms]").arg(config.loggingInterval));
    return true;
}

bool MultiAgingFeatures::writeLine(const QString &line, const QString &what)
{
    if (logging.log(line))
        return true;
    loggingTimer->stop();
    const QString reason = logging.errorString();
    logging.stop();
    Console::instance().printError(QStringLiteral("%1: cannot write %2: %3").arg(what, logging.path(), reason));
    return false;
}

void MultiAgingFeatures::stopMultiAging()
{
    transport_.stopMultiAging();
    transport_.stopMultiGraph();
    loggingTimer->stop();
    logging.stop();
}

void MultiAgingFeatures::stopMultiGraph()
{
    transport_.stopMultiGraph();
}

void MultiAgingFeatures::stopLogging()
{
    loggingTimer->stop();
    logging.stop();
}

void MultiAgingFeatures::resetGraphStatistics()
{
    sampleCount = 0;
    slotMinimum.fill(std::numeric_limits<int>::max());
    slotMaximum.fill(std::numeric_limits<int>::min());
    slotSum.fill(0);
    slotCount.fill(0);
}

std::optional<int> MultiAgingFeatures::slotValue(const GraphSlot &slot, const qvx::MultiGraphReadResults &results) const
{
    const auto reply = std::find_if(results.cbegin(), results.cend(),
                                    [&](const qvx::MultiGraphReadResult &r) { return int(r.id) == slot.id; });
    // A servo that refused the read sent no data: its status only names the error.
    if (reply == results.cend() || transport_.isRefusedRead(reply->error))
        return std::nullopt;
    QvxControlItem &item = *slot.item;
    const qint64 offset = qint64(item.address) - qint64(reply->address);
    const int length = item.length;
    if (!isTransferWidth(length) || offset < 0 || offset + length > reply->data.size())
        return std::nullopt; // the reply did not carry the item's bytes
    const quint32 raw = littleEndian(reply->data, offset, length);
    item.value = length == 4 ? static_cast<qint32>(raw) : int(raw);
    item.applySign(nullptr);
    return item.value;
}

void MultiAgingFeatures::onMultiGraphReadCompleted(int result, qvx::MultiGraphReadResults results, qlonglong tick)
{
    if (result != 0)
        return;
    const int n = std::min<int>(int(graphSlots.size()), kMaxSlots);
    GraphSample sample;
    for (int i = 0; i < n; ++i)
        sample.values[i] = slotValue(graphSlots.at(i), results);
    if (useRealtimeTick) {
        // Without the device's tick the sample cannot be placed in time.
        if (!sample.values[0])
            return;
        const qint64 device = *sample.values[0];
        if (samplesStored == 0) {
            sample.time = 0;
            elapsedTicks = 0;
        } else {
            const qint64 delta = device - lastTick + (device < lastTick ? tickWrap : 0);
            sample.time = elapsedTicks + delta;
            elapsedTicks = sample.time;
        }
        lastTick = device;
    } else if (samplesStored == 0) {
        sample.time = 0;
        lastTick = tick;
    } else {
        sample.time = tick - lastTick;
    }
    latestSample = sample;
    ++samplesStored;
    for (int i = 0; i < n; ++i) {
        const std::optional<int> value = sample.values[i];
        if (!value)
            continue; // a missing value counts in no statistic
        slotMinimum[i] = std::min(slotMinimum[i], *value);
        slotMaximum[i] = std::max(slotMaximum[i], *value);
        slotSum[i] += *value;
        ++slotCount[i];
    }
    ++sampleCount;
}

void MultiAgingFeatures::onLoggingTimer()
{
    // No sample since the last row: no row (its statistics would cover nothing).
    if (!latestSample || sampleCount == 0)
        return;
    const int n = std::min<int>(int(graphSlots.size()), kMaxSlots);
    // A value the read did not bring is an empty cell, and so are the
    // statistics of a slot that had no value since the last row.
    QStringList row{QString::number(latestSample->time)};
    for (int i = 0; i < n; ++i) {
        const std::optional<int> value = latestSample->values[i];
        row << (value ? QString::number(*value) : QString());
    }
    for (int i = 0; i < n; ++i) {
        if (!hasStatistics(i))
            continue;
        if (slotCount[i] == 0) {
            row << QString() << QString() << QString();
            continue;
        }
        row << QString::number(slotMinimum[i]) << QString::number(slotMaximum[i])
            << QString::number(slotSum[i] / slotCount[i], 'g', 6);
    }
    resetGraphStatistics();
    writeLine(csvLine(row), QStringLiteral("Logging stopped"));
}
