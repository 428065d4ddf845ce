#include "comm/QvxComm.h"

#include "comm/CommMetaTypes.h"
#include "comm/CommResult.h"

#include <QThread>
#include <QTimer>

namespace {

// Where the dump size lies: the 2-byte item at this address of the board.
constexpr ushort kDumpSizeAddress = 8;
constexpr int kDumpChunk = 100; // bytes per dump chunk
constexpr int kDumpRegions = 5;

} // namespace

QvxComm::QvxComm(QObject *parent)
    : QObject(parent)
{
    registerCommMetaTypes();
    const auto makeTimer = [this](void (QvxComm::*tick)()) {
        auto *timer = new QTimer(this);
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, tick);
        return timer;
    };
    graphTimer = makeTimer(&QvxComm::onGraphTimer);
    updateTimer = makeTimer(&QvxComm::onUpdateTimer);
    agingTimer = makeTimer(&QvxComm::onAgingTimer);
    multiAgingTimer = makeTimer(&QvxComm::onMultiAgingTimer);
    motionAgingTimer = makeTimer(&QvxComm::onMotionAgingTimer);
    multiGraphTimer = makeTimer(&QvxComm::onMultiGraphTimer);
}

QvxComm::~QvxComm() = default;

void QvxComm::setCancellationToken(CancellationToken *t)
{
    token = t;
}

void QvxComm::clearCancellationToken()
{
    token = nullptr;
}

bool QvxComm::connectQvx(uchar id)
{
    const bool connected = doConnectQvx(id);
    if (!connected && state != Disconnected) {
        state = Disconnected;
        emit stateChanged(Disconnected);
    }
    return connected;
}

void QvxComm::disconnectQvx()
{
    stopAging();
    stopMultiAging();
    stopMotionAging();
    doDisconnectQvx();
}

void QvxComm::setState(QvxComm::State s)
{
    if (s == state)
        return;
    state = s;
    emit stateChanged(s);
}

QVariant QvxComm::connectionSetting(int key) const
{
    switch (key) {
    case KeyPortName: return portName;
    case KeyBaudRate: return baudRate;
    case KeyDataBits: return dataBits;
    case KeyParity: return parity;
    case KeyStopBits: return stopBits;
    case KeyFlowControl: return flowControl;
    case KeyNetworkPort: return networkPort;
    case KeyNetworkAddress: return networkAddress;
    default: return 0;
    }
}

bool QvxComm::setConnectionSetting(int key, const QVariant &value)
{
    switch (key) {
    case KeyPortName: portName = value.toString(); break;
    case KeyBaudRate: baudRate = value.toInt(); break;
    case KeyDataBits: dataBits = value.toInt(); break;
    case KeyParity: parity = value.toInt(); break;
    case KeyStopBits: stopBits = value.toInt(); break;
    case KeyFlowControl: flowControl = value.toInt(); break;
    case KeyNetworkPort: networkPort = static_cast<ushort>(value.toInt()); break;
    case KeyNetworkAddress: networkAddress = value.toString(); break;
    default: break;
    }
    return true;
}

bool QvxComm::isModbusConnection() const
{
    return connectionType == 2 || connectionType == 3;
}

void QvxComm::dumpRead(QvxComm::DumpType type)
{
    busy = true;
    const auto readAll = [&]() -> std::optional<int> {
        int size = 0;
        uchar error = 0;
        if (read2Byte(kBoardId, kDumpSizeAddress, &size, &error) != COMM_OK || isRefusedRead(error))
            return std::nullopt;
        const bool wanted[kDumpRegions] = {type.region0, type.region1, type.region2, type.region3, type.region4};
        for (int region = 0; region < kDumpRegions; ++region) {
            if (wanted[region] && !readDumpRegion(region, size))
                return std::nullopt;
        }
        return size;
    };
    const std::optional<int> size = readAll();
    busy = false;
    if (size)
        emit dumpReadCompleted(*size);
}

bool QvxComm::readDumpRegion(int type, int size)
{
    int offset = 0;
    int left = size;
    for (; left >= kDumpChunk; left -= kDumpChunk, offset += kDumpChunk) {
        if (dumpReadData(static_cast<uchar>(type), static_cast<ushort>(offset), kDumpChunk) != COMM_OK)
            return false;
    }
    // The remainder is asked for even when it is empty.
    return dumpReadData(static_cast<uchar>(type), static_cast<ushort>(offset), static_cast<ushort>(left)) == COMM_OK;
}

void QvxComm::getErrorHistory(uchar id, ushort count_address, ushort index_address, ushort data_address)
{
    busy = true;
    const auto readAll = [&]() -> std::optional<QStringList> {
        int count = 0;
        uchar error = 0;
        if (read1Byte(id, count_address, &count, &error) != COMM_OK || isRefusedRead(error))
            return std::nullopt;
        QStringList entries;
        for (int i = 1; i <= count; ++i) {
            // Selecting the entry must work; a failed or refused read of it only skips it.
            if (sysWrite1ByteTxRx(id, index_address, static_cast<uchar>(i), QString()) != COMM_OK)
                return std::nullopt;
            int value = 0;
            if (read2Byte(id, data_address, &value, &error) == COMM_OK && !isRefusedRead(error))
                entries << QString::number(value, 10);
        }
        return entries;
    };
    if (const std::optional<QStringList> entries = readAll())
        emit getErrorHistoryCompleted(COMM_OK, *entries);
    busy = false;
}

bool QvxComm::confirmByPing(uchar id, int pauseMs, bool errorByteCounts)
{
    const auto answers = [&] {
        ushort model = 0;
        uchar firmware = 0;
        uchar error = 0;
        return ping(id, &model, &firmware, &error) == COMM_OK && (!errorByteCounts || error == 0);
    };
    if (!answers()) {
        QThread::msleep(static_cast<unsigned long>(pauseMs));
        if (!answers()) {
            close();
            return false;
        }
    }
    setState(Connected);
    return true;
}

void QvxComm::measureUpdatePeriod()
{
    recordGap(&lastPollTick, &pollGaps, &meanPollPeriod);
}

void QvxComm::measureAgingPeriod()
{
    recordGap(&lastAgingTick, &agingGaps, &meanAgingPeriod);
}

void QvxComm::setEngineClock(EngineClock *clock)
{
    engineClock = clock ? clock : EngineClock::system();
}

void QvxComm::recordGap(qint64 *lastTick, QList<qint64> *gaps, double *mean) const
{
    const qint64 now = engineClock->nowMs();
    if (*lastTick != 0) {
        gaps->append(now - *lastTick);
        if (gaps->size() > kGapWindow)
            gaps->removeFirst();
        qint64 sum = 0;
        for (const qint64 gap : std::as_const(*gaps))
            sum += gap;
        *mean = static_cast<double>(sum) / static_cast<double>(gaps->size());
    }
    *lastTick = now;
}

void QvxComm::stopGraph()
{
    graphTimer->stop();
}

void QvxComm::stopUpdate()
{
    updateTimer->stop();
}

void QvxComm::stopMultiGraph()
{
    multiGraphTimer->stop();
}

bool QvxComm::endAging(int mode, QTimer *timer)
{
    if (agingMode != mode)
        return false;
    timer->stop();
    agingMode = 0;
    return true;
}

void QvxComm::stopAging()
{
    if (endAging(1, agingTimer))
        emit agingStopped();
}

void QvxComm::stopMultiAging()
{
    if (endAging(2, multiAgingTimer))
        emit multiAgingStopped(0);
}

void QvxComm::stopMotionAging()
{
    if (endAging(3, motionAgingTimer))
        emit motionAgingStopped(0);
}
