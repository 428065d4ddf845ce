#pragma once
// The one choice of an item's transfer by its width: the 1-, 2- or 4-byte read
// or write of a control-table item, for callers that hold the width as a
// value (the device core, the self-diagnosis) on any transport.

#include <QtGlobal>

class QvxComm;

// Whether an item of `width` bytes has a transfer of its own: 1, 2 or 4.
inline bool isTransferWidth(int width)
{
    return width == 1 || width == 2 || width == 4;
}

// The synchronous read of `width` bytes at `address` through `link`, with the
// transport's result code, value and device error byte; COMM_UNSUPPORTED,
// nothing sent, for a width other than 1, 2 or 4.
int readByWidth(QvxComm &link, uchar id, ushort address, int width, int *value, uchar *error);
// The synchronous write of `value` in `width` bytes; COMM_UNSUPPORTED, nothing
// sent, for another width.
int writeByWidth(QvxComm &link, uchar id, ushort address, int width, int value, uchar *error);
