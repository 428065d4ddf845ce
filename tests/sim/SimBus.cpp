#include "tests/sim/SimBus.h"

#include "tests/sim/SimBusImpl.h"
#include "tests/sim/SimLineSpeed.h"
#include "tests/sim/SimModbus.h"
#include "tests/sim/SimPackets.h"

#include <QFile>

#include <QDeadlineTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace sim {

namespace {

// The lines of the buses in this process: the slave side's device and the
// master side the bus reads, for drainLine.
struct Line
{
    dev_t device = 0;
    int master = -1;
};
std::mutex linesMutex;
std::vector<Line> lines;

void addLine(int slave, int master)
{
    struct stat st{};
    if (::fstat(slave, &st) != 0)
        return;
    std::lock_guard lock(linesMutex);
    lines.push_back(Line{st.st_rdev, master});
}

void removeLine(int master)
{
    std::lock_guard lock(linesMutex);
    lines.erase(std::remove_if(lines.begin(), lines.end(), [master](const Line &l) { return l.master == master; }),
                lines.end());
}

// The longest a drain waits for the bus to take the bytes: the bus may be
// pausing before a reply of its own.
constexpr int kDrainLimitMs = 2000;

} // namespace

void drainLine(int fd)
{
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return;
    std::lock_guard lock(linesMutex);
    const auto line = std::find_if(lines.cbegin(), lines.cend(), [&st](const Line &l) { return l.device == st.st_rdev; });
    if (line == lines.cend())
        return;
    // Every byte written before the drain is readable on the master side
    // (a poll there moves the kernel's pending bytes in first); the drain
    // ends once the bus has read them all.
    const QDeadlineTimer deadline(kDrainLimitMs);
    for (;;) {
        pollfd readable{line->master, POLLIN, 0};
        if (::poll(&readable, 1, 0) <= 0 || !(readable.revents & POLLIN) || deadline.hasExpired())
            return;
        ::usleep(200);
    }
}

namespace {
// Longest protocol 2.0 packet the engines send (4096 bytes and the CRC);
// a longer LEN is taken for noise.
constexpr qsizetype kLongestInstruction2 = 4098;
// A partial packet that stops growing for this long is dropped.
constexpr int kStaleMs = 100;

quint16 word16(const QByteArray &b, qsizetype i)
{
    return static_cast<quint16>(static_cast<quint8>(b.at(i)) | (static_cast<quint8>(b.at(i + 1)) << 8));
}

QString instructionName(Protocol protocol, quint8 code)
{
    if (protocol == Protocol::Modbus) {
        switch (code) {
        case 0x03: return QStringLiteral("READ_REGISTERS");
        case 0x06: return QStringLiteral("WRITE_REGISTER");
        case 0x10: return QStringLiteral("WRITE_REGISTERS");
        default: return QStringLiteral("FUNCTION_%1").arg(code, 2, 16, QChar('0')).toUpper();
        }
    }
    switch (code) {
    case 0x01: return QStringLiteral("PING");
    case 0x02: return QStringLiteral("READ");
    case 0x03: return QStringLiteral("WRITE");
    case 0x04: return QStringLiteral("REG_WRITE");
    case 0x05: return QStringLiteral("ACTION");
    case 0x06: return QStringLiteral("FACTORY_RESET");
    case 0x08: return QStringLiteral("REBOOT");
    case 0x0D: return QStringLiteral("SYSTEM_WRITE");
    case 0x55: return QStringLiteral("STATUS");
    case 0x83: return QStringLiteral("SYNC_WRITE");
    case 0x92: return QStringLiteral("BULK_READ");
    default: break;
    }
    if (protocol == Protocol::V1)
        return code == 0x07 ? QStringLiteral("DIGITAL_RESET") : QStringLiteral("INST_%1").arg(code, 2, 16, QChar('0')).toUpper();
    switch (code) {
    case 0x10: return QStringLiteral("CLEAR");
    case 0x20: return QStringLiteral("AUX");
    case 0x82: return QStringLiteral("SYNC_READ");
    case 0x93: return QStringLiteral("BULK_WRITE");
    case 0x9A: return QStringLiteral("FAST_BULK_READ");
    default: return QStringLiteral("INST_%1").arg(code, 2, 16, QChar('0')).toUpper();
    }
}
} // namespace

QString Instruction::name() const
{
    if (boot)
        return QStringLiteral("BOOT_%1").arg(code, 2, 16, QChar('0')).toUpper();
    return instructionName(protocol, code);
}

QString Instruction::logLine() const
{
    const char *protocolText = protocol == Protocol::V2 ? "2.0" : protocol == Protocol::V1 ? "1.0" : "MODBUS";
    QString line = QStringLiteral("%1 %2 %3").arg(protocolText).arg(id).arg(name());
    if (!params.isEmpty())
        line += QLatin1Char(' ') + QString::fromLatin1(params.toHex(' ').toUpper());
    return line;
}

SimBus::SimBus()
    : d(std::make_unique<Impl>())
{
    d->clock.start();
    if (d->open())
        d->thread = std::thread([this] { d->run(); });
}

SimBus::~SimBus()
{
    d->close();
}

bool SimBus::isOpen() const { return d->master >= 0; }
QString SimBus::errorString() const { return d->error; }
QString SimBus::portName() const { return d->port; }

void SimBus::addDevice(const Device &device)
{
    std::lock_guard lock(d->mutex);
    for (Device &existing : d->devices) {
        if (existing.id == device.id && existing.protocol == device.protocol) {
            existing = device;
            return;
        }
    }
    d->devices.append(device);
}

void SimBus::addSharedDevice(const Device &device)
{
    std::lock_guard lock(d->mutex);
    d->devices.append(device);
}

void SimBus::removeDevice(quint8 id, Protocol protocol)
{
    std::lock_guard lock(d->mutex);
    d->devices.removeIf([&](const Device &dev) { return dev.id == id && dev.protocol == protocol; });
}

std::optional<Device> SimBus::device(quint8 id, Protocol protocol) const
{
    std::lock_guard lock(d->mutex);
    if (const Device *dev = d->held(id, protocol))
        return *dev;
    return std::nullopt;
}

QByteArray SimBus::memory(quint8 id, int address, int length, Protocol protocol) const
{
    std::lock_guard lock(d->mutex);
    const Device *dev = d->held(id, protocol);
    return dev && dev->holds(address, length) ? dev->table.mid(address, length) : QByteArray();
}

void SimBus::setMemory(quint8 id, int address, const QByteArray &bytes, Protocol protocol)
{
    std::lock_guard lock(d->mutex);
    if (Device *dev = d->held(id, protocol))
        dev->write(address, bytes);
}

void SimBus::setFaults(quint8 id, const Faults &faults, Protocol protocol)
{
    std::lock_guard lock(d->mutex);
    if (Device *dev = d->held(id, protocol))
        dev->faults = faults;
}

QList<Instruction> SimBus::received() const
{
    std::lock_guard lock(d->mutex);
    return d->received;
}

int SimBus::receivedCount(quint8 code) const
{
    std::lock_guard lock(d->mutex);
    return static_cast<int>(std::count_if(d->received.cbegin(), d->received.cend(),
                                          [code](const Instruction &i) { return i.code == code; }));
}

void SimBus::clearReceived()
{
    std::lock_guard lock(d->mutex);
    d->received.clear();
}

bool SimBus::waitForReceived(int count, int timeoutMs) const
{
    std::unique_lock lock(d->mutex);
    return d->receivedChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                       [&] { return d->received.size() >= count; });
}

int SimBus::corruptPackets() const
{
    std::lock_guard lock(d->mutex);
    return d->corrupt;
}

bool SimBus::setLogFile(const QString &path)
{
    std::FILE *file = std::fopen(QFile::encodeName(path).constData(), "a");
    std::lock_guard lock(d->mutex);
    if (d->log)
        std::fclose(d->log);
    d->log = file;
    return file != nullptr;
}

void SimBus::sendRaw(const QByteArray &bytes)
{
    d->writeAll(bytes);
}

void SimBus::setEcho(bool on)
{
    d->echo = on;
}

void SimBus::setResponder(Responder responder)
{
    std::lock_guard lock(d->mutex);
    d->responder = std::move(responder);
}

void SimBus::setEntryHook(EntryHook hook)
{
    std::lock_guard lock(d->mutex);
    d->entryHook = std::move(hook);
}

void SimBus::setBootloader(quint8 id, const BootloaderSetup &setup, Protocol protocol)
{
    std::lock_guard lock(d->mutex);
    for (Device &dev : d->devices) {
        if (dev.id == id && dev.protocol == protocol)
            dev.bootloader = setup;
    }
}

bool SimBus::startBootloader(quint8 id, Protocol protocol)
{
    std::lock_guard lock(d->mutex);
    for (const Device &dev : d->devices) {
        if (dev.id == id && dev.protocol == protocol && dev.bootloader) {
            d->enterBootloader(dev);
            return true;
        }
    }
    return false;
}

bool SimBus::inBootloader() const
{
    std::lock_guard lock(d->mutex);
    return d->boot.has_value();
}

QByteArray SimBus::bootImage() const
{
    std::lock_guard lock(d->mutex);
    return d->bootImage;
}

bool SimBus::bootImageComplete() const
{
    std::lock_guard lock(d->mutex);
    return d->bootImageComplete;
}

QList<Arrival> SimBus::bootArrivals() const
{
    std::lock_guard lock(d->mutex);
    return d->arrivals;
}

void SimBus::setBootImageFile(const QString &path)
{
    std::lock_guard lock(d->mutex);
    d->bootImageFile = path;
}

bool SimBus::waitForApplication(int timeoutMs) const
{
    std::unique_lock lock(d->mutex);
    return d->receivedChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !d->boot; });
}

// --- the link ---------------------------------------------------------------

bool SimBus::Impl::open()
{
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        error = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Raw from the start: no echo and no line editing, even while no serial
    // port has the slave open (and after one closes it again).
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        ::close(master);
        ::close(slave);
        master = slave = -1;
        return false;
    }
    wakeRead = wake[0];
    wakeWrite = wake[1];
    char name[128] = {};
    ::ttyname_r(slave, name, sizeof name);
    port = QString::fromLocal8Bit(name);
    addLine(slave, master);
    return true;
}

void SimBus::hangUp()
{
    d->stopServing();
    removeLine(d->master);
    std::lock_guard<std::mutex> line(d->writeMutex);
    if (d->master >= 0)
        ::close(d->master);
    d->master = -1;
}

void SimBus::Impl::stopServing()
{
    stopping = true;
    if (wakeWrite >= 0) {
        const char one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeWrite, &one, 1);
    }
    if (thread.joinable())
        thread.join();
}

void SimBus::Impl::close()
{
    removeLine(master);
    stopServing();
    for (int *fd : {&master, &slave, &wakeRead, &wakeWrite}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    if (log)
        std::fclose(log);
    log = nullptr;
}

void SimBus::Impl::run()
{
    pollfd fds[2] = {{master, POLLIN, 0}, {wakeRead, POLLIN, 0}};
    while (!stopping) {
        int timeout = inbox.isEmpty() ? -1 : kStaleMs;
        const int bootWait = bootWaitMs();
        if (bootWait >= 0 && (timeout < 0 || bootWait < timeout))
            timeout = bootWait;
        const int n = ::poll(fds, 2, timeout);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (fds[1].revents & POLLIN))
            break;
        if (n == 0) {
            if (!inbox.isEmpty() && clock.elapsed() - inboxGrewMs >= kStaleMs)
                inbox.clear(); // a partial packet stopped growing
            QList<Reply> replies;
            {
                std::lock_guard lock(mutex);
                closeBootWindow(false);
                if (boot) {
                    replies = boot->idle(clock.elapsed());
                    followBootloader();
                }
            }
            send(replies);
            continue;
        }
        if (fds[0].revents & POLLIN) {
            char chunk[4096];
            for (;;) {
                // The rate is taken before each read: a program that drains
                // its bytes before it closes or sets another rate is still
                // waiting for them here (see drainLine), so they are judged
                // at the rate they were sent at.
                const int baud = lineBaudRate(slave);
                const ssize_t got = ::read(master, chunk, sizeof chunk);
                if (got <= 0)
                    break;
                if (echo) {
                    writeAll(QByteArray(chunk, got));
                    continue;
                }
                QList<Reply> replies;
                QByteArray handOver;
                bool raw = false;
                {
                    std::lock_guard lock(mutex);
                    // Bytes at another rate than the bootloader's reach it as
                    // noise: they neither catch it nor get to it.
                    const bool noise = boot && boot->takesRawBytes() && !bootloaderHears(baud);
                    closeBootWindow(!noise);
                    if (boot) {
                        raw = boot->takesRawBytes();
                        if (noise)
                            continue;
                        arrivals.append(Arrival{clock.elapsed(), QByteArray(chunk, got)});
                        if (raw) {
                            const bool answered = boot->answeredEntry();
                            replies = boot->feed(QByteArray(chunk, got), clock.elapsed());
                            if (!answered && boot->answeredEntry() && entryHook)
                                entryHook(bootId); // before the answer goes out
                            handOver = boot->takeHandOver();
                            followBootloader();
                        }
                    }
                }
                inboxBaud = baud;
                if (raw) {
                    send(replies);
                    inbox += handOver;
                    inboxGrewMs = clock.elapsed();
                    continue;
                }
                inbox.append(chunk, got);
                inboxGrewMs = clock.elapsed();
            }
            cutPackets();
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            pause(10); // nobody on the other side for now
        }
    }
}

void SimBus::Impl::cutPackets()
{
    for (;;) {
        // A Modbus request begins with its server address, never 0xFF.
        if (!inbox.isEmpty() && inbox.at(0) != '\xFF' && servesModbus()) {
            const int cut = cutModbus();
            if (cut == 0)
                return;
            if (cut > 0)
                continue;
        }
        const qsizetype h = inbox.indexOf("\xFF\xFF");
        if (h < 0) {
            inbox = inbox.endsWith('\xFF') ? QByteArray(1, '\xFF') : QByteArray();
            return;
        }
        inbox.remove(0, h);
        if (inbox.size() < 4)
            return;
        Instruction in;
        in.atMs = clock.elapsed();
        if (inbox.at(2) == '\xFD' && (inbox.at(3) == '\0' || inbox.at(3) == '\x0A')) {
            if (inbox.size() < 7)
                return;
            const qsizetype total = word16(inbox, 5) + 7;
            if (total < 10 || total > kLongestInstruction2) {
                inbox.remove(0, 1);
                continue;
            }
            if (inbox.size() < total)
                return;
            in.raw = inbox.left(total);
            if (crc16(in.raw.left(total - 2)) != word16(in.raw, total - 2)) {
                std::lock_guard lock(mutex);
                ++corrupt;
                inbox.remove(0, 1);
                continue;
            }
            inbox.remove(0, total);
            const QByteArray body = unstuffBody(in.raw.mid(7, total - 9));
            in.protocol = Protocol::V2;
            in.boot = in.raw.at(3) == '\x0A';
            in.id = static_cast<quint8>(in.raw.at(4));
            in.code = static_cast<quint8>(body.at(0));
            in.params = body.mid(1);
        } else {
            const qsizetype total = static_cast<quint8>(inbox.at(3)) + 4;
            if (total < 6) {
                inbox.remove(0, 1);
                continue;
            }
            if (inbox.size() < total)
                return;
            in.raw = inbox.left(total);
            if (checksum1(in.raw, 2, total - 1) != static_cast<quint8>(in.raw.at(total - 1))) {
                std::lock_guard lock(mutex);
                ++corrupt;
                inbox.remove(0, 1);
                continue;
            }
            inbox.remove(0, total);
            in.protocol = Protocol::V1;
            in.id = static_cast<quint8>(in.raw.at(2));
            in.code = static_cast<quint8>(in.raw.at(4));
            in.params = in.raw.mid(5, total - 6);
        }
        take(in);
    }
}

void SimBus::Impl::take(const Instruction &instruction)
{
    QList<Reply> replies;
    {
        std::lock_guard lock(mutex);
        received.append(instruction);
        lineBaud = inboxBaud;
        if (log) {
            std::fputs((instruction.logLine() + QLatin1Char('\n')).toUtf8().constData(), log);
            std::fflush(log);
        }
        std::optional<QByteArray> scripted;
        if (responder)
            scripted = responder(instruction);
        replies = scripted ? QList<Reply>{Reply{*scripted}} : answer(instruction);
        followBootloader();
    }
    receivedChanged.notify_all();
    send(replies);
}

void SimBus::Impl::send(const QList<Reply> &replies)
{
    for (const Reply &reply : replies) {
        if (reply.bytes.isEmpty())
            continue;
        if (reply.delayMs > 0 && !pause(reply.delayMs))
            return;
        if (reply.byteGapMs <= 0) {
            writeAll(reply.bytes);
            continue;
        }
        for (qsizetype i = 0; i < reply.bytes.size(); ++i) {
            if (i > 0 && !pause(reply.byteGapMs))
                return;
            writeAll(reply.bytes.mid(i, 1));
        }
    }
}

void SimBus::Impl::enterBootloader(const Device &device)
{
    boot.emplace(*device.bootloader);
    bootWindowEndsMs = device.bootWindowMs >= 0 ? clock.elapsed() + device.bootWindowMs : -1;
    bootId = device.id;
    bootProtocol = device.protocol;
    arrivals.clear();
    inbox.clear();
    if (log) {
        std::fprintf(log, "BOOT %d ENTERED\n", device.id);
        std::fflush(log);
    }
}

void SimBus::Impl::followBootloader()
{
    // While its window is open the bootloader has heard nothing yet: the
    // image of an earlier session stays the one last received.
    if (!boot || bootWindowEndsMs >= 0)
        return;
    bootImage = boot->image();
    bootImageComplete = boot->imageComplete();
    if (!boot->finished())
        return;
    // The device starts its application: a complete image brings its version.
    Device *dev = nullptr;
    for (Device &d : devices) {
        if (d.id == bootId && d.protocol == bootProtocol)
            dev = &d;
    }
    // -1: the image names no version (or is not complete).
    const int version = bootImageComplete ? imageVersion(bootImage).value_or(-1) : -1;
    if (dev && version >= 0) {
        dev->firmware = static_cast<quint8>(version);
        if (dev->firmwareAddress >= 0)
            dev->write(dev->firmwareAddress, QByteArray(1, static_cast<char>(version)));
    }
    if (dev)
        dev->restarted();
    if (!bootImageFile.isEmpty()) {
        QFile file(bootImageFile);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(bootImage);
    }
    if (log) {
        std::fprintf(log, "BOOT %d RESTARTED %lld BYTES%s\n", bootId, static_cast<long long>(bootImage.size()),
                     version >= 0 ? qPrintable(QStringLiteral(" FW %1").arg(version)) : "");
        std::fflush(log);
    }
    boot.reset();
    receivedChanged.notify_all();
}

void SimBus::Impl::closeBootWindow(bool bytesArrived)
{
    if (!boot || bootWindowEndsMs < 0)
        return;
    if (clock.elapsed() < bootWindowEndsMs) {
        if (bytesArrived)
            bootWindowEndsMs = -1; // caught in time: the bootloader stays
        return;
    }
    // Nothing came in time: the device starts its application, and the
    // image of an earlier session stays the one last received.
    bootWindowEndsMs = -1;
    for (Device &dev : devices) {
        if (dev.id == bootId && dev.protocol == bootProtocol)
            dev.restarted();
    }
    if (log) {
        std::fprintf(log, "BOOT %d RESTARTED WITHOUT ENTRY\n", bootId);
        std::fflush(log);
    }
    boot.reset();
    receivedChanged.notify_all();
}

int SimBus::Impl::bootWaitMs()
{
    std::lock_guard lock(mutex);
    if (!boot)
        return -1;
    if (bootWindowEndsMs >= 0)
        return static_cast<int>(qBound(qint64(1), bootWindowEndsMs - clock.elapsed() + 1, qint64(60000)));
    const qint64 at = boot->nextDecisionMs();
    if (at < 0)
        return -1;
    return static_cast<int>(qBound(qint64(1), at - clock.elapsed() + 1, qint64(60000)));
}

bool SimBus::Impl::pause(int ms)
{
    pollfd wake{wakeRead, POLLIN, 0};
    return ::poll(&wake, 1, ms) == 0 && !stopping;
}

void SimBus::Impl::writeAll(const QByteArray &bytes)
{
    std::lock_guard lock(writeMutex);
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0 && !stopping) {
        const ssize_t n = ::write(master, data, static_cast<size_t>(left));
        if (n > 0) {
            data += n;
            left -= n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd fds[2] = {{master, POLLOUT, 0}, {wakeRead, POLLIN, 0}};
            ::poll(fds, 2, 100);
        } else {
            return;
        }
    }
}

// --- Modbus RTU requests -------------------------------------------------------

bool SimBus::Impl::servesModbus()
{
    std::lock_guard lock(mutex);
    if (boot)
        return false; // the line is the bootloader's
    return std::any_of(devices.cbegin(), devices.cend(), [](const Device &dev) { return dev.protocol == Protocol::Modbus; });
}

int SimBus::Impl::cutModbus()
{
    if (inbox.size() < 2)
        return 0;
    const auto function = static_cast<quint8>(inbox.at(1));
    qsizetype size = 8; // address, function, two words, CRC
    if (function == 0x10) {
        if (inbox.size() < 7)
            return 0;
        size = 9 + static_cast<quint8>(inbox.at(6));
    } else if (function != 0x03 && function != 0x06) {
        return -1;
    }
    if (inbox.size() < size)
        return 0;
    const QByteArray frame = inbox.left(size);
    const quint16 crc = static_cast<quint16>(static_cast<quint8>(frame.at(size - 2)) | static_cast<quint8>(frame.at(size - 1)) << 8);
    if (modbusCrc(frame.left(size - 2)) != crc)
        return -1;
    inbox.remove(0, size);
    Instruction in;
    in.atMs = clock.elapsed();
    in.protocol = Protocol::Modbus;
    in.id = static_cast<quint8>(frame.at(0));
    in.code = function;
    in.params = frame.mid(2, size - 4);
    in.raw = frame;
    take(in);
    return static_cast<int>(size);
}

} // namespace sim

// A pty has no transmitter: tcdrain on it returns at once, while the bytes
// may still wait unread on the master side, where a close that follows would
// change the rate under them. On the simulated line it means what it means on
// a UART: it returns once the bytes have left, taken by the bus. Test
// programs that link the simulated bus get this one in place of the C
// library's; any other descriptor is drained as usual.
extern "C" int tcdrain(int fd)
{
    const int result = ::ioctl(fd, TCSBRK, 1);
    sim::drainLine(fd);
    return result;
}
