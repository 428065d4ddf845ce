#pragma once

namespace sim {

// The baud rate the serial port on the slave side of the pty has set (bits per
// second, custom rates included); 0 when it cannot be read.
int lineBaudRate(int slaveFd);

} // namespace sim
