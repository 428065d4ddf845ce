#pragma once
// A simulated Modbus RTU servo on a pseudo-terminal pair of its own, for what
// a stock Modbus server cannot be made to do: fall silent, answer a read with
// the wrong number of values, hold a read back while the code under test sends
// more, refuse one request in the middle of a series. It serves holding
// registers (Read Holding Registers, Write Single Register, Write Multiple
// Registers) on one server address and records every request that arrives,
// so a test sees which registers got which values.
//
// All member functions may be called from any thread.

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

namespace sim {

// One request as the servo received it (a well-formed frame of any address).
struct ModbusRequest
{
    quint8 id = 0;
    quint8 function = 0; // 3 read, 6 write one, 16 write many
    int start = 0;       // first register
    int count = 0;       // registers asked for or written
    QList<quint16> values; // the values written
};

struct ModbusFaults
{
    bool silent = false;    // never answers
    int answerFirst = -1;   // answers this many requests, then falls silent (-1: all)
    int valueCount = -1;    // a read's answer carries this many values (-1: those asked for)
    int readDelayMs = 0;    // pause before answering a read
    int refuseRequest = -1; // the answered request of this number (from 0) gets exception 4 (-1: none)
};

class ModbusServo
{
public:
    explicit ModbusServo(quint8 id = 1, int registers = 256);
    ~ModbusServo();
    ModbusServo(const ModbusServo &) = delete;
    ModbusServo &operator=(const ModbusServo &) = delete;

    bool isOpen() const;
    QString portName() const; // the slave side for the code under test

    quint16 reg(int index) const;
    void setRegister(int index, quint16 value);
    void setFaults(const ModbusFaults &faults);

    // Puts bytes on the line as if another station sent them.
    void sendRaw(const QByteArray &bytes);
    // The other end goes away, as when a USB adapter is pulled: the servo stops
    // serving and closes its side; the code under test now sees a hang-up.
    void hangUp();

    QList<ModbusRequest> requests() const;
    void clearRequests();
    // Waits until at least `count` requests arrived; false after timeoutMs.
    bool waitForRequests(int count, int timeoutMs) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// CRC-16/MODBUS of `bytes` (initial 0xFFFF, reflected polynomial 0xA001).
quint16 modbusCrc(const QByteArray &bytes);
// `body` with its CRC appended, low byte first.
QByteArray modbusFrame(const QByteArray &body);

} // namespace sim
