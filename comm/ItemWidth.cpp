#include "comm/ItemWidth.h"

#include "comm/CommResult.h"
#include "comm/QvxComm.h"

int readByWidth(QvxComm &link, uchar id, ushort address, int width, int *value, uchar *error)
{
    switch (width) {
    case 1:
        return link.read1Byte(id, address, value, error);
    case 2:
        return link.read2Byte(id, address, value, error);
    case 4:
        return link.read4Byte(id, address, value, error);
    default:
        return COMM_UNSUPPORTED;
    }
}

int writeByWidth(QvxComm &link, uchar id, ushort address, int width, int value, uchar *error)
{
    switch (width) {
    case 1:
        return link.write1Byte(id, address, value, error);
    case 2:
        return link.write2Byte(id, address, value, error);
    case 4:
        return link.write4Byte(id, address, value, error);
    default:
        return COMM_UNSUPPORTED;
    }
}
