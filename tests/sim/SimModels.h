#pragma once
// Simulated devices built from the program's own device descriptions, so that
// end-to-end tests meet devices laid out as the program expects them.

#include "tests/sim/SimDevice.h"

#include <QString>

#include <optional>

struct QvxDeviceModel;

namespace sim {

// A device of this description: the table as large as the model's, each item's
// Init value at its address (little-endian, the item's length), then the model
// number, firmware version and ID at the addresses of their items. Protocol 1.0
// for "Quorvex1" models, 2.0 for the rest.
Device deviceFromModel(const QvxDeviceModel &model, quint8 id, quint8 firmware);

// A device of the built-in description of this model number that applies to
// `firmware`; without a firmware version, the model's latest release. Nothing,
// with *error saying why, for unknown model numbers and Modbus models (the
// bus speaks protocols 1.0 and 2.0 only).
bool hasBuiltInDescription(quint16 modelNumber);
std::optional<Device> builtInDevice(quint16 modelNumber, quint8 id, std::optional<int> firmware, QString *error);

} // namespace sim
