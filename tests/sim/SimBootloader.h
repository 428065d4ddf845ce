#pragma once
// A simulated bootloader: the text console of every dialect (0 to 5) and the
// packet bootloader. It is a plain state machine: the bus hands it the bytes
// that arrive (or, for the packet kind, the bootloader packets it cut) and the
// passing of time, and writes the replies it returns.

#include "tests/sim/SimDevice.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace sim {

struct Instruction;

// One read of the line while the bootloader ran.
struct Arrival
{
    qint64 atMs = 0; // ms since the bus started
    QByteArray bytes;
};

// The firmware version an image names in its first line ("version=N"), if any.
std::optional<int> imageVersion(const QByteArray &image);

class Bootloader
{
public:
    explicit Bootloader(const BootloaderSetup &setup);

    // Raw bytes while the console (or the entry of the packet kind) runs.
    QList<Reply> feed(const QByteArray &bytes, qint64 nowMs);
    // A bootloader packet, once the packet kind has been entered.
    QList<Reply> packet(const Instruction &in);
    // Time passed without bytes: ends a stream or a last block.
    QList<Reply> idle(qint64 nowMs);
    // When idle() next has something to decide (-1: nothing pending).
    qint64 nextDecisionMs() const;

    // Whether the bytes of the line are the bootloader's (console or entry),
    // rather than packets to cut.
    bool takesRawBytes() const;
    // Bytes of the last feed that begin the first packet: they go to the
    // packet cutter.
    QByteArray takeHandOver();
    // The rate it listens at (0: any).
    int baudRate() const { return setup_.baudRate; }
    // Whether it has answered the entry (its first prompt).
    bool answeredEntry() const { return phase_ != Phase::Entry; }
    // Set once the bootloader starts the application.
    bool finished() const { return finished_; }
    // The image last received, without its sum bytes.
    QByteArray image() const { return image_; }
    bool imageComplete() const { return imageComplete_; }

private:
    enum class Phase { Entry, Prompted, Console, Stream, Blocks, AwaitX, Packets, Calibration, Silent };

    QList<Reply> say(const QByteArray &text) const;
    QList<Reply> onConsoleByte(char c);
    QList<Reply> command(const QByteArray &word);
    QList<Reply> startApplication(const QByteArray &text);
    QList<Reply> endBlock();
    // The calibration program's answer to a line, once it runs.
    QList<Reply> calibrationCommand(const QByteArray &word);
    QList<Reply> calibrationAnswer();
    QByteArray prompt() const;
    bool lineMode() const { return setup_.dialect >= 1 && setup_.dialect <= 3; }
    void takeImageBytes(const QByteArray &bytes);

    BootloaderSetup setup_;
    Phase phase_ = Phase::Entry;
    int echoesLeft_ = 0;
    QByteArray line_;
    QByteArray handOver_;
    QByteArray pending_;
    qint64 lastByteMs_ = 0;
    QByteArray image_;
    bool imageComplete_ = false;
    bool finished_ = false;
    qint64 imageBytesSeen_ = 0;
    bool calibrationLoad_ = false; // the last load was at the calibration address
    int calibrationStep_ = 0;      // the next answer of the calibration program
    // Packet kind: the modes of the transfer and the next block index.
    int dataMode_ = -1;
    quint32 announcedSize_ = 0;
    int nextIndex_ = 0;
};

} // namespace sim
