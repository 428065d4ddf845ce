// Compiles every constant group once, so a header that stops building on its own shows at once.
#include "device/BaseConstants.h"
#include "device/BaudConstants.h"
#include "device/ConsoleConstants.h"
#include "device/DeviceConstants.h"
#include "device/ModelTableConstants.h"
#include "device/ProtocolConstants.h"
