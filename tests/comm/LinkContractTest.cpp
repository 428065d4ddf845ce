// A link that goes away or a peer that floods: one table of cases run against
// every transport through its real path, as in the exchange contract.
//
//   serial   QvxPort on the simulated bus, whose pty is hung up under it
//   polls    the serial transport's update reader running on its timer, its
//            port name a link the test removes (a pulled adapter) and points
//            at a new simulated bus (the device back)
//   TCP      QvxTcpClient against a TCP peer that hangs up or floods
//   Modbus   QvxModbus on the simulated Modbus servo, whose pty is hung up
//
// (The TCP-to-serial bridge is no requester; tests/server/BridgeLinkTest.cpp
// runs the same cases against its serial line.)
//
// Each loss must end a running wait at once, cost next to no CPU while the link
// is down (the event loop runs, as in the console), be reported once, and
// leave the transport able to open the link again. A flood while nobody asks
// must cost bounded memory and leave the next request answered.
#include "TcpPeer.h"

#include "comm/CommResult.h"
#include "comm/ExchangeLine.h"
#include "comm/ModbusRtu.h"
#include "comm/QvxModbus.h"
#include "comm/QvxPort.h"
#include "comm/QvxTcpClient.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimModbus.h"
#include "tests/sim/SimPackets.h"
#include "tests/support/QtPrinters.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sys/resource.h>
#include <thread>

using sim::fromHex;

namespace {

constexpr quint8 kId = 1;
// A wait that only a loss may end early, ms.
constexpr int kLongWaitMs = 8000;

// CPU time this thread used, ms.
qint64 threadCpuMs()
{
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000LL + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
}

// The resident memory of this process, in MiB.
qint64 residentMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() / 1024;
    }
    return 0;
}

// CPU this thread spends on `ms` of event loop.
qint64 cpuOfIdle(int ms)
{
    const qint64 before = threadCpuMs();
    QTest::qWait(ms);
    return threadCpuMs() - before;
}

class Transport
{
public:
    virtual ~Transport() = default;
    virtual const char *name() const = 0;
    virtual QString unusable() const = 0;
    // One read of an item from the device: its result.
    virtual int request() = 0;
    // A read the silent device leaves unanswered for kLongWaitMs.
    virtual int longRequest() = 0;
    virtual void setSilent(bool on) = 0;
    // The link goes away under the transport.
    virtual void lose() = 0;
    // The first bytes of an answer, and nothing more.
    virtual void sendPartial() = 0;
    // Bytes that hold no packet, as fast as the link takes them, for `ms`.
    virtual void flood(int ms) = 0;
    // The link is there again and the transport connects to it.
    virtual bool reconnect() = 0;
    // How often the transport reported the link lost (Disconnected states).
    int reports() const { return reports_; }
    // Bytes the transport holds between requests.
    virtual qsizetype held() const = 0;
    QStringList logs;

protected:
    void watch(QvxComm *comm)
    {
        QObject::connect(comm, &QvxComm::stateChanged, [this](QvxComm::State s) {
            if (s == QvxComm::Disconnected)
                ++reports_;
        });
        QObject::connect(comm, &QvxComm::logMessage, [this](const QString &m) { logs << m; });
    }

private:
    int reports_ = 0;
};

// --- serial ------------------------------------------------------------------------------------

class SerialTransport : public Transport
{
public:
    SerialTransport()
    {
        watch(&port_);
        addBus();
        port_.setTimeout(sim::kReplySlackMs);
        connected_ = reconnect();
    }

    const char *name() const override { return "serial"; }
    QString unusable() const override { return connected_ ? QString() : QStringLiteral("no connection"); }

    int request() override
    {
        int value = 0;
        uchar error = 0;
        return port_.read4Byte(kId, 132, &value, &error);
    }

    int longRequest() override
    {
        port_.setTimeout(kLongWaitMs);
        const int result = request();
        port_.setTimeout(sim::kReplySlackMs);
        return result;
    }

    void setSilent(bool on) override
    {
        sim::Faults f;
        f.silent = on;
        bus_->setFaults(kId, f);
    }

    void lose() override { bus_->hangUp(); }
    void sendPartial() override { bus_->sendRaw(sim::status2(kId, 0, fromHex("01 02 03 04")).left(6)); }

    void flood(int ms) override
    {
        const QByteArray noise(16 * 1024, '\x5A');
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            bus_->sendRaw(noise);
    }

    bool reconnect() override
    {
        if (!bus_->isOpen())
            addBus();
        port_.portName = bus_->portName();
        port_.baudRate = 57600;
        return port_.connectQvx(kId);
    }

    qsizetype held() const override
    {
        return port_.qvx_protocol->rxBuffer.size() + port_.serial_port->bytesAvailable();
    }

private:
    void addBus()
    {
        bus_ = std::make_unique<sim::SimBus>();
        bus_->addDevice(sim::Device::protocol2(kId, 1020, 53));
    }

    std::unique_ptr<sim::SimBus> bus_;
    QvxPort port_{true};
    bool connected_ = false;
};

// --- the polls ---------------------------------------------------------------------------------

class PollTransport : public Transport
{
public:
    PollTransport()
    {
        watch(&port_);
        name_ = dir_.filePath(QStringLiteral("polled-port"));
        port_.setTimeout(sim::kReplySlackMs);
        connected_ = plug() && reconnectPort();
        // The reader polls on its timer whenever the event loop runs.
        port_.startUpdate(kId, 4, 20);
    }

    const char *name() const override { return "polls"; }
    QString unusable() const override { return connected_ ? QString() : QStringLiteral("no connection"); }

    // One poll as the reader's timer makes it: the link check (which opens
    // the port again once its device is back), then the read.
    int request() override { return port_.readUpdate(kId, 4); }

    int longRequest() override
    {
        port_.setTimeout(kLongWaitMs);
        const int result = request();
        port_.setTimeout(sim::kReplySlackMs);
        return result;
    }

    void setSilent(bool on) override
    {
        sim::Faults f;
        f.silent = on;
        bus_->setFaults(kId, f);
    }

    // The adapter is pulled: its device node goes, and the line hangs up.
    void lose() override
    {
        QFile::remove(name_);
        bus_->hangUp();
    }

    void sendPartial() override { bus_->sendRaw(sim::status2(kId, 0, fromHex("01 02 03 04")).left(6)); }

    void flood(int ms) override
    {
        const QByteArray noise(16 * 1024, '\x5A');
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            bus_->sendRaw(noise);
    }

    // The device is back under the same name; the next poll opens it.
    bool reconnect() override { return plug(); }

    qsizetype held() const override
    {
        return port_.qvx_protocol->rxBuffer.size() + port_.serial_port->bytesAvailable();
    }

private:
    bool plug()
    {
        bus_ = std::make_unique<sim::SimBus>();
        bus_->addDevice(sim::Device::protocol2(kId, 1020, 53));
        QFile::remove(name_);
        return bus_->isOpen() && QFile::link(bus_->portName(), name_);
    }

    bool reconnectPort()
    {
        port_.portName = name_;
        port_.baudRate = 57600;
        return port_.connectQvx(kId);
    }

    QTemporaryDir dir_;
    QString name_;
    std::unique_ptr<sim::SimBus> bus_;
    QvxPort port_{true};
    bool connected_ = false;
};

// --- TCP ---------------------------------------------------------------------------------------

class TcpTransport : public Transport
{
public:
    TcpTransport()
    {
        watch(&client_);
        client_.setConnectionSetting(QvxComm::KeyNetworkAddress, QStringLiteral("127.0.0.1"));
        client_.setConnectionSetting(QvxComm::KeyNetworkPort, peer_.port());
        connected_ = peer_.port() != 0 && reconnect();
    }

    const char *name() const override { return "TCP"; }
    QString unusable() const override { return connected_ ? QString() : QStringLiteral("no connection"); }

    int request() override
    {
        int value = 0;
        uchar error = 0;
        return client_.read4Byte(kId, 132, &value, &error);
    }

    int longRequest() override
    {
        client_.setTimeout(kLongWaitMs);
        const int result = request();
        client_.setTimeout(0);
        return result;
    }

    void setSilent(bool on) override { peer_.setSilent(on); }
    void lose() override { peer_.hangUp(); }
    void sendPartial() override { peer_.sendRaw(sim::status2(kId, 0, fromHex("01 02 03 04")).left(6)); }
    void flood(int ms) override { peer_.flood(ms); }
    bool reconnect() override { return client_.connectQvx(kId); }
    qsizetype held() const override
    {
        return client_.qvx_protocol->rxBuffer.size() + client_.tcp_socket->bytesAvailable();
    }

private:
    TcpPeer peer_;
    QvxTcpClient client_;
    bool connected_ = false;
};

// --- Modbus ------------------------------------------------------------------------------------

class ModbusTransport : public Transport
{
public:
    ModbusTransport()
    {
        watch(&modbus_);
        servo_ = std::make_unique<sim::ModbusServo>(kId);
        connected_ = reconnect();
    }

    const char *name() const override { return "Modbus"; }
    QString unusable() const override { return connected_ ? QString() : QStringLiteral("no connection"); }

    int request() override
    {
        int value = 0;
        uchar error = 0;
        return modbus_.read2Byte(kId, 4, &value, &error);
    }

    int longRequest() override
    {
        // A clear waits ten seconds for its answer.
        return modbus_.clear(kId, 0, 40);
    }

    void setSilent(bool on) override
    {
        sim::ModbusFaults f;
        f.silent = on;
        servo_->setFaults(f);
    }

    void lose() override { servo_->hangUp(); }
    void sendPartial() override { servo_->sendRaw(fromHex("01 03 02 12")); }

    void flood(int ms) override
    {
        const QByteArray noise(16 * 1024, '\x5A');
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            servo_->sendRaw(noise);
    }

    bool reconnect() override
    {
        if (!servo_->isOpen())
            servo_ = std::make_unique<sim::ModbusServo>(kId);
        modbus_.portName = servo_->portName();
        modbus_.baudRate = 115200;
        for (int attempt = 0; attempt < 3; ++attempt) { // a loaded machine may miss a 50 ms window
            if (modbus_.connectQvx(kId))
                return true;
        }
        return false;
    }

    qsizetype held() const override
    {
        return modbus_.rtu ? modbus_.rtu->rxBuffer.size() + modbus_.rtu->port->bytesAvailable() : 0;
    }

private:
    std::unique_ptr<sim::ModbusServo> servo_;
    QvxModbus modbus_;
    bool connected_ = false;
};

std::unique_ptr<Transport> makeTransport(const std::string &name)
{
    if (name == "Serial")
        return std::make_unique<SerialTransport>();
    if (name == "Polls")
        return std::make_unique<PollTransport>();
    if (name == "Tcp")
        return std::make_unique<TcpTransport>();
    return std::make_unique<ModbusTransport>();
}

// The request succeeds within a few tries (a loaded machine may miss a window).
int settled(Transport &t)
{
    int result = t.request();
    for (int attempt = 1; attempt < 5 && result != COMM_OK; ++attempt) {
        QTest::qWait(100);
        result = t.request();
    }
    return result;
}

class LinkContract : public ::testing::TestWithParam<std::string>
{
protected:
    void SetUp() override
    {
        t = makeTransport(GetParam());
        const QString why = t->unusable();
        ASSERT_TRUE(why.isEmpty()) << t->name() << ": " << why.toStdString();
        ASSERT_EQ(settled(*t), COMM_OK) << t->name() << ": the device does not answer";
    }

    // After a loss: the event loop runs with next to no CPU, the loss was
    // reported once, and a request fails at once.
    void expectDownQuietly()
    {
        const qint64 cpu = cpuOfIdle(1000);
        EXPECT_LT(cpu, 200) << "ms of CPU in one second with the link down";
        EXPECT_EQ(t->reports(), 1);
        QElapsedTimer took;
        took.start();
        EXPECT_NE(t->request(), COMM_OK);
        EXPECT_LT(took.elapsed(), kLongWaitMs / 2) << "a request on a lost link waited";
        EXPECT_EQ(t->reports(), 1);
    }

    std::unique_ptr<Transport> t;
};

TEST_P(LinkContract, ALossEndsTheRunningWaitAtOnce)
{
    t->setSilent(true);
    QElapsedTimer sinceLoss;
    std::thread loser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sinceLoss.start();
        t->lose();
    });
    const int result = t->longRequest();
    const qint64 after = sinceLoss.isValid() ? sinceLoss.elapsed() : -1;
    loser.join();
    EXPECT_NE(result, COMM_OK);
    EXPECT_NE(result, COMM_RX_TIMEOUT) << "the wait ran out instead of ending with the loss";
    EXPECT_GE(after, 0);
    EXPECT_LT(after, kLongWaitMs / 2) << "ms from the loss to the end of the wait";
    expectDownQuietly();
}

TEST_P(LinkContract, ALossWhileIdleIsReportedOnceAndCostsNoCpu)
{
    t->lose();
    expectDownQuietly();
}

TEST_P(LinkContract, ALossWithBytesPendingDropsThem)
{
    t->sendPartial();
    QTest::qWait(100);
    t->lose();
    expectDownQuietly();
    EXPECT_EQ(t->held(), 0);
}

TEST_P(LinkContract, TheLinkOpensAgainOnceItIsBack)
{
    t->lose();
    QTest::qWait(200);
    ASSERT_TRUE(t->reconnect());
    EXPECT_EQ(settled(*t), COMM_OK);
}

TEST_P(LinkContract, AFloodWhileIdleCostsBoundedMemory)
{
    const qint64 before = residentMiB();
    // The flood comes from another thread while this one runs its event loop,
    // as the console's does between commands.
    std::atomic<bool> done{false};
    std::thread flooder([&] {
        t->flood(300);
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 20000)) << "the flood did not end";
    flooder.join();
    QTest::qWait(50);
    EXPECT_LE(t->held(), 2 * ExchangeLine::kMaxHeld);
    EXPECT_LT(residentMiB() - before, 64) << "MiB grown by the flood";
    EXPECT_EQ(settled(*t), COMM_OK);
    for (const QString &line : std::as_const(t->logs))
        EXPECT_LT(line.size(), 1200) << "a log line of " << line.size() << " characters";
}

INSTANTIATE_TEST_SUITE_P(EveryTransport, LinkContract, ::testing::Values("Serial", "Polls", "Tcp", "Modbus"),
                         [](const ::testing::TestParamInfo<std::string> &row) { return row.param; });

} // namespace
