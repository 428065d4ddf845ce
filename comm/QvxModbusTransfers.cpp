// The item and block transfers of the Modbus transport: control-table items of
// 1, 2 and 4 bytes on holding registers (byte address A lies in register
// A >> 1, the even address in the low byte), register blocks into rxBuffer and
// the chunked update and graph polls.
#include "comm/QvxModbus.h"

#include "comm/ModbusRtu.h"

namespace {

quint16 registerAt(const QModbusDataUnit &unit, int index)
{
    return index < unit.valueCount() ? unit.value(index) : quint16(0); // a missing value counts as 0
}

QModbusDataUnit holding(int start, int count)
{
    return QModbusDataUnit(QModbusDataUnit::HoldingRegisters, start, static_cast<quint16>(count));
}

} // namespace

// --- item reads -----------------------------------------------------------------------

QvxModbus::Outcome QvxModbus::readWidth(uchar id, ushort address, int width, bool unsignedLog, quint32 *decoded,
                                        uchar *error)
{
    const int first = address >> 1;
    const Outcome out = exchange(id, holding(first, width == 4 ? 2 : 1), false, kItemTimeoutMs, error);
    *decoded = 0;
    if (!out.succeeded)
        return out;
    for (int i = 0; i < out.values.valueCount(); ++i)
        emit logMessage(QStringLiteral("Address: %1, Value: %2").arg(first + i).arg(out.values.value(i), 0, 16));
    const quint16 low = registerAt(out.values, 0);
    switch (width) {
    case 1:
        *decoded = (address & 1) ? low >> 8 : low & 0xFF;
        emit logMessage(QStringLiteral("%1 %2").arg(low).arg(*decoded));
        break;
    case 2:
        *decoded = low;
        emit logMessage(QString::number(*decoded));
        break;
    default:
        *decoded = low | quint32(registerAt(out.values, 1)) << 16;
        emit logMessage(unsignedLog ? QString::number(*decoded) : QString::number(static_cast<qint32>(*decoded)));
        break;
    }
    return out;
}

int QvxModbus::syncRead(uchar id, ushort address, int width, int *value, uchar *error)
{
    quint32 decoded = 0;
    const Outcome out = readWidth(id, address, width, false, &decoded, error);
    if (out.waited && value)
        *value = static_cast<int>(decoded); // 0 unless the reply succeeded
    return out.result;
}

int QvxModbus::read1Byte(uchar id, ushort address, int *value, uchar *error)
{
    return syncRead(id, address, 1, value, error);
}

int QvxModbus::read2Byte(uchar id, ushort address, int *value, uchar *error)
{
    return syncRead(id, address, 2, value, error);
}

int QvxModbus::read4Byte(uchar id, ushort address, int *value, uchar *error)
{
    return syncRead(id, address, 4, value, error);
}

template <class T>
int QvxModbus::notifiedRead(uchar id, ushort address, int width,
                            void (QvxComm::*completed)(int, uchar, ushort, T, uchar))
{
    uchar error = 0;
    quint32 decoded = 0;
    const Outcome out = readWidth(id, address, width, true, &decoded, &error);
    if (out.result != COMM_NOT_AVAILABLE)
        emit(this->*completed)(out.result, id, address, static_cast<T>(decoded), error);
    return out.result;
}

int QvxModbus::read1ByteTxRx(uchar id, ushort address, QString)
{
    return notifiedRead<uchar>(id, address, 1, &QvxComm::read1ByteCompleted);
}

int QvxModbus::read2ByteTxRx(uchar id, ushort address, QString)
{
    return notifiedRead<ushort>(id, address, 2, &QvxComm::read2ByteCompleted);
}

int QvxModbus::read4ByteTxRx(uchar id, ushort address, QString)
{
    return notifiedRead<uint>(id, address, 4, &QvxComm::read4ByteCompleted);
}

// --- item writes -----------------------------------------------------------------------

int QvxModbus::write1Byte(uchar id, ushort address, int value, uchar *error)
{
    // Read the register that holds the byte; any failure of this read ends the
    // write as COMM_RX_FAIL (a refused request as COMM_TX_FAIL).
    Outcome read = exchange(id, holding(address >> 1, 1), false, kItemTimeoutMs, error, Judge::Plain);
    // A read that went while an answer of this servo was owed until a moment
    // ago may have taken that answer for its own: its value is not written
    // back. The register is read again once nothing owed can be mistaken for
    // the answer.
    if (read.result == COMM_OK && rtu && rtu->lastAnswerUncertain()) {
        const int turn = rtu->awaitCertainTurn(id);
        if (turn != COMM_OK)
            return turn;
        read = exchange(id, holding(address >> 1, 1), false, kItemTimeoutMs, error, Judge::Plain);
        if (read.result == COMM_OK && rtu->lastAnswerUncertain())
            return COMM_RX_FAIL;
    }
    if (read.result != COMM_OK)
        return read.result;
    if (read.values.valueCount() != 1) {
        emit logMessage(tr("Read error: COMM_RX_RAIL"));
        return COMM_RX_FAIL;
    }
    const quint16 old = read.values.value(0);
    const quint16 data = static_cast<quint8>(value);
    const quint16 changed = (address & 1) ? quint16(data << 8 | (old & 0x00FF)) : quint16((old & 0xFF00) | data);
    return writeValues(id, address, {changed}, error, kItemTimeoutMs);
}

int QvxModbus::write2Byte(uchar id, ushort address, int value, uchar *error)
{
    return writeRegister(id, address, value, error, kItemTimeoutMs);
}

int QvxModbus::write4Byte(uchar id, ushort address, int value, uchar *error)
{
    const auto bits = static_cast<quint32>(value);
    return writeValues(id, address, {quint16(bits & 0xFFFF), quint16(bits >> 16)}, error, kItemTimeoutMs);
}

template <class T>
int QvxModbus::notifiedWrite(uchar id, ushort address, T data, int (QvxModbus::*write)(uchar, ushort, int, uchar *),
                             void (QvxComm::*completed)(int, uchar, ushort, T, uchar))
{
    uchar error = 0;
    const int result = (this->*write)(id, address, static_cast<int>(data), &error);
    if (result != COMM_NOT_AVAILABLE)
        emit(this->*completed)(result, id, address, data, error);
    return result;
}

int QvxModbus::write1ByteTxRx(uchar id, ushort address, uchar data, QString)
{
    return notifiedWrite<uchar>(id, address, data, &QvxModbus::write1Byte, &QvxComm::write1ByteCompleted);
}

int QvxModbus::write2ByteTxRx(uchar id, ushort address, ushort data, QString)
{
    return notifiedWrite<ushort>(id, address, data, &QvxModbus::write2Byte, &QvxComm::write2ByteCompleted);
}

int QvxModbus::write4ByteTxRx(uchar id, ushort address, uint data, QString)
{
    return notifiedWrite<uint>(id, address, data, &QvxModbus::write4Byte, &QvxComm::write4ByteCompleted);
}

// --- register blocks and the polls -----------------------------------------------------

int QvxModbus::readRegisters(uchar id, ushort startRegister, ushort count, uchar *error)
{
    if (!hasLink())
        return COMM_NOT_AVAILABLE;
    if (count > kMaxBlockRegisters)
        return COMM_UNSUPPORTED;
    if (error)
        *error = 0;
    emit updateTxStatus(true);
    const Outcome out = exchange(id, holding(startRegister, count), false,
                                 qMax(kItemTimeoutMs, kBlockMsPerRegister * count), error);
    if (out.succeeded) {
        emit updateRxStatus(true);
        for (int i = 0; i < out.values.valueCount(); ++i) {
            const quint16 value = out.values.value(i);
            rxBuffer.append(static_cast<char>(value & 0xFF));
            rxBuffer.append(static_cast<char>(value >> 8));
        }
    }
    if (out.waited)
        emit updateRxStatus(false);
    return out.result;
}

int QvxModbus::readRegisterRange(uchar id, ushort startRegister, int count, uchar *error)
{
    *error = 0;
    int left = count;
    int start = startRegister;
    while (left > 0) {
        const int chunk = qMin(left, kMaxBlockRegisters);
        const int result = readRegisters(id, static_cast<ushort>(start), static_cast<ushort>(chunk), error);
        if (result != COMM_OK || *error != 0)
            return result;
        start += chunk;
        left -= chunk;
    }
    return COMM_OK;
}

int QvxModbus::readUpdate(uchar id, ushort length)
{
    if (!hasLink())
        return COMM_NOT_AVAILABLE;
    busy = true;
    rxBuffer.clear();
    measureUpdatePeriod();
    writeSeen = false;
    uchar error = 0;
    const int result = readRegisterRange(id, 0, length >> 1, &error);
    if (result == COMM_OK && error == 0 && writeSeen) {
        // A write was acknowledged while the reads waited: this snapshot mixes
        // the table before and after it.
        busy = false;
        return COMM_UNSUPPORTED;
    }
    emit updateCompleted(result, id, static_cast<ushort>(rxBuffer.size()), rxBuffer, error,
                         engineClock->nowMs());
    busy = false;
    return result;
}

int QvxModbus::readGraph(uchar id, ushort address, ushort length)
{
    if (!hasLink())
        return COMM_NOT_AVAILABLE;
    busy = true;
    measureUpdatePeriod();
    rxBuffer.clear();
    uchar error = 0;
    const int result = readRegisterRange(id, static_cast<ushort>(address >> 1), length >> 1, &error);
    emit graphReadCompleted(result, id, address, static_cast<ushort>(rxBuffer.size()), rxBuffer, error,
                            engineClock->nowMs());
    busy = false;
    return result;
}
