#pragma once
// Reset, reboot, clear and the multi-turn clear hand the device's error byte
// on only with their completion signal: runs one of them and takes the byte
// from that signal.

#include "comm/CommResult.h"
#include "comm/QvxComm.h"

// The completion signal of reset, reboot, clear or the multi-turn clear.
using DeviceCompletion = void (QvxComm::*)(int result, uchar id, uchar error);

// Runs `command` (which returns its result) on `link`; `*error` is the error
// byte of a completion with COMM_OK, else 0.
template <class Command>
int withDeviceError(QvxComm &link, DeviceCompletion completed, uchar *error, Command command)
{
    *error = 0;
    const QMetaObject::Connection taken =
        QObject::connect(&link, completed, [error](int result, uchar, uchar deviceError) {
            if (result == COMM_OK)
                *error = deviceError;
        });
    const int result = command();
    QObject::disconnect(taken);
    return result;
}
