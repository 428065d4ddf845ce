#pragma once
// What an error of the bridge's serial port says about the line. QSerialPort
// reports a write that would block on a momentarily full line and a device
// that went away alike as a ResourceError, and a line whose far end hung up
// may come with the text of an earlier, unrelated failure; so the line itself
// is asked.

#include <QSerialPort>
#include <QString>

enum class SerialFault
{
    WouldBlock, // the line is full for now: Qt keeps the bytes and writes them when it has room
    LineGone,   // hung up or removed: nothing will pass this port again
    Failure,    // any other error of a port that is still there
};

SerialFault judgeSerialError(const QSerialPort &port, QSerialPort::SerialPortError error);

// The reason to report for a port that is gone: its error text, unless that
// is a stale "would block".
QString serialLossText(const QSerialPort &port);
