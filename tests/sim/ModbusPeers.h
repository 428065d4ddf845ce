#pragma once
// Real Modbus RTU servers that nobody here wrote, for the Modbus transport's
// tests and benchmark: a libmodbus server on a thread of this process and the
// pymodbus server as a child process. Each serves holding registers made from
// a control table (register i = byte 2i | byte 2i+1 << 8) on one end of a
// linked pseudo-terminal pair that socat relays; the code under test opens the
// other end with its serial port, as it would a USB adapter.

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace sim {

// Two pseudo-terminals linked by socat (raw, no echo). Both ends are held open
// here as well, so socat never sees a hang-up while either side closes and
// reopens its port.
class PtyLink
{
public:
    PtyLink();
    ~PtyLink();
    PtyLink(const PtyLink &) = delete;
    PtyLink &operator=(const PtyLink &) = delete;

    // False when socat could not be started or its ends did not appear; error() says why.
    bool isOpen() const { return error_.isEmpty(); }
    QString error() const { return error_; }
    // The end for the code under test and the end for the server ("/dev/pts/N").
    QString programSide() const { return ends_[0]; }
    QString serverSide() const { return ends_[1]; }

private:
    QTemporaryDir folder_;
    QProcess socat_;
    QString ends_[2];
    int held_[2] = {-1, -1};
    QString error_;
};

// Holding registers from a control table of `table` bytes (an odd size gets a 0 byte).
QList<quint16> registersOf(const QByteArray &table);

// What the libmodbus server does to its answers, besides answering: the parts
// marked "next" apply to the next answer only.
struct PeerFaults
{
    int delayNextMs = 0;     // the next answer comes this late
    QByteArray beforeNext;   // bytes put on the line ahead of the next answer
    bool corruptNext = false; // the next answer (a read's) goes out with a wrong CRC
    int refuseWith = 0;      // every request is answered with this exception code (0: none)
};

// A libmodbus RTU server on a thread, answering server address `id` from its
// register map; reads and writes of the map from the test are locked against
// the server's own.
class LibmodbusServer
{
public:
    LibmodbusServer(const QString &device, int baudRate, int id, const QList<quint16> &registers);
    ~LibmodbusServer();
    LibmodbusServer(const LibmodbusServer &) = delete;
    LibmodbusServer &operator=(const LibmodbusServer &) = delete;

    // The device is open and the server waits for requests.
    bool isReady() const { return ready_; }
    QString error() const { return error_; }

    quint16 reg(int index) const;
    void setRegister(int index, quint16 value);
    int requests() const { return requests_; }
    void setFaults(const PeerFaults &faults);

private:
    void serve();

    struct Context;
    std::unique_ptr<Context> d_;
    mutable std::mutex mutex_;
    PeerFaults faults_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> ready_{false};
    std::atomic<int> requests_{0};
    QString error_;
};

// The pymodbus RTU server (tests/sim/pymodbus_peer.py run by /usr/bin/python3),
// answering every server address from the registers of `table`.
class PymodbusServer
{
public:
    PymodbusServer(const QString &device, int baudRate, const QByteArray &table);
    ~PymodbusServer();
    PymodbusServer(const PymodbusServer &) = delete;
    PymodbusServer &operator=(const PymodbusServer &) = delete;

    // It said it serves; error() holds its output when not.
    bool isReady() const { return ready_; }
    QString error() const { return error_; }

private:
    QProcess process_;
    bool ready_ = false;
    QString error_;
};

} // namespace sim
