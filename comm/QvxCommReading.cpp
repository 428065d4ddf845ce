// The update, graph and multi-graph readers of the abstract transport: their
// starts and their ticks. The reads themselves belong to the transports.

#include "comm/QvxComm.h"
#include "comm/TickRule.h"

#include <QTimer>

namespace {

// How late a tick may come, in intervals after the previous tick, before it is skipped.
constexpr double kGraphLateFactor = 1.5;
constexpr double kUpdateLateFactor = 1.1;

} // namespace

bool QvxComm::pollTick(const QTimer *timer, double factor)
{
    return tickReads({lastTimerTick, lateTick}, engineClock->nowMs(), timer->interval(), factor, busy);
}

int QvxComm::keepReadersRunning(const std::function<int()> &check)
{
    const bool graphRunning = graphTimer->isActive();
    const bool updateRunning = updateTimer->isActive();
    const int result = check();
    if (graphRunning && !graphTimer->isActive())
        graphTimer->start();
    if (updateRunning && !updateTimer->isActive())
        updateTimer->start();
    return result;
}

bool QvxComm::refusesInterval(const QString &reader, int interval)
{
    // A timer of 0 ms fires on every turn of the event loop: a reader on it
    // would keep a core busy polling the bus.
    if (interval > 0)
        return false;
    emit logMessage(intervalRefusal(reader, interval));
    return true;
}

QString QvxComm::intervalRefusal(const QString &reader, qint64 interval)
{
    return QStringLiteral("%1 not started: interval %2[ms] is not above 0").arg(reader).arg(interval);
}

void QvxComm::startPollTimer(QTimer *timer, int interval)
{
    lastPollTick = 0;
    lastTimerTick = 0;
    lateTick = false;
    timer->start(interval);
}

void QvxComm::startGraph(uchar id, ushort address, ushort length, int interval)
{
    if (refusesInterval(QStringLiteral("Graph"), interval))
        return;
    targetId = id;
    graphAddress = address;
    pollLength = length;
    startPollTimer(graphTimer, interval);
}

void QvxComm::startUpdate(uchar id, ushort length, int interval)
{
    if (refusesInterval(QStringLiteral("Update"), interval))
        return;
    targetId = id;
    pollLength = length;
    startPollTimer(updateTimer, interval);
}

void QvxComm::setUpdateInterval(int interval)
{
    if (interval <= 0) {
        emit logMessage(QStringLiteral("Update interval not changed: %1[ms] is not above 0").arg(interval));
        return;
    }
    updateTimer->setInterval(interval);
}

void QvxComm::onGraphTimer()
{
    if (pollTick(graphTimer, kGraphLateFactor))
        readGraph(targetId, graphAddress, pollLength);
}

void QvxComm::onUpdateTimer()
{
    if (pollTick(updateTimer, kUpdateLateFactor))
        readUpdate(targetId, pollLength);
}

void QvxComm::onMultiGraphTimer()
{
    if (pollTick(multiGraphTimer, kGraphLateFactor))
        readMultiGraph(multiGraphParams);
}
