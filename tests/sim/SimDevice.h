#pragma once
// One simulated servo: a byte table, its identity, its fault switches, and how
// it answers each instruction. The bus (SimBus) owns the devices and hands them
// the instructions addressed to them.

#include <QByteArray>
#include <QList>
#include <QString>

namespace sim {

enum class Protocol { V1 = 1, V2 = 2 };

// What a device does wrong, set per device and changeable at any time.
struct Faults
{
    bool silent = false;          // never answers
    bool corruptChecksum = false; // every reply carries a wrong CRC (2.0) or checksum (1.0)
    int truncateTo = -1;          // every reply is cut to this many bytes (-1: whole)
    QByteArray noise;             // bytes put on the line ahead of every reply
    quint8 error = 0;             // error byte of every status packet
    bool omitData = false;        // status packets carry no parameters (READ without data, PING without model)
    int delayMs = 0;              // pause before every reply
    int byteGapMs = 0;            // pause between the bytes of every reply (a reply in pieces)
};

// One reply ready to go on the line.
struct Reply
{
    QByteArray bytes;
    int delayMs = 0;
    int byteGapMs = 0;
};

struct Device
{
    quint8 id = 1;
    Protocol protocol = Protocol::V2;
    quint16 modelNumber = 0;
    quint8 firmware = 0;
    QByteArray table;        // the control table
    QByteArray initialTable; // what a factory reset restores
    int idAddress = -1;      // where the ID lives: a write there moves the device
    int baudRate = 0;        // answers only while the port runs at this rate (0: at any rate)
    Faults faults;

    // A registered write, carried out by ACTION.
    bool registered = false;
    int registeredAddress = 0;
    QByteArray registeredData;
    int reboots = 0;
    int factoryResets = 0;

    // Devices built by code, in the usual layouts: protocol 2.0 with the model
    // number at 0, firmware version at 6 and ID at 7; protocol 1.0 with the
    // model number at 0, firmware version at 2 and ID at 3.
    static Device protocol2(quint8 id, quint16 modelNumber, quint8 firmware, int tableSize = 256);
    static Device protocol1(quint8 id, quint16 modelNumber, quint8 firmware, int tableSize = 50);

    // Sets bytes of the table as initial values (restored by a factory reset too).
    void setInitial(int address, const QByteArray &bytes);

    // Whether [address, address + length) lies inside the table.
    bool holds(int address, int length) const;
    // Writes when the range lies inside the table; moves the device when the ID
    // byte changes. Returns false when the range is outside.
    bool write(int address, const QByteArray &bytes);
    void restoreFactory();

    // A status packet of this device with its faults applied; empty when silent.
    Reply status(quint8 error, const QByteArray &params) const;
    // Applies the faults (not `error`) to a reply built elsewhere.
    Reply withFaults(QByteArray packet) const;
    // Whether the device refuses to carry out instructions (its error fault
    // holds an error number, 2.0, or any error bit, 1.0).
    bool refuses() const;
};

} // namespace sim
