#include "comm/EngineClock.h"

#include <QDateTime>
#include <QThread>

qint64 EngineClock::nowMs() const
{
    return QDateTime::currentMSecsSinceEpoch();
}

void EngineClock::sleepMs(int ms) const
{
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

EngineClock *EngineClock::system()
{
    static EngineClock clock;
    return &clock;
}
