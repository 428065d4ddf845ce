#include "tests/sim/SimDevice.h"

#include "tests/sim/SimPackets.h"

#include <QMap>

#include <cmath>
#include <iterator>

namespace sim {

namespace {
QByteArray word16(int value)
{
    QByteArray b;
    b += static_cast<char>(value & 0xFF);
    b += static_cast<char>((value >> 8) & 0xFF);
    return b;
}
} // namespace

namespace {
Device byCode(Protocol protocol, quint8 id, quint16 modelNumber, quint8 firmware, int tableSize, int firmwareAddress,
              int idAddress)
{
    Device d;
    d.id = id;
    d.protocol = protocol;
    d.modelNumber = modelNumber;
    d.firmware = firmware;
    d.table = QByteArray(qMax(tableSize, qMax(firmwareAddress, idAddress) + 1), '\0');
    d.initialTable = d.table;
    d.idAddress = idAddress;
    d.firmwareAddress = firmwareAddress;
    d.setInitial(0, word16(modelNumber));
    d.setInitial(firmwareAddress, QByteArray(1, static_cast<char>(firmware)));
    d.setInitial(idAddress, QByteArray(1, static_cast<char>(id)));
    return d;
}
} // namespace

Device Device::protocol2(quint8 id, quint16 modelNumber, quint8 firmware, int tableSize)
{
    return byCode(Protocol::V2, id, modelNumber, firmware, tableSize, 6, 7);
}

Device Device::protocol1(quint8 id, quint16 modelNumber, quint8 firmware, int tableSize)
{
    return byCode(Protocol::V1, id, modelNumber, firmware, tableSize, 2, 3);
}

Device Device::modbus(quint8 id, quint16 modelNumber, quint8 firmware, int tableSize)
{
    return byCode(Protocol::Modbus, id, modelNumber, firmware, tableSize, 6, 7);
}

void Device::setInitial(int address, const QByteArray &bytes)
{
    if (!holds(address, static_cast<int>(bytes.size())))
        return;
    table.replace(address, bytes.size(), bytes);
    initialTable.replace(address, bytes.size(), bytes);
}

bool Device::holds(int address, int length) const
{
    return address >= 0 && length >= 0 && address + length <= table.size();
}

bool Device::write(int address, const QByteArray &bytes)
{
    if (!holds(address, static_cast<int>(bytes.size())))
        return false;
    table.replace(address, bytes.size(), bytes);
    if (idAddress >= address && idAddress < address + bytes.size())
        id = static_cast<quint8>(table.at(idAddress));
    if (protocolTypeAddress >= address && protocolTypeAddress < address + bytes.size()) {
        const auto type = static_cast<quint8>(table.at(protocolTypeAddress));
        if (type == 1 || type == 2)
            protocol = type == 1 ? Protocol::V1 : Protocol::V2;
        else if (type == 10)
            protocol = Protocol::Modbus;
    }
    return true;
}

void Device::restoreFactory()
{
    // The ID survives a factory reset, so the device stays reachable; so does
    // the firmware version, which no reset takes back.
    table = initialTable;
    if (idAddress >= 0 && idAddress < table.size())
        table[idAddress] = static_cast<char>(id);
    if (firmwareAddress >= 0 && firmwareAddress < table.size())
        table[firmwareAddress] = static_cast<char>(firmware);
    registered = false;
    ++factoryResets;
}

namespace {
qint64 readValue(const QByteArray &table, int address, int width)
{
    qint64 v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | static_cast<quint8>(table.at(address + i));
    return v;
}

// A raw value as a signed number: sign and magnitude from `direction` up, else
// two's complement of its width.
double signedValue(qint64 raw, int width, int direction)
{
    if (direction > 0)
        return raw >= direction ? -double(raw - direction) : double(raw);
    const qint64 half = qint64(1) << (8 * width - 1);
    return raw >= half ? double(raw - 2 * half) : double(raw);
}

qint64 rawValue(double value, int direction)
{
    const auto v = static_cast<qint64>(value);
    if (direction > 0 && v < 0)
        return direction - v;
    return v;
}
} // namespace

void Device::advance(qint64 nowMs)
{
    Motion &m = motion;
    if (!m.enabled || !holds(m.presentAddress, m.positionWidth))
        return;
    if (m.lastMs < 0)
        m.position = signedValue(readValue(table, m.presentAddress, m.positionWidth), m.positionWidth, 0);
    const double seconds = m.lastMs < 0 ? 0 : double(nowMs - m.lastMs) * m.timeScale / 1000.0;
    m.lastMs = nowMs;
    const bool torque = m.torqueAddress < 0 || (holds(m.torqueAddress, 1) && table.at(m.torqueAddress) != 0);
    const double drive = holds(m.driveAddress, m.driveWidth)
                             ? signedValue(readValue(table, m.driveAddress, m.driveWidth), m.driveWidth, m.driveDirection)
                             : 0;
    double direction = 0;
    if (torque && drive != 0) {
        direction = drive > 0 ? 1 : -1;
        m.position += direction * m.unitsPerSecond * seconds;
        if (m.wrap > 0) {
            m.position = std::fmod(m.position, double(m.wrap));
            if (m.position < 0)
                m.position += m.wrap;
        }
    } else if (torque && holds(m.goalAddress, m.positionWidth)) {
        const double goal = signedValue(readValue(table, m.goalAddress, m.positionWidth), m.positionWidth, 0);
        const double step = m.unitsPerSecond * seconds;
        if (std::abs(goal - m.position) <= step) {
            direction = goal == m.position ? 0 : (goal > m.position ? 1 : -1);
            m.position = goal;
        } else {
            direction = goal > m.position ? 1 : -1;
            m.position += direction * step;
        }
    }
    const qint64 at = static_cast<qint64>(std::llround(m.position));
    for (int i = 0; i < m.positionWidth; ++i)
        table[m.presentAddress + i] = static_cast<char>((at >> (8 * i)) & 0xFF);
    if (holds(m.velocityAddress, m.velocityWidth)) {
        const qint64 v = rawValue(direction * m.runningVelocity, m.velocityDirection);
        for (int i = 0; i < m.velocityWidth; ++i)
            table[m.velocityAddress + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

bool Device::refuses() const
{
    return protocol == Protocol::V2 ? (faults.error & 0x7F) != 0 : faults.error != 0;
}

int Device::rateOfBaudRegister(quint8 value) const
{
    static const QMap<quint8, int> rates1{{207, 9600},   {34, 57600},   {16, 115200},
                                          {1, 1000000}, {0, 2000000}, {252, 3000000}};
    static const int rates2[] = {9600, 57600, 115200, 1000000, 2000000, 3000000, 4000000, 4500000, 6000000, 10500000};
    if (protocol == Protocol::V1)
        return rates1.value(value, 0);
    return value < std::size(rates2) ? rates2[value] : 0;
}

void Device::followBaudRegister()
{
    if (!holds(baudRegisterAddress, 1))
        return;
    const int rate = rateOfBaudRegister(static_cast<quint8>(table.at(baudRegisterAddress)));
    if (rate > 0)
        baudRate = rate;
}

void Device::restarted()
{
    if (!factoryRateAfterRestart || !holds(baudRegisterAddress, 1))
        return;
    table[baudRegisterAddress] = initialTable.at(baudRegisterAddress);
    followBaudRegister();
}

Reply Device::status(quint8 error, const QByteArray &params) const
{
    const quint8 e = faults.error != 0 ? faults.error : error;
    const QByteArray p = faults.omitData ? QByteArray() : params;
    return withFaults(protocol == Protocol::V2 ? status2(id, e, p) : packet1(id, e, p));
}

Reply Device::withFaults(QByteArray packet) const
{
    if (faults.silent)
        return {};
    if (faults.corruptChecksum && !packet.isEmpty())
        packet[packet.size() - 1] = static_cast<char>(packet.at(packet.size() - 1) ^ 0x5A);
    if (faults.truncateTo >= 0 && faults.truncateTo < packet.size())
        packet.truncate(faults.truncateTo);
    return {faults.noise + packet, faults.delayMs, faults.byteGapMs};
}

} // namespace sim
