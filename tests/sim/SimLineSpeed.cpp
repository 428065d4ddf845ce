// Kept apart: the kernel's termios2 (for custom rates such as 1 Mbps) cannot
// share a unit with the C library's <termios.h>.
#include "tests/sim/SimLineSpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace sim {

int lineBaudRate(int slaveFd)
{
    termios2 t{};
    if (::ioctl(slaveFd, TCGETS2, &t) != 0)
        return 0;
    return static_cast<int>(t.c_ospeed);
}

} // namespace sim
