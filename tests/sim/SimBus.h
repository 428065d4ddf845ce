#pragma once
// A simulated servo bus on a pseudo-terminal pair. The bus serves the master
// side on a thread of its own; the program under test opens portName() (the
// slave side) with QSerialPort as it would open a real adapter. Devices answer
// protocol 1.0 and 2.0 instructions from their byte tables, with the faults set
// on them, and every instruction that arrives is recorded.
//
// All member functions may be called from any thread.

#include "tests/sim/SimBootloader.h"
#include "tests/sim/SimDevice.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace sim {

// Extra latency in ms that tests give the code under test on top of its reply
// window, so that a reply the loaded machine delivers late still lands inside
// it. Only the tests about time-outs run with the bare window.
constexpr int kReplySlackMs = 1000;

// Waits until the bus on the line of `fd` (the slave side of a simulated
// bus's pty, as a program under test holds it) has read every byte written on
// it, for at most 2 s; returns at once for any other descriptor. The simulated
// line's tcdrain: see SimBus.cpp.
void drainLine(int fd);

// One instruction as the bus received it.
struct Instruction
{
    qint64 atMs = 0; // ms since the bus started
    Protocol protocol = Protocol::V2;
    quint8 id = 0;
    quint8 code = 0;   // the instruction byte
    QByteArray params; // parameters, stuffing removed
    QByteArray raw;    // the packet as it arrived
    bool boot = false; // a bootloader packet (protocol 2.0 with FF FF FD 0A)

    // "PING", "READ", "WRITE", "SYNC_WRITE", ... or "INST_xx" for unknown codes;
    // "BOOT_xx" for bootloader packets.
    QString name() const;
    // One line of the instruction log: protocol, ID, name and the parameters in
    // hex, e.g. "2.0 1 WRITE 40 00 01".
    QString logLine() const;
};

class SimBus
{
public:
    SimBus();
    ~SimBus();
    SimBus(const SimBus &) = delete;
    SimBus &operator=(const SimBus &) = delete;

    // False when no pseudo-terminal could be had; errorString() says why.
    bool isOpen() const;
    QString errorString() const;
    // The path of the slave side, e.g. "/dev/pts/7".
    QString portName() const;

    // Devices answer on their ID and protocol; adding one with the ID and
    // protocol of another replaces it.
    void addDevice(const Device &device);
    // Adds a device beside any that hold its ID and protocol: an ID clash, as
    // when two new servos arrive with the same ID. The shuffle instruction
    // reaches all of them; other instructions reach the first.
    void addSharedDevice(const Device &device);
    void removeDevice(quint8 id, Protocol protocol = Protocol::V2);
    std::optional<Device> device(quint8 id, Protocol protocol = Protocol::V2) const;
    QByteArray memory(quint8 id, int address, int length, Protocol protocol = Protocol::V2) const;
    void setMemory(quint8 id, int address, const QByteArray &bytes, Protocol protocol = Protocol::V2);
    void setFaults(quint8 id, const Faults &faults, Protocol protocol = Protocol::V2);

    // Every well-formed instruction received, in order.
    QList<Instruction> received() const;
    // How many received instructions have this code (any protocol, any ID).
    int receivedCount(quint8 code) const;
    void clearReceived();
    // Waits until at least `count` instructions were received; for instructions
    // that get no reply. Returns false when timeoutMs passed first.
    bool waitForReceived(int count, int timeoutMs) const;
    // Packets that arrived with a bad CRC or checksum (not recorded, not answered).
    int corruptPackets() const;

    // Appends each instruction's log line to this file, flushed per line.
    bool setLogFile(const QString &path);
    // Puts bytes on the line as if another station sent them.
    void sendRaw(const QByteArray &bytes);
    // Echo mode: every byte received is sent straight back and nothing is
    // parsed (a bare link, to measure the round trip of the line itself).
    void setEcho(bool on);
    // The other end goes away, as when a USB adapter is pulled: the bus stops
    // serving and closes the master side; the slave side now reports a hang-up.
    void hangUp();

    // Answers instructions in place of the devices, for device behaviour they
    // lack: the reply bytes (empty: no reply), or nothing to let the devices
    // answer as usual. Every instruction is still recorded. It runs on the bus
    // thread with the bus lock held, so it must not call back into the bus.
    using Responder = std::function<std::optional<QByteArray>(const Instruction &)>;
    void setResponder(Responder responder);

    // Called as a bootloader answers the program's entry (its first prompt),
    // with the device's ID, on the bus thread before the answer goes out: a
    // test changes the world there (an image file, say) between what the
    // program did before the entry and what it does after. It runs with the
    // bus lock held, so it must not call back into the bus.
    using EntryHook = std::function<void(quint8 id)>;
    void setEntryHook(EntryHook hook);

    // Gives a device a bootloader, which it enters when it is rebooted.
    void setBootloader(quint8 id, const BootloaderSetup &setup, Protocol protocol = Protocol::V2);
    // The device is in its bootloader now (as after switching it on); false
    // when it has no bootloader.
    bool startBootloader(quint8 id, Protocol protocol = Protocol::V2);
    bool inBootloader() const;
    // The image the bootloader last received (sum bytes removed), and whether
    // the bootloader judged it complete.
    QByteArray bootImage() const;
    bool bootImageComplete() const;
    // Every read of the line while a bootloader ran, with its time.
    QList<Arrival> bootArrivals() const;
    // Writes each image a bootloader received to this file when its device restarts.
    void setBootImageFile(const QString &path);
    // Waits until no bootloader runs (the device restarted into its application).
    bool waitForApplication(int timeoutMs) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace sim
