#pragma once
// The device description language of the zephlet-sim command line:
//   id=1,model=1020,fw=53[,protocol=2.0][,size=256][,baud=57600][,mem=132:00080000]...
// with fault switches error=N, delay=MS, gap=MS, truncate=N, noise=HEX, silent,
// corrupt and omit-data. A model with a built-in description is laid out by it
// (protocol, table size, initial values); others are built by code with the
// given protocol and size. See tests/sim/README.md.

#include "tests/sim/SimDevice.h"

#include <QString>

#include <optional>

namespace sim {

// The device the text describes, or nothing with *error saying what is wrong.
std::optional<Device> parseDevice(const QString &text, QString *error);

} // namespace sim
