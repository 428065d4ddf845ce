#pragma once
// Inside of SimBus, shared by its link code (SimBus.cpp) and its device
// behaviour (SimAnswers.cpp). Not for use outside tests/sim.

#include "tests/sim/SimBootloader.h"
#include "tests/sim/SimBus.h"

#include <QElapsedTimer>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace sim {

struct SimBus::Impl
{
    // The link: pty master (ours) and slave (held open so the master never sees
    // a hang-up while the program under test reopens the port), and a pipe
    // that wakes the bus thread to stop.
    int master = -1;
    int slave = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    QString port;
    QString error;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> echo{false};
    QElapsedTimer clock;
    QByteArray inbox; // bytes received and not yet cut into packets (bus thread only)
    qint64 inboxGrewMs = 0; // when the inbox last grew (bus thread only)
    // The port's rate when the bytes that last grew the inbox were read (bus
    // thread only): it was taken before the read, while the program that sent
    // them still waited for them to leave (see drainLine).
    int inboxBaud = 0;

    // Everything below is guarded by `mutex`.
    mutable std::mutex mutex;
    mutable std::condition_variable receivedChanged;
    QList<Device> devices;
    QList<Instruction> received;
    int corrupt = 0;
    std::FILE *log = nullptr;
    int lineBaud = 0; // the port's rate when the instruction being answered arrived
    Responder responder;
    EntryHook entryHook;
    // The bootloader that runs, the device it belongs to, what it read, and
    // the image it last received.
    std::optional<Bootloader> boot;
    quint8 bootId = 0;
    Protocol bootProtocol = Protocol::V2;
    QList<Arrival> arrivals;
    QByteArray bootImage;
    bool bootImageComplete = false;
    QString bootImageFile;
    qint64 bootWindowEndsMs = -1; // the running bootloader's window (-1: none)

    std::mutex writeMutex; // one writer on the line at a time

    bool open();
    void close();
    // Whether the bootloader that runs hears the line at `baud`: at its own
    // rate, directly or through a relaying board in front.
    bool bootloaderHears(int baud) const;
    // Ends the serving thread; the line stays as it is.
    void stopServing();
    void run();
    void cutPackets();
    // Whether requests are cut as Modbus RTU: a Modbus device is on the bus
    // and no bootloader holds the line.
    bool servesModbus();
    // One Modbus request from the front of the inbox: its size when taken,
    // 0 while it is incomplete, -1 when the front is no Modbus request.
    int cutModbus();
    void take(const Instruction &instruction);
    void send(const QList<Reply> &replies);
    // With `mutex` held: the device enters its bootloader; the bootloader's
    // image and end are taken over.
    void enterBootloader(const Device &device);
    void followBootloader();
    // With `mutex` held: a bootloader that was not reached within its
    // device's window starts the application; bytes that arrive in time close
    // the window for good.
    void closeBootWindow(bool bytesArrived);
    // When the bus thread must next wake for the bootloader (-1: never).
    int bootWaitMs();
    bool pause(int ms);
    void writeAll(const QByteArray &bytes);

    // Device behaviour, called with `mutex` held: the replies to one instruction.
    Device *find(quint8 id, Protocol protocol);
    // The device whatever rate the line runs at (for the test's own looks).
    Device *held(quint8 id, Protocol protocol);
    // Whether the device hears the line: a device set to another rate than the
    // port's receives only garbage.
    bool hears(const Device &device) const;
    // Whether a listener at `rate` (0: any) hears the line running at `baud`:
    // through a relaying board in front of it (other than itself), or directly.
    bool reaches(int rate, const Device *listener, int baud) const;
    QList<Reply> answer(const Instruction &instruction);
    QList<Reply> answer2(const Instruction &instruction);
    QList<Reply> broadcast2(const Instruction &instruction);
    QList<Reply> shuffle2(const Instruction &instruction);
    QList<Reply> answer1(const Instruction &instruction);
    QList<Reply> answerModbus(const Instruction &instruction);
};

} // namespace sim
