#include "comm/QvxProtocolComm.h"

#include "comm/CommResult.h"
#include "device/ProtocolConstants.h"

#include <QDebug>
#include <QMetaMethod>
#include <QTimer>

#include <array>
#include <cstring>
#include <optional>

namespace {

// The low `width` bytes of a value, low byte first.
std::array<uchar, 4> littleEndian(quint32 value)
{
    return {static_cast<uchar>(value), static_cast<uchar>(value >> 8), static_cast<uchar>(value >> 16),
            static_cast<uchar>(value >> 24)};
}

quint32 fromLittleEndian(const std::array<uchar, 4> &bytes)
{
    return bytes[0] | (quint32(bytes[1]) << 8) | (quint32(bytes[2]) << 16) | (quint32(bytes[3]) << 24);
}

} // namespace

QvxProtocolComm::QvxProtocolComm(QObject *parent)
    : QvxComm(parent)
{
    // Signal to signal: the transport's receivers get the engine's arguments as they are.
    const auto relayShared = [this](QvxProtocol *engine) {
        connect(engine, &QvxProtocol::resetCompleted, this, &QvxComm::resetCompleted);
        connect(engine, &QvxProtocol::rebootCompleted, this, &QvxComm::rebootCompleted);
        connect(engine, &QvxProtocol::updateRxStatus, this, &QvxComm::updateRxStatus);
        connect(engine, &QvxProtocol::updateTxStatus, this, &QvxComm::updateTxStatus);
        connect(engine, &QvxProtocol::outputPacket, this, &QvxComm::outputPacket);
        connect(engine, &QvxProtocol::qvxFound, this, &QvxComm::qvxFound);
        connect(engine, &QvxProtocol::logMessage, this, &QvxComm::logMessage);
    };
    qvx_protocol1 = new QvxProtocol1(this);
    relayShared(qvx_protocol1);
    // The protocol 1.0 engine has none of the operations behind the other six.
    qvx_protocol2 = new QvxProtocol2(this);
    relayShared(qvx_protocol2);
    connect(qvx_protocol2, &QvxProtocol::clearCompleted, this, &QvxComm::clearCompleted);
    connect(qvx_protocol2, &QvxProtocol::multiturnClearCompleted, this, &QvxComm::multiturnClearCompleted);
    connect(qvx_protocol2, &QvxProtocol::shufflePingStatus, this, &QvxComm::shufflePingStatus);
    connect(qvx_protocol2, &QvxProtocol::shuffleIdStatus, this, &QvxComm::shuffleIdStatus);
    connect(qvx_protocol2, &QvxProtocol::auxBackupCompleted, this, &QvxComm::auxBackupCompleted);
    connect(qvx_protocol2, &QvxProtocol::auxRestoreCompleted, this, &QvxComm::auxRestoreCompleted);

    qvx_protocol = qvx_protocol2;
    // The relays above pass every packet item on; the engines make them only
    // while someone receives them here (or from an engine directly).
    qvx_protocol1->packetRelays = 1;
    qvx_protocol2->packetRelays = 1;
}

QvxProtocolComm::~QvxProtocolComm() = default;

void QvxProtocolComm::connectNotify(const QMetaMethod &signal)
{
    QvxComm::connectNotify(signal);
    notePacketReceivers(signal);
}

void QvxProtocolComm::disconnectNotify(const QMetaMethod &signal)
{
    QvxComm::disconnectNotify(signal);
    notePacketReceivers(signal);
}

void QvxProtocolComm::notePacketReceivers(const QMetaMethod &signal)
{
    static const QMetaMethod outputPacket = QMetaMethod::fromSignal(&QvxComm::outputPacket);
    if (signal.isValid() && signal != outputPacket)
        return;
    const bool heard = isSignalConnected(outputPacket);
    if (qvx_protocol1)
        qvx_protocol1->packetsHeardBehindRelays = heard;
    if (qvx_protocol2)
        qvx_protocol2->packetsHeardBehindRelays = heard;
}

// --- forwarding ----------------------------------------------------------------

int QvxProtocolComm::ping(uchar id, ushort *model_number, uchar *firmware_version, uchar *error)
{
    return qvx_protocol->ping(id, model_number, firmware_version, error);
}

int QvxProtocolComm::broadcastPing(int wait_ms)
{
    return qvx_protocol->broadcastPing(wait_ms);
}

int QvxProtocolComm::shufflePing(int wait_ms)
{
    return qvx_protocol->shufflePing(wait_ms);
}

int QvxProtocolComm::shuffleId(uchar id, QByteArray data, int wait_ms, int count)
{
    return qvx_protocol->shuffleId(id, std::move(data), wait_ms, count);
}

QString QvxProtocolComm::version() const
{
    if (!qvx_protocol) {
        qDebug("ERROR: qvx_protocol is nullptr in version()!");
        return QString();
    }
    return qvx_protocol->version();
}

void QvxProtocolComm::setProtocolVersion(QString version)
{
    if (version == kProtocolVersion1)
        qvx_protocol = qvx_protocol1;
    else if (version == kProtocolVersion2)
        qvx_protocol = qvx_protocol2;
}

void QvxProtocolComm::setTimeout(int ms)
{
    extraLatency = ms;
    qvx_protocol1->extraLatency = ms;
    qvx_protocol2->extraLatency = ms;
}

void QvxProtocolComm::setCancellationToken(CancellationToken *t)
{
    QvxComm::setCancellationToken(t);
    qvx_protocol1->token = t;
    qvx_protocol2->token = t;
}

void QvxProtocolComm::awaitOwedAnswers()
{
    // Either engine may have left an answer owed: a protocol switch keeps the line.
    for (QvxProtocol *engine : {static_cast<QvxProtocol *>(qvx_protocol1), static_cast<QvxProtocol *>(qvx_protocol2)})
        engine->awaitOwedAnswers();
}

void QvxProtocolComm::clearCancellationToken()
{
    QvxComm::clearCancellationToken();
    qvx_protocol1->token = nullptr;
    qvx_protocol2->token = nullptr;
}

void QvxProtocolComm::setVerbose(bool verbose)
{
    for (QvxProtocol *engine : {static_cast<QvxProtocol *>(qvx_protocol1), static_cast<QvxProtocol *>(qvx_protocol2)}) {
        if (engine)
            engine->verbose = verbose;
    }
}

int QvxProtocolComm::readTxRx(uchar id, ushort address, ushort length, uchar *data, uchar *error)
{
    return qvx_protocol->readTxRx(id, address, length, data, error);
}

int QvxProtocolComm::writeTxRx(uchar id, ushort address, ushort length, const uchar *data, uchar *error)
{
    return qvx_protocol->writeTxRx(id, address, length, data, error);
}

int QvxProtocolComm::readWidth(uchar id, ushort address, ushort width, int *value, uchar *error)
{
    std::array<uchar, 4> bytes{};
    uchar status = 0;
    const int result = qvx_protocol->readTxRx(id, address, width, bytes.data(), &status);
    if (error && result == COMM_OK)
        *error = status;
    // A protocol 2.0 device that refuses a read (an error number in its status)
    // sends no data: the value stays as it was.
    if (result == COMM_OK && !isRefusedRead(status) && value)
        *value = static_cast<int>(fromLittleEndian(bytes)); // zero-extended; 4 bytes keep their bit pattern
    return result;
}

bool QvxProtocolComm::isRefusedRead(uchar error) const
{
    // Protocol 2.0 refuses with an error number (bit 7 alone is an alert);
    // a protocol 1.0 READ is only ever taken with its data.
    return qvx_protocol == qvx_protocol2 && (error & 0x7F) != 0;
}

int QvxProtocolComm::writeWidth(int (QvxProtocol::*write)(uchar, ushort, ushort, const uchar *, uchar *), uchar id,
                                ushort address, ushort width, quint32 value, uchar *error)
{
    const std::array<uchar, 4> bytes = littleEndian(value);
    return (qvx_protocol->*write)(id, address, width, bytes.data(), error);
}

int QvxProtocolComm::read1Byte(uchar id, ushort address, int *value, uchar *error)
{
    return readWidth(id, address, 1, value, error);
}

int QvxProtocolComm::read2Byte(uchar id, ushort address, int *value, uchar *error)
{
    return readWidth(id, address, 2, value, error);
}

int QvxProtocolComm::read4Byte(uchar id, ushort address, int *value, uchar *error)
{
    return readWidth(id, address, 4, value, error);
}

int QvxProtocolComm::write1Byte(uchar id, ushort address, int value, uchar *error)
{
    return writeWidth(&QvxProtocol::writeTxRx, id, address, 1, static_cast<quint32>(value), error);
}

int QvxProtocolComm::write2Byte(uchar id, ushort address, int value, uchar *error)
{
    return writeWidth(&QvxProtocol::writeTxRx, id, address, 2, static_cast<quint32>(value), error);
}

int QvxProtocolComm::write4Byte(uchar id, ushort address, int value, uchar *error)
{
    return writeWidth(&QvxProtocol::writeTxRx, id, address, 4, static_cast<quint32>(value), error);
}

int QvxProtocolComm::sysWriteValue(uchar id, ushort address, short size, int value, uchar *error)
{
    if (size != 1 && size != 2 && size != 4)
        return COMM_UNSUPPORTED;
    return writeWidth(&QvxProtocol::sysWriteTxRx, id, address, static_cast<ushort>(size), static_cast<quint32>(value),
                      error);
}

int QvxProtocolComm::sysWrite1Byte(uchar id, ushort address, uchar value, uchar *error)
{
    return writeWidth(&QvxProtocol::sysWriteTxRx, id, address, 1, value, error);
}

int QvxProtocolComm::sysWrite2Byte(uchar id, ushort address, ushort value, uchar *error)
{
    return writeWidth(&QvxProtocol::sysWriteTxRx, id, address, 2, value, error);
}

int QvxProtocolComm::sysWrite4Byte(uchar id, ushort address, uint value, uchar *error)
{
    return writeWidth(&QvxProtocol::sysWriteTxRx, id, address, 4, value, error);
}

int QvxProtocolComm::readValue(uchar id, ushort address, short size, int *value, uchar *error)
{
    switch (size) {
    case 1: return read1Byte(id, address, value, error);
    case 2: return read2Byte(id, address, value, error);
    case 4: return read4Byte(id, address, value, error);
    default: return COMM_UNSUPPORTED;
    }
}

int QvxProtocolComm::bulkWrite(QByteArray params)
{
    return qvx_protocol->bulkWrite(params);
}

int QvxProtocolComm::syncWriteDirect(ushort address, ushort length, QByteArray params)
{
    return qvx_protocol->syncWrite(address, length, params);
}

int QvxProtocolComm::dumpReadData(uchar type, ushort index, ushort size)
{
    QByteArray data;
    const int result = qvx_protocol->dumpReadData(kBoardId, index, size, type, &data);
    emit dumpReadDataCompleted(result, 0, type, data);
    return result;
}

// --- the connect step and the polling reads -------------------------------------

bool QvxProtocolComm::connectStep(bool opened, uchar id, int retryPauseMs)
{
    if (!opened) {
        close();
        return false;
    }
    return confirmByPing(id, retryPauseMs, false);
}

std::optional<int> QvxProtocolComm::beginPoll(int length)
{
    if (length > kRxBufferSize)
        return COMM_UNSUPPORTED; // the reply would not fit rx_buffer
    const int link = checkPollLink();
    if (link != COMM_OK)
        return link;
    measureUpdatePeriod();
    return std::nullopt;
}

int QvxProtocolComm::readUpdate(uchar id, ushort length)
{
    if (const std::optional<int> refused = beginPoll(length))
        return *refused;
    uchar error = 0;
    std::memset(rx_buffer, 0, length); // a failed or refused read hands on no earlier poll's bytes
    const int result = readTxRx(id, 0, length, rx_buffer, &error);
    const qint64 tick = engineClock->nowMs();
    emit updateCompleted(result, id, length, QByteArray(reinterpret_cast<const char *>(rx_buffer), length), error,
                         tick);
    return result;
}

int QvxProtocolComm::readGraph(uchar id, ushort address, ushort length)
{
    if (const std::optional<int> refused = beginPoll(length))
        return *refused;
    uchar error = 0;
    std::memset(rx_buffer, 0, length);
    const int result = readTxRx(id, address, length, rx_buffer, &error);
    const qint64 tick = engineClock->nowMs();
    emit graphReadCompleted(result, id, address, length,
                            QByteArray(reinterpret_cast<const char *>(rx_buffer), length), error, tick);
    return result;
}

int QvxProtocolComm::readMultiGraph(qvx::MultiGraphReadParams)
{
    if (const std::optional<int> refused = beginPoll(0))
        return *refused;
    QList<QvxProtocol::BulkReadResult> replies;
    const int result = fastMultiGraphPoll() ? qvx_protocol->fastBulkRead(bulk_read_params, &replies)
                                            : qvx_protocol->bulkRead(bulk_read_params, &replies);
    qvx::MultiGraphReadResults results;
    results.reserve(replies.size());
    for (const QvxProtocol::BulkReadResult &reply : std::as_const(replies)) {
        qvx::MultiGraphReadResult r;
        r.id = static_cast<uchar>(reply.id);
        r.address = static_cast<ushort>(reply.address);
        r.length = static_cast<ushort>(reply.length);
        r.data = reply.data;
        r.error = static_cast<uchar>(reply.error);
        results.append(r);
    }
    const qint64 tick = engineClock->nowMs();
    emit multiGraphReadCompleted(result, results, tick);
    return result;
}

// --- the completion-signal transfers ---------------------------------------------

template <class Operation>
int QvxProtocolComm::onProtocol(const QString &protocol_version, Operation operation)
{
    const bool switched = !protocol_version.isEmpty();
    QString saved;
    if (switched) {
        // Through the virtual functions, so a transport that keeps its own
        // protocol text (or re-attaches its link) takes part.
        saved = version();
        setProtocolVersion(protocol_version);
    }
    const int result = operation(); // emits its signal on the engine now current
    if (switched)
        setProtocolVersion(saved);
    return result;
}

template <class T>
int QvxProtocolComm::signalledWrite(int (QvxProtocol::*write)(uchar, ushort, ushort, const uchar *, uchar *),
                                    void (QvxComm::*completed)(int, uchar, ushort, T, uchar), uchar id,
                                    ushort address, T data, const QString &protocol_version)
{
    return onProtocol(protocol_version, [&] {
        uchar error = 0;
        const int result = writeWidth(write, id, address, sizeof(T), data, &error);
        emit(this->*completed)(result, id, address, data, error);
        return result;
    });
}

template <class T>
int QvxProtocolComm::signalledRead(void (QvxComm::*completed)(int, uchar, ushort, T, uchar), uchar id,
                                   ushort address, const QString &protocol_version)
{
    return onProtocol(protocol_version, [&] {
        uchar error = 0;
        int value = 0;
        const int result = readWidth(id, address, sizeof(T), &value, &error);
        emit(this->*completed)(result, id, address, static_cast<T>(value), error);
        return result;
    });
}

int QvxProtocolComm::write1ByteTxRx(uchar id, ushort address, uchar data, QString protocol_version)
{
    return signalledWrite(&QvxProtocol::writeTxRx, &QvxComm::write1ByteCompleted, id, address, data, protocol_version);
}

int QvxProtocolComm::write2ByteTxRx(uchar id, ushort address, ushort data, QString protocol_version)
{
    return signalledWrite(&QvxProtocol::writeTxRx, &QvxComm::write2ByteCompleted, id, address, data, protocol_version);
}

int QvxProtocolComm::write4ByteTxRx(uchar id, ushort address, uint data, QString protocol_version)
{
    return signalledWrite(&QvxProtocol::writeTxRx, &QvxComm::write4ByteCompleted, id, address, data, protocol_version);
}

int QvxProtocolComm::read1ByteTxRx(uchar id, ushort address, QString protocol_version)
{
    return signalledRead(&QvxComm::read1ByteCompleted, id, address, protocol_version);
}

int QvxProtocolComm::read2ByteTxRx(uchar id, ushort address, QString protocol_version)
{
    return signalledRead(&QvxComm::read2ByteCompleted, id, address, protocol_version);
}

int QvxProtocolComm::read4ByteTxRx(uchar id, ushort address, QString protocol_version)
{
    return signalledRead(&QvxComm::read4ByteCompleted, id, address, protocol_version);
}

int QvxProtocolComm::sysWrite1ByteTxRx(uchar id, ushort address, uchar data, QString protocol_version)
{
    return signalledWrite(&QvxProtocol::sysWriteTxRx, &QvxComm::sysWrite1ByteCompleted, id, address, data,
                          protocol_version);
}

int QvxProtocolComm::sysWrite2ByteTxRx(uchar id, ushort address, ushort data, QString protocol_version)
{
    return signalledWrite(&QvxProtocol::sysWriteTxRx, &QvxComm::sysWrite2ByteCompleted, id, address, data,
                          protocol_version);
}

int QvxProtocolComm::sysWrite4ByteTxRx(uchar id, ushort address, uint data, QString protocol_version)
{
    return signalledWrite(&QvxProtocol::sysWriteTxRx, &QvxComm::sysWrite4ByteCompleted, id, address, data,
                          protocol_version);
}

int QvxProtocolComm::syncWrite(ushort address, ushort data_length, QByteArray param, QString protocol_version)
{
    return onProtocol(protocol_version, [&] { return qvx_protocol->syncWrite(address, data_length, param); });
}

// --- device commands -------------------------------------------------------------

int QvxProtocolComm::reset(uchar id, ushort)
{
    return qvx_protocol->factoryReset(id);
}

int QvxProtocolComm::reboot(uchar id, ushort)
{
    return qvx_protocol->reboot(id);
}

int QvxProtocolComm::clear(uchar id, uchar param, ushort)
{
    return qvx_protocol->clear(id, param);
}

int QvxProtocolComm::multiturnClear(uchar id, uchar param, ushort)
{
    return qvx_protocol->multiturnClear(id, param);
}

int QvxProtocolComm::auxBackup(uchar id, ushort)
{
    return qvx_protocol->auxBackup(id);
}

int QvxProtocolComm::auxRestore(uchar id, ushort)
{
    return qvx_protocol->auxRestore(id);
}

template <class Command>
int QvxProtocolComm::errorForm(quint8 &error, bool traced, bool verbose, Command command)
{
    error = 0;
    std::optional<Trace> trace;
    if (traced)
        trace.emplace(*this, verbose);
    return command();
}

int QvxProtocolComm::reset(uchar id, quint8 &error, bool verbose)
{
    return errorForm(error, true, verbose, [&] { return reset(id, ushort(0)); });
}

int QvxProtocolComm::reboot(uchar id, quint8 &error, bool verbose)
{
    return errorForm(error, true, verbose, [&] { return reboot(id, ushort(0)); });
}

int QvxProtocolComm::clear(uchar id, uchar param, quint8 &error, bool verbose)
{
    return errorForm(error, true, verbose, [&] { return clear(id, param, ushort(0)); });
}

int QvxProtocolComm::multiturnClear(uchar id, uchar param, quint8 &error)
{
    return errorForm(error, false, false, [&] { return multiturnClear(id, param, ushort(0)); });
}

// --- motion check, multi-graph start, hand presets ---------------------------------

bool QvxProtocolComm::isMotionInProgress(qvx::MotionAgingOption &option)
{
    if (option.steps.isEmpty())
        return true; // no servos to ask: the motion engine waits instead of stepping on
    QList<QvxProtocol::BulkReadParam> requests;
    for (const qvx::MotionTarget &target : std::as_const(option.steps.first().targets))
        requests.append({target.id, option.movingStatusAddress, 1});
    QList<QvxProtocol::BulkReadResult> replies;
    if (qvx_protocol->bulkRead(requests, &replies) != COMM_OK)
        return true;
    int errors = 0;
    bool moving = false;
    for (const QvxProtocol::BulkReadResult &reply : std::as_const(replies)) {
        errors += reply.error;
        if (reply.data.isEmpty()) {
            moving = true; // the device answered without its status: not known to be still
            continue;
        }
        const auto status = static_cast<uchar>(reply.data.at(0));
        emit logMessage(QString::number(status));
        if (status & 0x02)
            moving = true;
    }
    if (errors != 0)
        emit logMessage(QStringLiteral("ERROR : ") + QString::number(errors));
    return moving;
}

void QvxProtocolComm::startMultiGraph(qvx::MultiGraphReadParams params, int interval, bool fast)
{
    multiGraphParams = params;
    multiGraphFast = fast;
    bulk_read_params.clear();
    for (auto it = params.cbegin(); it != params.cend(); ++it) // ascending servo ID
        bulk_read_params.append({it->id, it->startAddress, it->length});
    startPollTimer(multiGraphTimer, interval);
}

namespace {

void putWord(QByteArray &block, qint64 offset, qint16 value)
{
    if (offset + 1 >= block.size())
        return; // beyond the 88 bytes: cut off
    block[offset] = static_cast<char>(value & 0xFF);
    block[offset + 1] = static_cast<char>((value >> 8) & 0xFF);
}

qint16 wordAt(const uchar *block, qint64 offset)
{
    return static_cast<qint16>(block[offset] | (block[offset + 1] << 8));
}

} // namespace

int QvxProtocolComm::writeHandPresetData(uchar id, ushort address, qvx::HandPresetData data, int joint_slot_count)
{
    const qint64 n = qMax(joint_slot_count, 0);
    // Only the values that land inside the block are placed, so a large count
    // costs nothing.
    QByteArray block(kHandPresetBlockSize, '\0');
    const qint64 placed = qMin<qint64>(n, kHandPresetBlockSize / 2);
    for (qint64 i = 0; i < placed; ++i) {
        putWord(block, 2 * i, i < data.firstValues.size() ? data.firstValues.at(i) : 0);
        putWord(block, 2 * n + 2 * i, i < data.secondValues.size() ? data.secondValues.at(i) : 0);
    }
    for (qint64 k = 0; k < qint64(data.trailer.size()); ++k)
        putWord(block, 4 * n + 2 * k, data.trailer[k]);

    uchar error = 0;
    const int result = qvx_protocol->writeTxRx(id, address, kHandPresetBlockSize,
                                               reinterpret_cast<const uchar *>(block.constData()), &error);
    emit writeHandPresetDataCompleted(result, id, address, error);
    return result;
}

int QvxProtocolComm::readHandPresetData(uchar id, ushort address, int joint_slot_count)
{
    const int n = qMax(joint_slot_count, 0);
    if (n > kHandPresetMaxSlots)
        return COMM_UNSUPPORTED; // its values would lie beyond the block
    uchar block[kHandPresetBlockSize] = {};
    uchar error = 0;
    const int result = qvx_protocol->readTxRx(id, address, kHandPresetBlockSize, block, &error);

    qvx::HandPresetData data;
    data.firstValues.fill(0, n);
    data.secondValues.fill(0, n);
    if (result == COMM_OK) {
        for (int i = 0; i < n; ++i) {
            data.firstValues[i] = wordAt(block, 2 * i);
            data.secondValues[i] = wordAt(block, 2 * n + 2 * i);
        }
        for (int k = 0; k < int(data.trailer.size()); ++k)
            data.trailer[k] = wordAt(block, 4 * n + 2 * k);
    }
    emit readHandPresetDataCompleted(result, id, address, data, error);
    return result;
}
