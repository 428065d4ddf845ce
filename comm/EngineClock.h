#pragma once
// The time source of the reading and aging engines: the wall clock in ms
// since the epoch and the pause after a motion step. The transport uses the
// system clock unless it is handed another one (tests step a clock of their
// own to show the tick rule and the profiles exactly).

#include <QtGlobal>

class EngineClock
{
public:
    virtual ~EngineClock() = default;
    // Ms since the epoch.
    virtual qint64 nowMs() const;
    // Blocks the calling thread for `ms` ms.
    virtual void sleepMs(int ms) const;

    // The wall clock; lives as long as the program.
    static EngineClock *system();
};
