#pragma once
// The one way a serial line is opened and closed: by both transports on a
// serial port (QvxPort, and the Modbus RTU client), by the firmware update,
// recovery and calibration on the transport's port, and by the TCP bridge.
// The name is checked before it reaches the system (comm/PortName.h), the
// rate is set, and what was written leaves the line before the port closes.

class QSerialPort;
class QString;

// Opens `port` on the device named `name` at `baudRate` bit/s, for reading
// and writing, with nothing held in its buffers; the serial format (data
// bits, parity, stop bits, flow control) is what was set on `port` before. An
// open port is closed first, as closePortLine closes it. A name that cannot
// name a port, or under which no device is, never reaches the system. False
// when the line did not open, with the reason in *why when asked for.
bool openPortLine(QSerialPort &port, const QString &name, int baudRate, QString *why = nullptr);

// Closes `port` once the bytes written have left the line (drainWrites:
// none is sent at the rate the close restores, nor thrown away with the
// buffers), and drops what it still holds; a line that is gone is closed at
// once. A closed port stays as it is.
void closePortLine(QSerialPort &port);
