#include "tests/sim/ModbusPeers.h"

#include "tests/support/EndWithTest.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <modbus.h>
#include <unistd.h>

namespace sim {

namespace {

// Generous: the machine may be loaded when a peer starts.
constexpr int kStartMs = 20000;

} // namespace

// --- the linked pty pair ------------------------------------------------------------------

PtyLink::PtyLink()
{
    if (!folder_.isValid()) {
        error_ = QStringLiteral("no temporary folder");
        return;
    }
    const QString links[2] = {folder_.filePath(QStringLiteral("program")), folder_.filePath(QStringLiteral("server"))};
    socat_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    testsupport::endWithTest(socat_);
    socat_.start(QStringLiteral("socat"), {QStringLiteral("pty,raw,echo=0,link=") + links[0],
                                           QStringLiteral("pty,raw,echo=0,link=") + links[1]});
    if (!socat_.waitForStarted(kStartMs)) {
        error_ = QStringLiteral("socat does not start: ") + socat_.errorString();
        return;
    }
    const QDeadlineTimer deadline(kStartMs);
    for (int i = 0; i < 2; ++i) {
        while (!QFileInfo(links[i]).exists() && !deadline.hasExpired() && socat_.state() == QProcess::Running)
            QThread::msleep(5);
        // The device itself, so that port names and lock files are those of a pty.
        ends_[i] = QFileInfo(links[i]).canonicalFilePath();
        if (ends_[i].isEmpty()) {
            error_ = QStringLiteral("socat made no pty at ") + links[i];
            return;
        }
        held_[i] = ::open(QFile::encodeName(ends_[i]).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (held_[i] < 0) {
            error_ = QStringLiteral("cannot hold ") + ends_[i] + QStringLiteral(" open");
            return;
        }
    }
}

PtyLink::~PtyLink()
{
    socat_.kill();
    socat_.waitForFinished(kStartMs);
    for (int fd : held_) {
        if (fd >= 0)
            ::close(fd);
    }
}

QList<quint16> registersOf(const QByteArray &table)
{
    QList<quint16> out;
    for (qsizetype i = 0; i < table.size(); i += 2) {
        const auto low = static_cast<quint8>(table.at(i));
        const auto high = i + 1 < table.size() ? static_cast<quint8>(table.at(i + 1)) : quint8(0);
        out.append(static_cast<quint16>(low | high << 8));
    }
    return out;
}

// --- libmodbus server -------------------------------------------------------------------------

struct LibmodbusServer::Context
{
    modbus_t *ctx = nullptr;
    modbus_mapping_t *map = nullptr;
};

LibmodbusServer::LibmodbusServer(const QString &device, int baudRate, int id, const QList<quint16> &registers)
    : d_(std::make_unique<Context>())
{
    d_->ctx = modbus_new_rtu(QFile::encodeName(device).constData(), baudRate, 'N', 8, 1);
    d_->map = modbus_mapping_new(0, 0, static_cast<int>(registers.size()), 0);
    if (!d_->ctx || !d_->map) {
        error_ = QStringLiteral("libmodbus: no context or map");
        return;
    }
    for (int i = 0; i < registers.size(); ++i)
        d_->map->tab_registers[i] = registers.at(i);
    modbus_set_slave(d_->ctx, id);
    // A damaged frame flushes what came with it, as a device would drop it.
    modbus_set_error_recovery(d_->ctx, MODBUS_ERROR_RECOVERY_PROTOCOL);
    if (modbus_connect(d_->ctx) != 0) {
        error_ = QStringLiteral("libmodbus cannot open %1: %2").arg(device, QString::fromLocal8Bit(modbus_strerror(errno)));
        return;
    }
    // Wake up every 50 ms to see whether to stop.
    modbus_set_indication_timeout(d_->ctx, 0, 50000);
    ready_ = true;
    thread_ = std::thread([this] { serve(); });
}

LibmodbusServer::~LibmodbusServer()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    if (d_->ctx) {
        modbus_close(d_->ctx);
        modbus_free(d_->ctx);
    }
    if (d_->map)
        modbus_mapping_free(d_->map);
}

void LibmodbusServer::serve()
{
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stopping_) {
        const int n = modbus_receive(d_->ctx, query);
        if (n <= 0)
            continue; // nothing for us yet, a frame for another server, or a damaged one
        PeerFaults faults;
        {
            std::lock_guard lock(mutex_);
            faults = faults_;
            faults_.delayNextMs = 0;
            faults_.beforeNext.clear();
            faults_.corruptNext = false;
        }
        if (faults.delayNextMs > 0)
            QThread::msleep(static_cast<unsigned long>(faults.delayNextMs));
        const int fd = modbus_get_socket(d_->ctx);
        if (!faults.beforeNext.isEmpty())
            (void)::write(fd, faults.beforeNext.constData(), static_cast<size_t>(faults.beforeNext.size()));
        std::lock_guard lock(mutex_);
        ++requests_;
        if (faults.refuseWith != 0) {
            modbus_reply_exception(d_->ctx, query, static_cast<unsigned int>(faults.refuseWith));
        } else if (faults.corruptNext && query[1] == 3) {
            // The read's answer as libmodbus would send it, its CRC turned.
            const int start = query[2] << 8 | query[3];
            const int count = query[4] << 8 | query[5];
            QByteArray answer;
            answer.append(static_cast<char>(query[0]));
            answer.append('\x03');
            answer.append(static_cast<char>(2 * count));
            for (int i = 0; i < count; ++i) {
                const quint16 value = start + i < d_->map->nb_registers ? d_->map->tab_registers[start + i] : 0;
                answer.append(static_cast<char>(value >> 8));
                answer.append(static_cast<char>(value & 0xFF));
            }
            answer.append('\x5A');
            answer.append('\xA5');
            (void)::write(fd, answer.constData(), static_cast<size_t>(answer.size()));
        } else {
            modbus_reply(d_->ctx, query, n, d_->map);
        }
    }
}

void LibmodbusServer::setFaults(const PeerFaults &faults)
{
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

quint16 LibmodbusServer::reg(int index) const
{
    std::lock_guard lock(mutex_);
    return index < d_->map->nb_registers ? d_->map->tab_registers[index] : 0;
}

void LibmodbusServer::setRegister(int index, quint16 value)
{
    std::lock_guard lock(mutex_);
    if (index < d_->map->nb_registers)
        d_->map->tab_registers[index] = value;
}

// --- pymodbus server --------------------------------------------------------------------------

PymodbusServer::PymodbusServer(const QString &device, int baudRate, const QByteArray &table)
{
    process_.setProcessChannelMode(QProcess::MergedChannels);
    testsupport::endWithTest(process_);
    process_.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(ZEPHLET_PYMODBUS_PEER), device, QString::number(baudRate),
                    QString::fromLatin1(table.toHex())});
    if (!process_.waitForStarted(kStartMs)) {
        error_ = QStringLiteral("python3 does not start: ") + process_.errorString();
        return;
    }
    QByteArray said;
    const QDeadlineTimer deadline(kStartMs);
    while (!said.contains("ready") && !deadline.hasExpired() && process_.state() == QProcess::Running) {
        process_.waitForReadyRead(100);
        said += process_.readAll();
    }
    ready_ = said.contains("ready");
    if (!ready_)
        error_ = QString::fromLocal8Bit(said);
}

PymodbusServer::~PymodbusServer()
{
    process_.kill();
    process_.waitForFinished(kStartMs);
}

} // namespace sim
