#include "comm/StatusError.h"

#include "device/ProtocolConstants.h"

bool hasStatusError(uchar error, const QString &protocol)
{
    if (protocol == kProtocolVersion1)
        return (error & 0x58) != 0; // Range, Checksum and Instruction; the other bits are warnings
    if (protocol == kProtocolVersion2)
        return (error & 0x7F) != 0; // bit 7 alone is the alert bit
    return false;
}
