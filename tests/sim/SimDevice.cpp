#include "tests/sim/SimDevice.h"

#include "tests/sim/SimPackets.h"

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
    return true;
}

void Device::restoreFactory()
{
    // The ID survives a factory reset, so the device stays reachable.
    table = initialTable;
    if (idAddress >= 0 && idAddress < table.size())
        table[idAddress] = static_cast<char>(id);
    registered = false;
    ++factoryResets;
}

bool Device::refuses() const
{
    return protocol == Protocol::V2 ? (faults.error & 0x7F) != 0 : faults.error != 0;
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
