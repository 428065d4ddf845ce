#pragma once
// The profile clock of the aging and multi-aging engines. A profile is a list
// of timed entries (ms within the cycle, ascending); the cycle lasts the time
// of its last entry. The first cycle takes its entries from the first list,
// later cycles the entries at the same index of the repeat list, always at the
// times of the first list. On every tick the clock advances by the real time
// elapsed; every entry whose time it passed is passed, and only the last of
// them is applied.

#include <QtGlobal>

struct ProfileState
{
    qint64 &clock;         // ms into the running cycle
    int &stepCounter;      // entries passed since the start
    qint64 &lastClockTick; // ms since the epoch of the previous tick
};

struct ProfilePass
{
    enum Kind { Nothing, Completed, Apply };
    Kind kind = Nothing;
    int index = 0;           // the entry to apply
    bool fromRepeat = false; // from the repeat list (a later cycle)
    bool endedCycle = false; // the tick ended a cycle
};

// One tick of a profile of n >= 1 entries; `repeat` cycles, 0 endless.
// `timeAt(idx)` is the time of entry idx of the first list.
template <class TimeAt>
ProfilePass advanceProfile(ProfileState state, int n, int repeat, qint64 now, TimeAt timeAt)
{
    ProfilePass pass;
    if (repeat != 0 && qint64(state.stepCounter) >= qint64(n) * repeat) {
        pass.kind = ProfilePass::Completed;
        return pass;
    }
    state.clock += now - state.lastClockTick;
    state.lastClockTick = now;
    const int cycle = timeAt(n - 1);
    int i = state.stepCounter;
    int idx = i % n;
    const int t = timeAt(idx);
    pass.kind = ProfilePass::Apply;
    if (t == 0) { // due at once
        pass.index = idx;
        pass.fromRepeat = i >= n;
        state.stepCounter = i + 1;
        if ((i + 1) % n == 0) {
            pass.endedCycle = true;
            state.clock -= cycle;
        }
        return pass;
    }
    if (state.clock <= t) {
        pass.kind = ProfilePass::Nothing;
        return pass;
    }
    do {
        pass.index = idx;
        pass.fromRepeat = i >= n;
        ++i;
        idx = i % n;
        if (idx == 0)
            state.clock -= cycle;
    } while (timeAt(idx) < state.clock);
    state.stepCounter = i;
    pass.endedCycle = idx == 0;
    return pass;
}

// Whether the clock of a profile of n >= 1 entries always comes to rest: a
// cycle that lasts no time while some entry lies elsewhere than at 0 would
// pass entries without end on a single tick.
template <class TimeAt>
bool profileSettles(int n, TimeAt timeAt)
{
    const int cycle = timeAt(n - 1);
    if (cycle != 0)
        return cycle > 0;
    for (int idx = 0; idx < n; ++idx) {
        if (timeAt(idx) != 0)
            return false;
    }
    return true;
}
