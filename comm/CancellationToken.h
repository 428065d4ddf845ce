#pragma once
// Lets one command's bus waits end early: the script runner owns a token, arms
// it per command and lends it to the transport and both packet engines, which
// only ever read it.

#include <QtGlobal>

#include <atomic>

struct CancellationToken
{
    // 0 running, 1 interrupted, 2 deadline exceeded; the engines treat every
    // non-zero value alike. Written by the interrupt handler on another thread
    // (a compare-and-swap from 0 to 1), so it must stay lock-free.
    std::atomic<int> state{0};
    // When false, `deadline` is ignored. Both are written only between commands.
    bool hasDeadline = false;
    // Nanoseconds on the steady clock, in the units and epoch of steadyNowNs().
    qint64 deadline = 0;

    // Whether the armed deadline has passed.
    bool deadlinePassed() const { return hasDeadline && steadyNowNs() >= deadline; }
    // Whether a wait on the token ends: interrupted, or past the deadline.
    bool cancelled() const { return state.load(std::memory_order_relaxed) != 0 || deadlinePassed(); }

    // Now on the steady (monotonic) clock, in nanoseconds.
    static qint64 steadyNowNs();
};

static_assert(std::atomic<int>::is_always_lock_free, "the interrupt handler needs a lock-free state");
