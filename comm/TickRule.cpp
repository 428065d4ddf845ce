#include "comm/TickRule.h"

bool tickReads(TickState state, qint64 now, int interval, double factor, bool busy)
{
    const qint64 previous = state.lastTimerTick;
    state.lastTimerTick = now;
    if (previous != 0 && !state.lateTick
        && static_cast<double>(now - previous) > static_cast<double>(interval) * factor) {
        state.lateTick = true;
        return false;
    }
    if (busy)
        return false; // lateTick keeps its value
    state.lateTick = false;
    return true;
}
