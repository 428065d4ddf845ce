#pragma once
// The tick rule of the polling timers (update, graph and multi-graph reads),
// which share one previous tick and one late flag: a tick that comes more
// than `factor` intervals after the previous tick is skipped, but never two
// in a row; a tick that finds the transport busy is skipped as well.

#include <QtGlobal>

struct TickState
{
    qint64 &lastTimerTick; // 0: no tick since the start
    bool &lateTick;
};

// Moves the tick state to `now` and tells whether this tick reads.
bool tickReads(TickState state, qint64 now, int interval, double factor, bool busy);
