#include "tests/sim/SimModbus.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr int kStaleMs = 100; // a partial frame that stops growing for this long is dropped
constexpr quint8 kRead = 3;
constexpr quint8 kWriteOne = 6;
constexpr quint8 kWriteMany = 16;
constexpr quint8 kIllegalAddress = 2;
constexpr quint8 kServerFailure = 4;

int word(const QByteArray &b, int i)
{
    return static_cast<quint8>(b.at(i)) << 8 | static_cast<quint8>(b.at(i + 1));
}

void putWord(QByteArray *b, int value)
{
    b->append(static_cast<char>(value >> 8 & 0xFF));
    b->append(static_cast<char>(value & 0xFF));
}

} // namespace

quint16 modbusCrc(const QByteArray &bytes)
{
    quint16 crc = 0xFFFF;
    for (const char c : bytes) {
        crc ^= static_cast<quint8>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<quint16>(crc >> 1 ^ 0xA001) : static_cast<quint16>(crc >> 1);
    }
    return crc;
}

QByteArray modbusFrame(const QByteArray &body)
{
    const quint16 crc = modbusCrc(body);
    QByteArray frame = body;
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

struct ModbusServo::Impl
{
    quint8 id = 1;
    int master = -1;
    int slave = -1; // held open: the master never sees a hang-up while the port is reopened
    int wake[2] = {-1, -1};
    QString port;
    std::thread thread;
    QByteArray inbox;

    mutable std::mutex mutex;
    mutable std::condition_variable arrived;
    QList<quint16> registers;
    ModbusFaults faults;
    QList<ModbusRequest> requests;
    int answered = 0;

    void run();
    void cut();
    // The answer to one request (empty: none), with `delayMs` to wait first.
    QByteArray answer(const ModbusRequest &request, const QByteArray &frame, int *delayMs);
    bool pause(int ms) const;
};

ModbusServo::ModbusServo(quint8 id, int registers)
    : d(std::make_unique<Impl>())
{
    d->id = id;
    d->registers = QList<quint16>(registers, 0);
    if (::openpty(&d->master, &d->slave, nullptr, nullptr, nullptr) != 0)
        return;
    termios t{};
    ::tcgetattr(d->slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(d->slave, TCSANOW, &t);
    ::fcntl(d->master, F_SETFL, ::fcntl(d->master, F_GETFL) | O_NONBLOCK);
    ::fcntl(d->master, F_SETFD, FD_CLOEXEC);
    ::fcntl(d->slave, F_SETFD, FD_CLOEXEC);
    if (::pipe2(d->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::close(d->master);
        d->master = -1;
        return;
    }
    char name[128] = {};
    ::ttyname_r(d->slave, name, sizeof name);
    d->port = QString::fromLocal8Bit(name);
    d->thread = std::thread([this] { d->run(); });
}

ModbusServo::~ModbusServo()
{
    if (d->wake[1] >= 0) {
        const char one = 1;
        [[maybe_unused]] const ssize_t n = ::write(d->wake[1], &one, 1);
    }
    if (d->thread.joinable())
        d->thread.join();
    for (int fd : {d->master, d->slave, d->wake[0], d->wake[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void ModbusServo::sendRaw(const QByteArray &bytes)
{
    std::lock_guard lock(d->mutex);
    qsizetype at = 0;
    while (d->master >= 0 && at < bytes.size()) {
        const ssize_t n = ::write(d->master, bytes.constData() + at, static_cast<size_t>(bytes.size() - at));
        if (n > 0)
            at += n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        else
            d->pause(1);
    }
}

void ModbusServo::hangUp()
{
    if (d->wake[1] >= 0) {
        const char one = 1;
        [[maybe_unused]] const ssize_t n = ::write(d->wake[1], &one, 1);
    }
    if (d->thread.joinable())
        d->thread.join();
    std::lock_guard lock(d->mutex);
    // Both sides go: the held slave would keep the line up for the code under test.
    for (int *fd : {&d->master, &d->slave}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

bool ModbusServo::isOpen() const { return d->master >= 0; }
QString ModbusServo::portName() const { return d->port; }

quint16 ModbusServo::reg(int index) const
{
    std::lock_guard lock(d->mutex);
    return d->registers.value(index);
}

void ModbusServo::setRegister(int index, quint16 value)
{
    std::lock_guard lock(d->mutex);
    if (index >= 0 && index < d->registers.size())
        d->registers[index] = value;
}

void ModbusServo::setFaults(const ModbusFaults &faults)
{
    std::lock_guard lock(d->mutex);
    d->faults = faults;
    d->answered = 0;
}

QList<ModbusRequest> ModbusServo::requests() const
{
    std::lock_guard lock(d->mutex);
    return d->requests;
}

void ModbusServo::clearRequests()
{
    std::lock_guard lock(d->mutex);
    d->requests.clear();
}

bool ModbusServo::waitForRequests(int count, int timeoutMs) const
{
    std::unique_lock lock(d->mutex);
    return d->arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return d->requests.size() >= count; });
}

bool ModbusServo::Impl::pause(int ms) const
{
    pollfd w{wake[0], POLLIN, 0};
    return ::poll(&w, 1, ms) == 0;
}

void ModbusServo::Impl::run()
{
    pollfd fds[2] = {{master, POLLIN, 0}, {wake[0], POLLIN, 0}};
    for (;;) {
        const int n = ::poll(fds, 2, inbox.isEmpty() ? -1 : kStaleMs);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (fds[1].revents & POLLIN))
            return;
        if (n == 0) {
            inbox.clear();
            continue;
        }
        if (fds[0].revents & POLLIN) {
            char chunk[512];
            ssize_t got;
            while ((got = ::read(master, chunk, sizeof chunk)) > 0)
                inbox.append(chunk, got);
            cut();
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            if (!pause(10))
                return;
        }
    }
}

void ModbusServo::Impl::cut()
{
    while (inbox.size() >= 8) {
        const auto function = static_cast<quint8>(inbox.at(1));
        int size = 8;
        if (function == kWriteMany)
            size = 9 + static_cast<quint8>(inbox.at(6));
        if (inbox.size() < size)
            return;
        const QByteArray frame = inbox.left(size);
        if ((function != kRead && function != kWriteOne && function != kWriteMany)
            || modbusCrc(frame.left(size - 2)) != (static_cast<quint8>(frame.at(size - 2)) | static_cast<quint8>(frame.at(size - 1)) << 8)) {
            inbox.remove(0, 1);
            continue;
        }
        inbox.remove(0, size);
        ModbusRequest request;
        request.id = static_cast<quint8>(frame.at(0));
        request.function = function;
        request.start = word(frame, 2);
        request.count = function == kWriteOne ? 1 : word(frame, 4);
        if (function == kWriteOne)
            request.values = {static_cast<quint16>(word(frame, 4))};
        for (int i = 0; function == kWriteMany && 7 + 2 * i + 1 < size - 2; ++i)
            request.values.append(static_cast<quint16>(word(frame, 7 + 2 * i)));
        int delayMs = 0;
        QByteArray reply;
        {
            std::lock_guard lock(mutex);
            requests.append(request);
            reply = answer(request, frame, &delayMs);
        }
        arrived.notify_all();
        if (reply.isEmpty())
            continue;
        if (delayMs > 0 && !pause(delayMs))
            return;
        for (qsizetype at = 0; at < reply.size();) {
            const ssize_t n = ::write(master, reply.constData() + at, static_cast<size_t>(reply.size() - at));
            if (n > 0)
                at += n;
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
            else if (!pause(1))
                return;
        }
    }
}

QByteArray ModbusServo::Impl::answer(const ModbusRequest &request, const QByteArray &frame, int *delayMs)
{
    if (request.id != id || faults.silent)
        return {};
    if (faults.answerFirst >= 0 && answered >= faults.answerFirst)
        return {};
    const int number = answered++;
    QByteArray body;
    body.append(static_cast<char>(id));
    const bool refused = number == faults.refuseRequest;
    if (refused || request.start + request.count > registers.size()) {
        body.append(static_cast<char>(request.function | 0x80));
        body.append(static_cast<char>(refused ? kServerFailure : kIllegalAddress));
        return modbusFrame(body);
    }
    body.append(static_cast<char>(request.function));
    if (request.function == kRead) {
        *delayMs = faults.readDelayMs;
        const int count = faults.valueCount >= 0 ? faults.valueCount : request.count;
        body.append(static_cast<char>(2 * count));
        for (int i = 0; i < count; ++i)
            putWord(&body, registers.value(request.start + i));
        return modbusFrame(body);
    }
    for (int i = 0; i < request.values.size(); ++i)
        registers[request.start + i] = request.values.at(i);
    if (request.function == kWriteOne)
        return frame; // a single write is answered by its echo
    putWord(&body, request.start);
    putWord(&body, request.count);
    return modbusFrame(body);
}

} // namespace sim
