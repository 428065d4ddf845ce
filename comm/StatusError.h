#pragma once
// Whether a device's status error byte reports an error, by protocol.

#include <QString>

// Protocol 1.0: the Range, Checksum and Instruction bits (the others are
// warnings); protocol 2.0: any bit but the alert bit; other protocols: never.
bool hasStatusError(uchar error, const QString &protocol);
