#pragma once
// The texts of bus outcomes: the name of a transport result code, whether a
// device's status error byte reports an error for a protocol, and its text.

#include "comm/StatusError.h"

#include <QString>

// "COMM_OK", "COMM_RX_TIMEOUT", ...; "Unknown (<n>)" for other codes.
QString communicationResultName(int result);
// The names of the set bits (1.0), or the numbered error's name (2.0, Modbus).
QString statusErrorText(uchar error, const QString &protocol);
