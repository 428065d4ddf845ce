#include "comm/CancellationToken.h"

#include <chrono>

qint64 CancellationToken::steadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
