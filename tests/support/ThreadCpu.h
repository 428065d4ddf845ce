#pragma once
// CPU time of the calling thread, for tests that show a wait or a link that is
// down leaves the core free (a spinning loop would use the whole interval).

#include <time.h>

// CPU seconds the calling thread has used.
inline double threadCpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}
