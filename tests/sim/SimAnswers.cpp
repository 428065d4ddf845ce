// How the simulated devices answer: protocol 2.0 (unicast and broadcast) and
// protocol 1.0 instructions. Called by the bus thread with the bus mutex held.
#include "tests/sim/SimBusImpl.h"
#include "tests/sim/SimModbus.h"
#include "tests/sim/SimPackets.h"

#include "comm/ShuffleCode.h"

#include <algorithm>
#include <iterator>

namespace sim {

namespace {

// Protocol 2.0 error numbers the devices report.
constexpr quint8 kErrorInstruction = 0x02;
constexpr quint8 kErrorDataLength = 0x05;
constexpr quint8 kErrorAccess = 0x07;
// Protocol 1.0 error bits.
constexpr quint8 kError1Range = 0x08;
constexpr quint8 kError1Instruction = 0x40;

int word16(const QByteArray &b, qsizetype i)
{
    return static_cast<quint8>(b.at(i)) | (static_cast<quint8>(b.at(i + 1)) << 8);
}

QByteArray word16Bytes(int value)
{
    QByteArray b;
    b += static_cast<char>(value & 0xFF);
    b += static_cast<char>((value >> 8) & 0xFF);
    return b;
}

QByteArray identity(const Device &dev)
{
    return word16Bytes(dev.modelNumber) + QByteArray(1, static_cast<char>(dev.firmware));
}

// A read of the table: the data, or the error when the range lies outside.
Reply readReply(const Device &dev, int address, int length, quint8 outsideError)
{
    if (!dev.holds(address, length))
        return dev.status(outsideError, {});
    return dev.status(0, dev.table.mid(address, length));
}

// A write (WRITE, SYSTEM_WRITE, a block of a sync or bulk write). A refusing
// device leaves its table alone.
bool applyWrite(Device &dev, int address, const QByteArray &data)
{
    if (dev.refuses())
        return true;
    return dev.write(address, data);
}

void applyAction(Device &dev)
{
    if (dev.registered && !dev.refuses())
        dev.write(dev.registeredAddress, dev.registeredData);
    dev.registered = false;
}

} // namespace

Device *SimBus::Impl::find(quint8 id, Protocol protocol)
{
    for (Device &dev : devices) {
        if (dev.id == id && dev.protocol == protocol && hears(dev))
            return &dev;
    }
    return nullptr;
}

Device *SimBus::Impl::held(quint8 id, Protocol protocol)
{
    for (Device &dev : devices) {
        if (dev.id == id && dev.protocol == protocol)
            return &dev;
    }
    return nullptr;
}

bool SimBus::Impl::hears(const Device &device) const
{
    return reaches(device.baudRate, &device, lineBaud);
}

bool SimBus::Impl::reaches(int rate, const Device *listener, int baud) const
{
    for (const Device &board : devices) {
        if (board.relayRegisterAddress < 0 || &board == listener || !board.holds(board.relayRegisterAddress, 1))
            continue;
        // Behind a board: the board must hear the line, and the listener the
        // servo bus the board drives.
        if (board.baudRate != 0 && board.baudRate != baud)
            return false;
        const int busRate = board.rateOfBaudRegister(static_cast<quint8>(board.table.at(board.relayRegisterAddress)));
        return rate == 0 || rate == busRate;
    }
    return rate == 0 || rate == baud;
}

bool SimBus::Impl::bootloaderHears(int baud) const
{
    const Device *owner = nullptr;
    for (const Device &dev : devices) {
        if (dev.id == bootId && dev.protocol == bootProtocol)
            owner = &dev;
    }
    return boot && reaches(boot->baudRate(), owner, baud);
}

QList<Reply> SimBus::Impl::answer(const Instruction &in)
{
    if (in.boot) // only a running packet bootloader answers these, sent at its rate
        return boot && bootloaderHears(lineBaud) ? boot->packet(in) : QList<Reply>{};
    for (Device &dev : devices)
        dev.advance(in.atMs);
    if (in.protocol == Protocol::Modbus)
        return answerModbus(in);
    return in.protocol == Protocol::V2 ? answer2(in) : answer1(in);
}

QList<Reply> SimBus::Impl::answer2(const Instruction &in)
{
    if (in.code == shuffle::kInstruction)
        return shuffle2(in);
    if (in.id == 0xFE)
        return broadcast2(in);
    Device *dev = find(in.id, Protocol::V2);
    if (!dev)
        return {};
    const QByteArray &p = in.params;
    switch (in.code) {
    case 0x01: // PING
        return {dev->status(0, identity(*dev))};
    case 0x02: // READ
        if (p.size() < 4)
            return {dev->status(kErrorDataLength, {})};
        return {readReply(*dev, word16(p, 0), word16(p, 2), kErrorAccess)};
    case 0x03:   // WRITE
    case 0x0D: { // SYSTEM_WRITE
        if (p.size() < 2)
            return {dev->status(kErrorDataLength, {})};
        const Reply ok = dev->status(0, {}); // sent from the ID it was addressed to
        if (!applyWrite(*dev, word16(p, 0), p.mid(2)))
            return {dev->status(kErrorAccess, {})};
        if (dev->baudRegisterAddress == word16(p, 0) && p.size() > 2)
            dev->followBaudRegister();
        if (dev->bootloader && dev->bootWriteAddress == word16(p, 0)
            && p.mid(2).startsWith(char(dev->bootWriteValue)))
            enterBootloader(*dev);
        return {ok};
    }
    case 0x04: // REG_WRITE
        if (p.size() < 2 || !dev->holds(word16(p, 0), static_cast<int>(p.size()) - 2))
            return {dev->status(kErrorAccess, {})};
        dev->registered = true;
        dev->registeredAddress = word16(p, 0);
        dev->registeredData = p.mid(2);
        return {dev->status(0, {})};
    case 0x05: // ACTION
        applyAction(*dev);
        return {};
    case 0x06: { // FACTORY_RESET
        const Reply ok = dev->status(0, {});
        if (!dev->refuses())
            dev->restoreFactory();
        return {ok};
    }
    case 0x08: { // REBOOT
        ++dev->reboots;
        const Reply ok = dev->status(0, {});
        if (dev->bootloader)
            enterBootloader(*dev);
        return {ok};
    }
    case 0x10: // CLEAR
    case 0x20: // AUX
        return {dev->status(0, {})};
    default:
        return {dev->status(kErrorInstruction, {})};
    }
}

QList<Reply> SimBus::Impl::broadcast2(const Instruction &in)
{
    const QByteArray &p = in.params;
    QList<Reply> replies;
    QList<Device *> all;
    for (Device &dev : devices) {
        if (dev.protocol == Protocol::V2 && hears(dev))
            all.append(&dev);
    }
    std::sort(all.begin(), all.end(), [](const Device *a, const Device *b) { return a->id < b->id; });

    switch (in.code) {
    case 0x01: // PING: everyone answers, in ID order
        for (const Device *dev : all)
            replies.append(dev->status(0, identity(*dev)));
        break;
    case 0x83: { // SYNC_WRITE: address, length, then (ID, data) per device
        if (p.size() < 4)
            break;
        const int address = word16(p, 0);
        const int length = word16(p, 2);
        for (qsizetype at = 4; at + 1 + length <= p.size(); at += 1 + length) {
            if (Device *dev = find(static_cast<quint8>(p.at(at)), Protocol::V2))
                applyWrite(*dev, address, p.mid(at + 1, length));
        }
        break;
    }
    case 0x93: // BULK_WRITE: (ID, address, length, data) per device
        for (qsizetype at = 0; at + 5 <= p.size();) {
            const int length = word16(p, at + 3);
            if (at + 5 + length > p.size())
                break;
            if (Device *dev = find(static_cast<quint8>(p.at(at)), Protocol::V2))
                applyWrite(*dev, word16(p, at + 1), p.mid(at + 5, length));
            at += 5 + length;
        }
        break;
    case 0x92: // BULK_READ: each listed device answers in turn
        for (qsizetype at = 0; at + 5 <= p.size(); at += 5) {
            if (const Device *dev = find(static_cast<quint8>(p.at(at)), Protocol::V2))
                replies.append(readReply(*dev, word16(p, at + 1), word16(p, at + 3), kErrorAccess));
        }
        break;
    case 0x9A: { // FAST_BULK_READ: one combined status from ID 0xFE
        // Per device: error, ID, data and two check bytes; the last device's two
        // bytes are the packet CRC. The chain ends at the first device that is
        // missing or silent.
        QByteArray blocks;
        const Device *first = nullptr;
        for (qsizetype at = 0; at + 5 <= p.size(); at += 5) {
            const Device *dev = find(static_cast<quint8>(p.at(at)), Protocol::V2);
            if (!dev || dev->faults.silent)
                break;
            first = first ? first : dev;
            if (!blocks.isEmpty())
                blocks += word16Bytes(crc16(blocks));
            const int address = word16(p, at + 1);
            const int length = word16(p, at + 3);
            const bool inside = dev->holds(address, length);
            blocks += static_cast<char>(dev->faults.error ? dev->faults.error : (inside ? 0 : kErrorAccess));
            blocks += static_cast<char>(dev->id);
            blocks += inside ? dev->table.mid(address, length) : QByteArray(length, '\0');
        }
        if (first)
            replies.append(first->withFaults(packet2(0xFE, 0x55, blocks)));
        break;
    }
    default: // the rest is carried out by every device, none answers
        for (Device *dev : all) {
            switch (in.code) {
            case 0x03:
            case 0x0D:
                if (p.size() >= 2)
                    applyWrite(*dev, word16(p, 0), p.mid(2));
                break;
            case 0x05:
                applyAction(*dev);
                break;
            case 0x06:
                if (!dev->refuses())
                    dev->restoreFactory();
                break;
            case 0x08:
                ++dev->reboots;
                break;
            default:
                break;
            }
        }
        break;
    }
    return replies;
}

QList<Reply> SimBus::Impl::shuffle2(const Instruction &in)
{
    // The query goes to everyone, the reassignment to one ID, which may be held
    // by several devices; each answers with its scrambled identity, in the order
    // they were added. A request without the code gets no answer.
    const QByteArray &p = in.params;
    if (p.size() < 4 || static_cast<quint8>(p.at(0)) != shuffle::kCodeLow ||
        static_cast<quint8>(p.at(1)) != shuffle::kCodeHigh)
        return {};
    const auto sub = static_cast<quint8>(p.at(2));
    const bool query = in.id == 0xFE && sub == shuffle::kQuery;
    const bool reassign = in.id != 0xFE && sub == shuffle::kReassign;
    if (!query && !reassign)
        return {};
    QList<Reply> replies;
    for (const Device &dev : std::as_const(devices)) {
        if (dev.protocol != Protocol::V2 || !hears(dev) || (reassign && dev.id != in.id))
            continue;
        const auto idValue = static_cast<quint8>(dev.shuffleIdValue >= 0 ? dev.shuffleIdValue : dev.id);
        replies.append(dev.status(0, scrambledIdentity(dev.shuffleSeed, idValue, dev.modelNumber, dev.firmware)));
    }
    return replies;
}

QList<Reply> SimBus::Impl::answer1(const Instruction &in)
{
    const QByteArray &p = in.params;
    QList<Device *> targets;
    for (Device &dev : devices) {
        if (dev.protocol == Protocol::V1 && (in.id == 0xFE || dev.id == in.id) && hears(dev))
            targets.append(&dev);
    }
    QList<Reply> replies;
    for (Device *dev : targets) {
        Reply reply;
        switch (in.code) {
        case 0x01: // PING
            reply = dev->status(0, {});
            break;
        case 0x02: // READ
            reply = p.size() < 2 ? dev->status(kError1Instruction, {})
                                 : readReply(*dev, static_cast<quint8>(p.at(0)), static_cast<quint8>(p.at(1)),
                                             kError1Range);
            break;
        case 0x03:   // WRITE
        case 0x0D: { // SYSTEM_WRITE
            if (p.isEmpty()) {
                reply = dev->status(kError1Instruction, {});
                break;
            }
            const Reply ok = dev->status(0, {});
            reply = applyWrite(*dev, static_cast<quint8>(p.at(0)), p.mid(1)) ? ok : dev->status(kError1Range, {});
            if (dev->baudRegisterAddress == static_cast<quint8>(p.at(0)) && p.size() > 1)
                dev->followBaudRegister();
            break;
        }
        case 0x04: // REG_WRITE
            if (p.isEmpty() || !dev->holds(static_cast<quint8>(p.at(0)), static_cast<int>(p.size()) - 1)) {
                reply = dev->status(kError1Range, {});
                break;
            }
            dev->registered = true;
            dev->registeredAddress = static_cast<quint8>(p.at(0));
            dev->registeredData = p.mid(1);
            reply = dev->status(0, {});
            break;
        case 0x05: // ACTION
            applyAction(*dev);
            break;
        case 0x06: // FACTORY_RESET
            reply = dev->status(0, {});
            if (!dev->refuses())
                dev->restoreFactory();
            break;
        case 0x07: // DIGITAL_RESET
        case 0x08: // REBOOT
            reply = dev->status(0, {});
            ++dev->reboots;
            if (dev->bootloader && in.id != 0xFE)
                enterBootloader(*dev);
            break;
        default:
            reply = dev->status(kError1Instruction, {});
            break;
        }
        if (in.id != 0xFE) // nobody answers a broadcast
            replies.append(reply);
    }
    return replies;
}

QList<Reply> SimBus::Impl::answerModbus(const Instruction &in)
{
    // Holding registers over the table: register r is byte 2r (low) and
    // byte 2r + 1 (high); the words of a frame are big-endian.
    Device *dev = find(in.id, Protocol::Modbus);
    if (!dev)
        return {};
    const QByteArray &p = in.params;
    const auto word = [&p](int i) { return static_cast<quint8>(p.at(i)) << 8 | static_cast<quint8>(p.at(i + 1)); };
    const int start = word(0);
    QByteArray body(1, static_cast<char>(dev->id));
    QList<quint16> values;
    if (in.code == 0x06)
        values = {static_cast<quint16>(word(2))};
    for (int i = 0; in.code == 0x10 && 5 + 2 * i + 1 < p.size(); ++i)
        values.append(static_cast<quint16>(word(5 + 2 * i)));
    const int count = in.code == 0x03 ? word(2) : static_cast<int>(values.size());
    if (!dev->holds(2 * start, 2 * count)) {
        body += static_cast<char>(in.code | 0x80);
        body += static_cast<char>(2); // illegal data address
        return {dev->withFaults(modbusFrame(body))};
    }
    body += static_cast<char>(in.code);
    if (in.code == 0x03) {
        body += static_cast<char>(2 * count);
        for (int r = start; r < start + count; ++r) {
            body += dev->table.at(2 * r + 1);
            body += dev->table.at(2 * r);
        }
        return {dev->withFaults(modbusFrame(body))};
    }
    const Reply ok = dev->withFaults(in.code == 0x06 ? in.raw : modbusFrame(body + p.left(4)));
    for (int i = 0; i < values.size(); ++i) {
        const int r = start + i;
        applyWrite(*dev, 2 * r, word16Bytes(values.at(i)));
        if (dev->refuses())
            continue;
        if (dev->resetWriteAddress >= 0 && dev->resetWriteAddress >> 1 == r && values.at(i) == 2)
            dev->restoreFactory();
        if (dev->bootloader && dev->bootWriteAddress >= 0 && dev->bootWriteAddress >> 1 == r
            && values.at(i) == dev->bootWriteValue)
            enterBootloader(*dev);
    }
    return {ok};
}

} // namespace sim
