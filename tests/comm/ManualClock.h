#pragma once
// A clock the test moves by hand, for the reading and aging engines: their
// ticks are called directly, each at the time the test has set.

#include "comm/EngineClock.h"

struct ManualClock : EngineClock
{
    qint64 now = 1'000'000; // ms since the epoch; any non-zero start
    mutable int slept = 0;  // ms of every pause asked for

    qint64 nowMs() const override { return now; }
    void sleepMs(int ms) const override { slept += ms; }
    void advance(qint64 ms) { now += ms; }
};
