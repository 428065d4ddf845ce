#pragma once
// The Modbus transport against its peers: a real Modbus RTU server (libmodbus
// or pymodbus) on a socat-linked pty pair, or the simulated Modbus servo on a
// pty of its own, with the transport's signals and log lines recorded as text.

#include "comm/CommResult.h"
#include "comm/QvxModbus.h"
#include "tests/sim/ModbusPeers.h"
#include "tests/sim/SimModbus.h"
#include "tests/support/QtPrinters.h"

#include <QModbusClient>
#include <QStringList>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <type_traits>

namespace modbus_test {

constexpr int kBaud = 115200;
constexpr uchar kId = 1;

template <class T>
QString text(T value)
{
    if constexpr (std::is_same_v<T, QByteArray>)
        return QString::fromLatin1(value.toHex(' ').toUpper());
    else if constexpr (std::is_same_v<T, QString>)
        return value;
    else if constexpr (std::is_same_v<T, QvxComm::State>)
        return QString::number(static_cast<int>(value));
    else
        return QString::number(value);
}

// The signals of one transport as lines "<name> <arguments...>", in the order
// they came (the tick of the poll signals left out), and its log lines.
struct Recorder
{
    QStringList seen;
    QStringList logs;

    explicit Recorder(QvxModbus *m)
    {
        add(m, &QvxComm::read1ByteCompleted, "read1");
        add(m, &QvxComm::read2ByteCompleted, "read2");
        add(m, &QvxComm::read4ByteCompleted, "read4");
        add(m, &QvxComm::write1ByteCompleted, "write1");
        add(m, &QvxComm::write2ByteCompleted, "write2");
        add(m, &QvxComm::write4ByteCompleted, "write4");
        add(m, &QvxComm::resetCompleted, "reset");
        add(m, &QvxComm::rebootCompleted, "reboot");
        add(m, &QvxComm::clearCompleted, "clear");
        add(m, &QvxComm::multiturnClearCompleted, "multiturnClear");
        add(m, &QvxComm::auxBackupCompleted, "auxBackup");
        add(m, &QvxComm::auxRestoreCompleted, "auxRestore");
        add(m, &QvxComm::openSucceed, "openSucceed");
        add(m, &QvxComm::openFailed, "openFailed");
        add(m, &QvxComm::closed, "closed");
        add(m, &QvxComm::stateChanged, "stateChanged");
        add(m, &QvxComm::agingStopped, "agingStopped");
        add(m, &QvxComm::updateTxStatus, "tx");
        add(m, &QvxComm::updateRxStatus, "rx");
        QObject::connect(m, &QvxComm::updateCompleted,
                         [this](int r, uchar id, ushort length, const QByteArray &data, uchar error, qlonglong) {
                             seen << QStringList{"update", text(r), text(id), text(length), text(data), text(error)}
                                         .join(' ');
                         });
        QObject::connect(m, &QvxComm::graphReadCompleted,
                         [this](int r, uchar id, ushort address, ushort length, const QByteArray &data, uchar error,
                                qlonglong) {
                             seen << QStringList{"graph", text(r), text(id), text(address), text(length), text(data),
                                                 text(error)}
                                         .join(' ');
                         });
        QObject::connect(m, &QvxComm::logMessage, [this](const QString &line) { logs << line; });
    }

    // The recorded lines that begin with `name` and a blank, or are `name`.
    QStringList only(const QString &name) const
    {
        QStringList out;
        for (const QString &line : seen) {
            if (line == name || line.startsWith(name + QLatin1Char(' ')))
                out << line;
        }
        return out;
    }
    // The log lines without those of the client's own error reports.
    // The log lines of the transfers themselves: not the link's, nor the
    // note that a late answer of an earlier try (a window a loaded machine
    // missed) was dropped before the next request.
    QStringList transferLogs() const
    {
        QStringList out;
        for (const QString &line : logs) {
            if (!line.startsWith(QLatin1String("handleError : "))
                && !line.startsWith(QLatin1String("COMM_RX_CORRUPT: late bytes dropped")))
                out << line;
        }
        return out;
    }
    void clear()
    {
        seen.clear();
        logs.clear();
    }

private:
    template <class... A>
    void add(QvxModbus *m, void (QvxComm::*signal)(A...), const char *name)
    {
        QObject::connect(m, signal, [this, name](A... args) {
            QStringList parts{QString::fromLatin1(name)};
            ((parts << text(args)), ...);
            seen << parts.join(QLatin1Char(' '));
        });
    }
};

// A loaded machine now and then misses a 50 ms reply window. Where that is
// not what a test looks at, an operation that timed out (or failed in the
// read phase of a byte write, which counts a time-out as a failed reply) is
// repeated, at most 5 times; every other result is judged as it came. A new
// try comes after a pause that lets a busy machine catch up.
template <class Operation>
int settled(Operation operation)
{
    int result = operation();
    for (int attempt = 1; attempt < 5 && (result == COMM_RX_TIMEOUT || result == COMM_RX_FAIL); ++attempt) {
        QTest::qWait(300);
        result = operation();
    }
    return result;
}

// As settled, with the recorder cleared before every try, so that it holds
// what the last one did.
template <class Operation>
int settledAfresh(Recorder &record, Operation operation)
{
    return settled([&] {
        record.clear();
        return operation();
    });
}

// The connect step, tried a few times for the same reason.
inline bool connectSettled(QvxModbus &modbus, uchar id)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (modbus.connectQvx(id))
            return true;
    }
    return false;
}

// A control table of `size` bytes whose byte i is (i * 7 + 3) & 0xFF.
inline QByteArray patternTable(int size)
{
    QByteArray table(size, '\0');
    for (int i = 0; i < size; ++i)
        table[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    return table;
}

// The transport on the libmodbus server (server address kId) through socat.
struct OnLibmodbus
{
    sim::PtyLink link;
    std::unique_ptr<sim::LibmodbusServer> server;
    std::unique_ptr<QvxModbus> modbus = std::make_unique<QvxModbus>();
    Recorder record{modbus.get()};

    explicit OnLibmodbus(const QByteArray &table = patternTable(300))
    {
        if (link.isOpen())
            server = std::make_unique<sim::LibmodbusServer>(link.serverSide(), kBaud, kId, sim::registersOf(table));
    }
    // Opens the transport on the link (once the server is up).
    bool open()
    {
        EXPECT_TRUE(link.isOpen()) << link.error().toStdString();
        EXPECT_TRUE(server && server->isReady()) << (server ? server->error().toStdString() : "");
        return server && server->isReady() && modbus->open(link.programSide(), kBaud);
    }
};

// The transport on the simulated Modbus servo (server address kId).
struct OnServo
{
    sim::ModbusServo servo;
    std::unique_ptr<QvxModbus> modbus = std::make_unique<QvxModbus>();
    Recorder record{modbus.get()};

    explicit OnServo(int registers = 256)
        : servo(kId, registers)
    {
    }
    bool open()
    {
        EXPECT_TRUE(servo.isOpen());
        return servo.isOpen() && modbus->open(servo.portName(), kBaud);
    }
    void fault(const std::function<void(sim::ModbusFaults &)> &set)
    {
        sim::ModbusFaults f;
        set(f);
        servo.setFaults(f);
    }
};

} // namespace modbus_test
