#pragma once
// One simulated servo: a byte table, its identity, its fault switches, and how
// it answers each instruction. The bus (SimBus) owns the devices and hands them
// the instructions addressed to them.

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace sim {

// Modbus: a servo that speaks Modbus RTU (holding registers over its table,
// register i = byte 2i | byte 2i+1 << 8).
enum class Protocol { V1 = 1, V2 = 2, Modbus = 3 };

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

// A servo that moves: its present position follows the goal position, or turns
// while a drive value (goal velocity, goal PWM, moving speed) is not 0, and its
// present velocity shows the motion. Its time runs `timeScale` times as fast as
// the bus clock, so that a test of many seconds runs in a few against a clock
// sped up by as much. Addresses of -1 leave that part out.
struct Motion
{
    bool enabled = false;
    double timeScale = 1;
    int torqueAddress = -1; // nothing moves while this byte is 0
    int goalAddress = -1;
    int presentAddress = -1;
    int positionWidth = 4;
    double unitsPerSecond = 4096; // position units per second, to the goal and when turning
    int wrap = 0;                 // a turn wraps the position modulo this (0: no wrap)
    int driveAddress = -1;
    int driveWidth = 2;
    int driveDirection = 0; // drive values from here up turn backward (sign and magnitude); 0: two's complement
    int velocityAddress = -1;
    int velocityWidth = 4;
    int velocityDirection = 0; // present velocity in sign and magnitude from here; 0: two's complement
    int runningVelocity = 0;   // present velocity while moving forward

    // State: where the servo is, and the bus time it was last moved to.
    double position = 0;
    qint64 lastMs = -1;
};

// What a bootloader does wrong.
struct BootFaults
{
    bool neverEnters = false;  // never answers the entry
    bool rejectLoad = false;   // answers the load with "ERROR" (packets: refuses the transfer start)
    bool rejectBlock = false;  // answers a block with "X:" (packets: refuses a data block)
    bool wrongSum = false;     // takes every sum byte for wrong (packets: refuses the last block)
    QByteArray streamAnswer;   // answered after a stream instead of "SUCCESS" (e.g. "FAIL", "ERROR")
    int silentAfter = -1;      // falls silent once this many image bytes arrived (-1: never)
    int nulEchoes = 0;         // answers the first "#"s with NUL-padded echoes before its prompt
    int splitGapMs = 0;        // every answer after the prompt goes out in two pieces this far apart
    bool shortFormsOnly = false; // knows only "L 8009000" and "G 8009000", not "LOAD 8009000" and "GO 8009000"
};

struct BootloaderSetup
{
    int dialect = 2;      // 0 to 5: the console dialect (4 blocks, 5 controller board)
    bool packets = false; // the packet bootloader ('$' prompt, bootloader packets)
    BootFaults faults;
    // The rate the bootloader listens at: bytes sent at another one reach it
    // as noise and are lost (0: it takes bytes at any rate).
    int baudRate = 57600;
    // The calibration program that a load at 8009000 brings (line dialects 1
    // to 3). Started with "G 8009000" or "GO 8009000", it prints the first
    // answer, and the next one at each "N"; an empty answer, or none left, is
    // silence. After an answer holding "COMPLETE", or a "C" (answered
    // "CANCEL"), the device restarts into its application.
    QList<QByteArray> calibrationAnswers{"Step 1: TURN the horn to the mark, then N",
                                         "Step 2: TURN the horn back, then N", "Calibration COMPLETE"};
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
    int firmwareAddress = -1; // where the firmware version lives (a new image changes it)
    int baudRate = 0;        // answers only while the port runs at this rate (0: at any rate)
    int protocolTypeAddress = -1; // a write of 1, 2 or 10 here moves the device to protocol 1.0, 2.0 or Modbus
    // What the device's answers to the shuffle instruction carry: the ID value
    // inside its scrambled identity (-1: its ID) and the seed that scrambles it.
    int shuffleIdValue = -1;
    quint8 shuffleSeed = 0x3C;
    Faults faults;
    Motion motion;

    // A registered write, carried out by ACTION.
    bool registered = false;
    int registeredAddress = 0;
    QByteArray registeredData;
    int reboots = 0;
    int factoryResets = 0;
    // A device with a bootloader enters it when it is rebooted (REBOOT, or
    // the digital reset of protocol 1.0).
    std::optional<BootloaderSetup> bootloader;
    // A write of `bootWriteValue` at this address restarts the device into
    // its bootloader too, as a controller board does (-1: no such address).
    int bootWriteAddress = -1;
    // A write at this address (protocol 2.0 baud register values 0 to 9;
    // protocol 1.0 values 207, 34, 16, 1, 0 and 252) holds the device to the
    // new rate from then on (-1: no such address).
    int baudRegisterAddress = -1;
    quint16 bootWriteValue = 0; // Modbus: the whole register value
    // After a restart, the bootloader starts the application unless something
    // reaches it within this time (-1: it waits for its entry for ever).
    int bootWindowMs = -1;
    // Each restart brings the device back at its factory rate: the baud
    // register takes its initial value again, and the device is held to it.
    bool factoryRateAfterRestart = false;
    // A controller board: it hears the line at its own rate and relays what
    // is not for itself to the devices behind it at the servo bus rate that
    // its byte here names (protocol 2.0 values 0 to 9; -1: not a board).
    int relayRegisterAddress = -1;
    // Modbus: a write of 2 at this address restores the factory table (the
    // reset command; -1: no such address).
    int resetWriteAddress = -1;

    // Devices built by code, in the usual layouts: protocol 2.0 with the model
    // number at 0, firmware version at 6 and ID at 7; protocol 1.0 with the
    // model number at 0, firmware version at 2 and ID at 3.
    static Device protocol2(quint8 id, quint16 modelNumber, quint8 firmware, int tableSize = 256);
    static Device protocol1(quint8 id, quint16 modelNumber, quint8 firmware, int tableSize = 50);
    // A Modbus servo: the protocol 2.0 layout (model number in register 0,
    // firmware version in the low byte of register 3).
    static Device modbus(quint8 id, quint16 modelNumber, quint8 firmware, int tableSize = 256);

    // Sets bytes of the table as initial values (restored by a factory reset too).
    void setInitial(int address, const QByteArray &bytes);

    // Whether [address, address + length) lies inside the table.
    bool holds(int address, int length) const;
    // Writes when the range lies inside the table; moves the device when the ID
    // byte changes. Returns false when the range is outside.
    bool write(int address, const QByteArray &bytes);
    void restoreFactory();
    // The rate a value of the baud register stands for in the device's
    // protocol (0: none).
    int rateOfBaudRegister(quint8 value) const;
    // Holds the device to the rate its baud register names, when it has one.
    void followBaudRegister();
    // The device starts its application again (after its bootloader).
    void restarted();
    // Moves the servo to bus time `nowMs` (ms since the bus started).
    void advance(qint64 nowMs);

    // A status packet of this device with its faults applied; empty when silent.
    Reply status(quint8 error, const QByteArray &params) const;
    // Applies the faults (not `error`) to a reply built elsewhere.
    Reply withFaults(QByteArray packet) const;
    // Whether the device refuses to carry out instructions (its error fault
    // holds an error number, 2.0, or any error bit, 1.0).
    bool refuses() const;
};

} // namespace sim
