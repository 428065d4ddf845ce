#pragma once
// The Modbus RTU client of the Modbus transport: requests on holding registers
// (functions 3, 6 and 16) framed with their CRC on one serial port, on the
// exchange rules of every link (ExchangeLine): what arrived before a request
// never answers it, a late answer never answers a later request, and an answer
// is taken only when its server address, function and size fit its request (a
// read's byte count, a write's echoed register and count). The line stays
// silent for 3.5 characters (1.75 ms above 19200 baud) between frames, counted
// from the last byte on it.
//
// The exchange is framed here rather than by Qt's RTU client, which takes a
// late answer for the next request's and a read answer of any byte count.

#include "comm/ExchangeLine.h"

#include <QList>
#include <QModbusDevice>
#include <QSerialPort>
#include <QString>

#include <functional>

class ModbusRtu : public ExchangeLine
{
public:
    // Above 19200 baud the gap between frames is fixed rather than 3.5
    // character times, ns.
    static constexpr qint64 kFixedGapNs = 1750000;

    // What became of one request.
    struct Answer
    {
        int result = 0;     // a result code: COMM_OK once an answer was taken
        QModbusDevice::Error kind = QModbusDevice::NoError; // ProtocolError: an exception answer
        QString errorString; // why it failed, for the log
        int exceptionCode = 0;
        QList<quint16> values; // the registers of a read answer
    };

    // Modbus function codes of the requests.
    enum Function : quint8 { ReadHoldingRegisters = 3, WriteSingleRegister = 6, WriteMultipleRegisters = 16 };

    // The port becomes a Qt child of `owner`.
    explicit ModbusRtu(QObject *owner);
    ~ModbusRtu() override;

    QSerialPort *port = nullptr;
    // Receives one line per dropped or damaged frame.
    std::function<void(const QString &)> log;

    // The line opened and closed the one way (comm/PortLine.h): a name under
    // which no device is never reaches the system, and the bytes written
    // leave the line before it closes.
    bool open(const QString &name, int baudRate, QSerialPort::Parity parity, QSerialPort::DataBits dataBits,
              QSerialPort::StopBits stopBits);
    void close();
    bool isOpen() const;

    // `count` registers from `start`.
    Answer readRegisters(int server, int start, int count, int timeoutMs);
    // One value with Write Single Register, more with Write Multiple Registers.
    Answer writeRegisters(int server, int start, const QList<quint16> &values, int timeoutMs);

    // One frame: the request or answer `body` with its CRC, low byte first.
    static QByteArray frame(const QByteArray &body);

protected:
    void handOverStray() override;
    void noteArrival(bool begins) override;

private:
    // Sends `body` to `server` and waits up to timeoutMs for the answer whose
    // size `expected` gives; `fits` tells whether a frame of that size answers it.
    Answer exchange(const QByteArray &body, int expected, const std::function<bool(const QByteArray &)> &fits,
                    int timeoutMs);
    // Waits until the line has been silent for the gap between frames.
    void keepInterFrameSilence();

    qint64 lastByteNs_ = 0; // steady clock: the last byte that was on the line
    qint64 silenceNs_ = kFixedGapNs;
};
