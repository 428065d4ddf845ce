// The aging engines of the abstract transport: aging (one item of one servo
// follows timed points), multi-aging (several servos follow interpolated
// waypoints, one SYNC_WRITE or BULK_WRITE per step) and motion aging (steps of
// position, velocity and acceleration, each waiting for the motion to end and
// a dwell). They use only the transport's bus operations.

#include "comm/CommResult.h"
#include "comm/ProfileClock.h"
#include "comm/QvxComm.h"

#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

constexpr int kAgingTickMs = 1;
constexpr int kMotionTickMs = 10;
constexpr int kMotionPauseMs = 10; // after every motion step written
// The pre-write sends this fraction of its value.
constexpr int kPreWriteDivisor = 20;
// The low seven bits of a status error byte name an error; the top bit is an alert.
constexpr uchar kStatusErrorBits = 0x7F;

void appendLittleEndian(QByteArray &block, quint32 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        block.append(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A multi-aging step's time arithmetic wraps like the int it is kept in.
int addTime(int a, qint64 b)
{
    return static_cast<int>(static_cast<quint32>(static_cast<qint64>(a) + b));
}

bool dividesSafely(int dividend, int divisor)
{
    return divisor != 0 && !(divisor == -1 && dividend == std::numeric_limits<int>::min());
}

} // namespace

// ----- aging

void QvxComm::startAging(uchar id, ushort address, ushort length, int repeat_, QvxComm::AgingDatas list,
                         QvxComm::AgingDatas repeat_list)
{
    if (agingMode != 0)
        return;
    const auto timeAt = [&list](int idx) { return list.at(idx).time; };
    if (list.isEmpty() || repeat_list.size() < list.size() || !profileSettles(int(list.size()), timeAt)) {
        emit agingStopped();
        return;
    }
    targetId = id;
    repeat = repeat_;
    agingMode = 1;
    agingAddress = address;
    agingLength = length;
    agingList = list;
    agingRepeatList = repeat_list;
    clock = 0;
    stepCounter = 0;
    lastClockTick = engineClock->nowMs();
    lastAgingTick = 0;
    meanAgingPeriod = 0;
    lastWrittenValue = 0;
    agingTimer->start(kAgingTickMs);
}

void QvxComm::onAgingTimer()
{
    if (agingMode != 1 || agingList.isEmpty())
        return;
    const ProfilePass pass = advanceProfile({clock, stepCounter, lastClockTick}, int(agingList.size()), repeat,
                                            engineClock->nowMs(), [this](int idx) { return agingList.at(idx).time; });
    switch (pass.kind) {
    case ProfilePass::Nothing:
        return;
    case ProfilePass::Completed:
        emit agingCompleted();
        stopAging();
        return;
    case ProfilePass::Apply:
        applyAgingPoint((pass.fromRepeat ? agingRepeatList : agingList).at(pass.index), pass.endedCycle);
        measureAgingPeriod();
        return;
    }
}

void QvxComm::applyAgingPoint(const AgingData &point, bool endedCycle)
{
    const int v = point.value;
    if (!endedCycle && v == lastWrittenValue)
        return;
    lastWrittenValue = v;
    switch (agingLength) {
    case 1: write1ByteTxRx(targetId, agingAddress, static_cast<uchar>(v), QString()); break;
    case 2: write2ByteTxRx(targetId, agingAddress, static_cast<ushort>(v), QString()); break;
    case 4: write4ByteTxRx(targetId, agingAddress, static_cast<uint>(v), QString()); break;
    default: break;
    }
}

// ----- multi-aging

QString QvxComm::multiAgingProfileRefusal(const MultiAgingParams &params, const qvx::MultiAgingOption &option)
{
    if (params.size() < option.idCount)
        return QStringLiteral("%1 servos for idCount %2").arg(params.size()).arg(option.idCount);
    const int interval = option.interval;
    const qint64 servos = qMax(1, option.idCount);
    // Walks the first cycle as the expansion does, counting instead of
    // building: its steps, and the time of its last step so far.
    qint64 steps = 1;
    qint64 time = 0;
    const auto outsideInt = [](qint64 t) {
        return t > std::numeric_limits<int>::max() || t < std::numeric_limits<int>::min();
    };
    for (qsizetype i = 0; i < option.writeItems.size(); ++i) {
        const qvx::MultiAgingWriteItem &item = option.writeItems.at(i);
        if (item.values.size() < option.idCount)
            return QStringLiteral("write item %1 has %2 values for idCount %3")
                .arg(i + 1)
                .arg(item.values.size())
                .arg(option.idCount);
        if ((item.playTime != 0 && !dividesSafely(item.playTime, interval))
            || (item.delayTime != 0 && !dividesSafely(item.delayTime, interval)))
            return QStringLiteral("interval %1[ms] cannot divide the times of write item %2").arg(interval).arg(i + 1);
        const qint64 moves = item.playTime != 0 ? qMax(0, item.playTime / interval) : 0;
        const qint64 holds = item.delayTime != 0 ? qMax(0, item.delayTime / interval) : 0;
        steps += moves + 1 + holds;
        // The steps of a move lie between the waypoint and the target, those of
        // a hold between the target and its last hold step.
        const qint64 target = time + item.playTime;
        time = holds > 0 ? target + qint64(interval) * (holds - 1) : target;
        if (outsideInt(target) || outsideInt(time))
            return QStringLiteral("write item %1 ends beyond %2 ms").arg(i + 1).arg(std::numeric_limits<int>::max());
        if (steps > kMaxMultiAgingSteps)
            return QStringLiteral("one cycle would take more than %1 steps").arg(kMaxMultiAgingSteps);
        if (steps * servos > kMaxMultiAgingValues)
            return QStringLiteral("one cycle would hold more than %1 values (steps times servos)")
                .arg(kMaxMultiAgingValues);
    }
    return QString();
}

QList<QvxComm::MultiAgingStep> QvxComm::expandMultiAgingSteps(MultiAgingStep &waypoint, const MultiAgingParams &params,
                                                               const qvx::MultiAgingOption &option)
{
    QList<MultiAgingStep> steps{waypoint};
    const int interval = option.interval;
    for (const qvx::MultiAgingWriteItem &item : option.writeItems) {
        const int play = item.playTime;
        const int delay = item.delayTime;
        MultiAgingStep target{addTime(waypoint.time, play), {}};
        for (int k = 0; k < option.idCount; ++k) {
            const MultiAgingParam &param = params.at(k);
            target.items.append({static_cast<uchar>(param.id), static_cast<ushort>(param.goalAddress),
                                 static_cast<ushort>(param.goalLength), item.values.at(k)});
        }
        if (play != 0) {
            const int m = play / interval;
            for (int s = 0; s < m; ++s) {
                MultiAgingStep between{addTime(waypoint.time, qint64(interval) * s), target.items};
                for (int k = 0; k < option.idCount; ++k) {
                    const double from = waypoint.items.at(k).value;
                    const double to = target.items.at(k).value;
                    between.items[k].value = static_cast<int>((to - from) / m * s + from);
                }
                steps.append(between);
            }
        }
        steps.append(target);
        if (delay != 0) {
            const int h = delay / interval;
            for (int s = 0; s < h; ++s)
                steps.append({addTime(target.time, qint64(interval) * s), target.items});
        }
        waypoint = steps.last();
    }
    return steps;
}

QByteArray QvxComm::multiAgingBlock(const QList<MultiAgingItem> &items,
                                    const std::optional<QList<MultiAgingItem>> &last, bool sync)
{
    QByteArray block;
    for (qsizetype k = 0; k < items.size(); ++k) {
        const MultiAgingItem &item = items.at(k);
        if (last && k < last->size() && last->at(k).value == item.value)
            continue;
        block.append(static_cast<char>(item.id));
        if (!sync) {
            appendLittleEndian(block, item.address, 2);
            appendLittleEndian(block, item.length, 2);
        }
        if (item.length == 1 || item.length == 2 || item.length == 4)
            appendLittleEndian(block, static_cast<quint32>(item.value), item.length);
    }
    return block;
}

void QvxComm::refuseMultiAging(const QString &reason)
{
    multiAgingRefusal = reason;
    multiAgingTimer->stop();
    agingMode = 0;
    emit multiAgingStopped(0);
}

void QvxComm::startMultiAging(QvxComm::MultiAgingParams params, qvx::MultiAgingOption option)
{
    if (agingMode != 0) {
        multiAgingRefusal = QStringLiteral("another aging run is in progress");
        return;
    }
    multiAgingRefusal.clear();
    if (const QString refusal = multiAgingProfileRefusal(params, option); !refusal.isEmpty()) {
        multiAgingRefusal = refusal;
        emit multiAgingStopped(0);
        return;
    }
    syncMode = false;
    syncAddress = 0;
    syncLength = 0;
    const bool shared = !params.isEmpty() && std::all_of(params.cbegin(), params.cend(), [&](const MultiAgingParam &p) {
        return p.goalAddress == params.first().goalAddress && p.goalLength == params.first().goalLength;
    });
    if (shared) {
        syncMode = true;
        syncAddress = static_cast<ushort>(params.first().goalAddress);
        syncLength = static_cast<ushort>(params.first().goalLength);
    }
    agingMode = 2;

    MultiAgingStep start;
    for (const MultiAgingParam &p : std::as_const(params)) {
        int value = 0;
        uchar error = 0;
        int result = COMM_OK;
        const auto id = static_cast<uchar>(p.id);
        const auto address = static_cast<ushort>(p.presentAddress);
        switch (p.presentLength) {
        case 1: result = read1Byte(id, address, &value, &error); break;
        case 2: result = read2Byte(id, address, &value, &error); break;
        case 4: result = read4Byte(id, address, &value, &error); break;
        default: break;
        }
        if (result != COMM_OK) {
            refuseMultiAging(QStringLiteral("ID %1 did not give its present value (result %2)").arg(id).arg(result));
            return;
        }
        if ((error & kStatusErrorBits) != 0) {
            refuseMultiAging(QStringLiteral("ID %1 refused the read of its present value (error %2)")
                                 .arg(id)
                                 .arg(error & kStatusErrorBits));
            return;
        }
        start.items.append({id, static_cast<ushort>(p.goalAddress), static_cast<ushort>(p.goalLength), value});
    }
    QList<MultiAgingStep> first = expandMultiAgingSteps(start, params, option);
    MultiAgingStep end = first.last();
    QList<MultiAgingStep> again = expandMultiAgingSteps(end, params, option);
    if (!profileSettles(int(first.size()), [&first](int idx) { return first.at(idx).time; })) {
        refuseMultiAging(QStringLiteral("the profile's cycle ends before it began or lasts no time"));
        return;
    }
    multiAgingSteps = std::move(first);
    multiAgingRepeatSteps = std::move(again);

    if (option.preWrite) {
        const auto preValue = static_cast<uchar>(option.preWriteValue / kPreWriteDivisor);
        for (const MultiAgingParam &p : std::as_const(params)) {
            write1ByteTxRx(static_cast<uchar>(p.id), static_cast<ushort>(p.extraAddress), 0, QString());
            write1ByteTxRx(static_cast<uchar>(p.id), static_cast<ushort>(p.extraAddress), preValue, QString());
        }
    }
    repeat = option.repeat;
    clock = 0;
    stepCounter = 0;
    lastClockTick = engineClock->nowMs();
    lastAgingTick = 0;
    meanAgingPeriod = 0;
    lastSentItems.reset();
    multiAgingTimer->start(kAgingTickMs);
}

void QvxComm::onMultiAgingTimer()
{
    if (agingMode != 2 || multiAgingSteps.isEmpty())
        return;
    const ProfilePass pass =
        advanceProfile({clock, stepCounter, lastClockTick}, int(multiAgingSteps.size()), repeat, engineClock->nowMs(),
                       [this](int idx) { return multiAgingSteps.at(idx).time; });
    switch (pass.kind) {
    case ProfilePass::Nothing:
        return;
    case ProfilePass::Completed:
        emit multiAgingCompleted();
        stopMultiAging();
        return;
    case ProfilePass::Apply:
        applyMultiAgingStep((pass.fromRepeat ? multiAgingRepeatSteps : multiAgingSteps).at(pass.index));
        measureAgingPeriod();
        return;
    }
}

void QvxComm::applyMultiAgingStep(const MultiAgingStep &step)
{
    const QByteArray block = multiAgingBlock(step.items, lastSentItems, syncMode);
    lastSentItems = step.items;
    if (block.isEmpty())
        return;
    if (syncMode)
        syncWrite(syncAddress, syncLength, block, QString());
    else
        bulkWrite(block);
}

// ----- motion aging

void QvxComm::startMotionAging(qvx::MotionAgingOption option)
{
    if (agingMode != 0)
        return;
    if (option.steps.isEmpty()) {
        emit motionAgingStopped(0);
        return;
    }
    agingMode = 3;
    motionOption = option;
    repeat = option.repeat;
    clock = 0;
    stepCounter = 0;
    motionPhase = 0;
    sendMotionData(motionOption.steps.first());
    motionAgingTimer->start(kMotionTickMs);
}

void QvxComm::onMotionAgingTimer()
{
    if (agingMode != 3 || motionOption.steps.isEmpty())
        return;
    const qsizetype n = motionOption.steps.size();
    if (repeat != 0 && qint64(stepCounter) >= qint64(repeat) * n) {
        stopMotionAging();
        return;
    }
    const qint64 now = engineClock->nowMs();
    switch (motionPhase) {
    case 0: {
        if (isMotionInProgress(motionOption))
            return;
        if (motionOption.steps.at(stepCounter % n).dwell != 0) {
            motionPhase = 1;
            clock = 0;
            lastClockTick = now;
        } else {
            motionPhase = 2;
        }
        return;
    }
    case 1:
        clock += now - lastClockTick;
        lastClockTick = now;
        if (clock > motionOption.steps.at(stepCounter % n).dwell)
            motionPhase = 2;
        return;
    case 2: {
        ++stepCounter;
        const qvx::MotionStep step = motionOption.steps.at(stepCounter % n);
        motionPhase = 0;
        const qint64 gap = now - lastClockTick;
        lastClockTick = now;
        emit logMessage(QStringLiteral("sendMotionData : ") + QString::number(gap));
        sendMotionData(step);
        return;
    }
    default:
        return;
    }
}

void QvxComm::sendMotionData(const qvx::MotionStep &step)
{
    const int acceleration = motionOption.profileAccelerationAddress;
    const int velocity = motionOption.profileVelocityAddress;
    const int position = motionOption.goalPositionAddress;
    const auto send = [this](int address, ushort length, const QByteArray &block) {
        if (!block.isEmpty())
            syncWriteDirect(static_cast<ushort>(address), length, block);
    };
    if (velocity == acceleration + 4 && position == acceleration + 8) {
        QByteArray block;
        for (const qvx::MotionTarget &t : step.targets) {
            block.append(static_cast<char>(t.id & 0xFF));
            appendLittleEndian(block, static_cast<quint32>(t.profileAcceleration), 4);
            appendLittleEndian(block, static_cast<quint32>(t.profileVelocity), 4);
            appendLittleEndian(block, static_cast<quint32>(t.goalPosition), 4);
        }
        send(acceleration, 12, block);
    } else {
        const auto field = [&step](int qvx::MotionTarget::*value) {
            QByteArray block;
            for (const qvx::MotionTarget &t : step.targets) {
                block.append(static_cast<char>(t.id & 0xFF));
                appendLittleEndian(block, static_cast<quint32>(t.*value), 4);
            }
            return block;
        };
        send(acceleration, 4, field(&qvx::MotionTarget::profileAcceleration));
        send(velocity, 4, field(&qvx::MotionTarget::profileVelocity));
        send(position, 4, field(&qvx::MotionTarget::goalPosition));
    }
    engineClock->sleepMs(kMotionPauseMs);
}
