// Which bytes may answer a request: one table of cases run against every
// transport through its real path, so that a rule one transport keeps and
// another does not shows up as one failing row.
//
//   serial 2.0 / 1.0  QvxPort on the simulated bus (a pty pair)
//   TCP               QvxTcpClient through the TCP-to-serial bridge to the simulated bus
//   Modbus            QvxModbus against a libmodbus RTU server on a socat pty pair
//
// Every device holds two items of the same width with different values (A and
// B), and a series of more: an answer taken for the wrong request shows as
// another item's value. The cases never look at timing: on a loaded machine a
// request may fail, but it must never return a wrong value or report a refusal
// as success.
//
// Late answers come at three points past a request's window: just past the
// wait this contract once held (five windows), a second late, and past the
// present bound (the late span, plus margin). The devices queue: a request
// that reaches a device still busy with a late answer is answered after it,
// as a busy servo or a slow adapter does.
#include "comm/CommResult.h"
#include "comm/ExchangeLine.h"
#include "comm/QvxModbus.h"
#include "comm/QvxPort.h"
#include "comm/QvxTcpClient.h"
#include "device/BaseConstants.h"
#include "device/ProtocolConstants.h"
#include "server/TCPServer.h"
#include "tests/server/ListeningPort.h"
#include "tests/sim/ModbusPeers.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimModbus.h"
#include "tests/sim/SimPackets.h"
#include "tests/support/QtPrinters.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <thread>

using sim::fromHex;

namespace {

constexpr quint8 kId = 1;

// One read of an item: result, value (untouched: kUntouched) and error byte.
constexpr int kUntouched = 0x5EEDBEEF;
struct Read
{
    int result = COMM_OK;
    int value = kUntouched;
    uchar error = 0xEE;
};

// A transport with one device on its real path.
class Transport
{
public:
    virtual ~Transport() = default;
    virtual const char *name() const = 0;
    virtual QString unusable() const = 0; // why the path could not be set up; empty when it was

    // The item values the device holds.
    virtual int valueA() const = 0;
    virtual int valueB() const = 0;
    virtual Read readA() = 0;
    virtual Read readB() = 0;
    // A request that answers with data of another size than the items (a ping).
    virtual int ask() = 0;
    // A read whose answer has the size of the ping's answer (protocol 2.0: the
    // first three bytes of A) and the value it must give; transports without
    // one give no value.
    virtual std::optional<int> askSizedValue() const { return std::nullopt; }
    virtual Read readAskSized() { return {}; }
    // A request whose answer carries no data (a write of 1 to the command byte);
    // its result and the device's error byte.
    virtual Read command() = 0;
    // Whether the command byte changed on the device.
    virtual bool commandLanded() = 0;
    // Writes 3 to the byte after the command byte, whose neighbour (the
    // command byte) holds 0x5A: the result, and the two bytes as the device
    // then holds them (a Modbus transport writes a byte as a read and a
    // write of the register that holds both).
    virtual int writeNeighbour(QByteArray *bytes) = 0;
    // Whether an error byte says the device refused.
    virtual bool refused(uchar error) const = 0;

    // Faults of the device's next answer: it comes `ms` late; an answer of
    // the same device to some other request comes just before it; its
    // checksum is wrong. clearFaults ends them; refuse makes the device
    // refuse everything until cleared.
    virtual void answerLate(int ms) = 0;
    virtual void foreignAnswerFirst() = 0;
    virtual void corruptAnswer() = 0;
    virtual void refuse() = 0;
    // The device refuses everything until cleared, and its next answer (a
    // refusal) comes `ms` late.
    virtual void refuseLate(int ms) = 0;
    virtual void clearFaults() = 0;

    // The window in which an item read's answer is awaited, ms.
    virtual int windowMs() const = 0;

    // Items of the width of A and B, each with a value of its own.
    static constexpr int kSeries = 8;
    virtual int seriesValue(int i) const = 0;
    virtual Read readSeries(int i) = 0;
    // A command without data with a window of its own (a factory reset);
    // where commands are register writes, the command.
    virtual Read reset() { return command(); }
    // Lets the line go as the end of a run does, then opens it afresh: the
    // next run's link.
    virtual bool relink() = 0;
    // How many requests the device has taken so far.
    virtual int taken() const = 0;
};

// Three bytes from `address` as a number, low byte first.
Read readThreeBytes(QvxProtocolComm &link, int address)
{
    Read r;
    uchar data[3] = {};
    r.result = link.readTxRx(kId, static_cast<ushort>(address), 3, data, &r.error);
    if (r.result == COMM_OK)
        r.value = data[0] | data[1] << 8 | data[2] << 16;
    return r;
}

// A factory reset of the device: its result, and the error byte of the status
// it took (which the reset's completion carries).
Read resetOf(QvxProtocolComm &link)
{
    Read r;
    const QMetaObject::Connection done =
        QObject::connect(&link, &QvxComm::resetCompleted, [&r](int, uchar, uchar error) { r.error = error; });
    uchar ignored = 0;
    r.result = link.reset(kId, ignored);
    QObject::disconnect(done);
    return r;
}

// --- the serial engines ------------------------------------------------------------------------

class SerialTransport : public Transport
{
public:
    explicit SerialTransport(sim::Protocol protocol)
        : protocol_(protocol)
        , port_(std::make_unique<QvxPort>(true))
    {
        const bool v2 = protocol == sim::Protocol::V2;
        sim::Device dev = v2 ? sim::Device::protocol2(kId, 1020, 53) : sim::Device::protocol1(kId, 12, 7, 128);
        bus_.addDevice(dev);
        bus_.setMemory(kId, itemA(), v2 ? fromHex("10 27 00 00") : fromHex("E8 03"), protocol);
        bus_.setMemory(kId, itemB(), v2 ? fromHex("00 FC FF FF") : fromHex("D0 07"), protocol);
        for (int i = 0; i < kSeries; ++i) {
            QByteArray bytes;
            for (int k = 0; k < width(); ++k)
                bytes.append(static_cast<char>((seriesValue(i) >> (8 * k)) & 0xFF));
            bus_.setMemory(kId, seriesAddress(i), bytes, protocol);
        }
        opened_ = bus_.isOpen() && openPort();
    }

    const char *name() const override { return protocol_ == sim::Protocol::V2 ? "serial 2.0" : "serial 1.0"; }
    QString unusable() const override { return opened_ ? QString() : QStringLiteral("the port did not open"); }
    int valueA() const override { return protocol_ == sim::Protocol::V2 ? 10000 : 1000; }
    int valueB() const override { return protocol_ == sim::Protocol::V2 ? -1024 : 2000; }
    Read readA() override { return read(itemA()); }
    Read readB() override { return read(itemB()); }

    int ask() override
    {
        ushort model = 0;
        uchar fw = 0;
        uchar error = 0;
        return port_->ping(kId, &model, &fw, &error);
    }

    Read command() override
    {
        Read r;
        r.result = port_->write1Byte(kId, kCommandByte, 1, &r.error);
        return r;
    }

    std::optional<int> askSizedValue() const override
    {
        return protocol_ == sim::Protocol::V2 ? std::optional<int>(valueA() & 0xFFFFFF) : std::nullopt;
    }
    Read readAskSized() override { return readThreeBytes(*port_, itemA()); }

    bool commandLanded() override { return bus_.memory(kId, kCommandByte, 1, protocol_) != fromHex("00"); }

    int writeNeighbour(QByteArray *bytes) override
    {
        bus_.setMemory(kId, kCommandByte, fromHex("5A 00"), protocol_);
        uchar error = 0;
        const int result = port_->write1Byte(kId, kCommandByte + 1, 3, &error);
        *bytes = bus_.memory(kId, kCommandByte, 2, protocol_);
        return result;
    }

    bool refused(uchar error) const override
    {
        return protocol_ == sim::Protocol::V2 ? (error & 0x7F) != 0 : (error & 0x58) != 0;
    }

    void answerLate(int ms) override { setFaults([ms](sim::Faults &f) { f.delayMs = ms; }); }

    void foreignAnswerFirst() override
    {
        const bool v2 = protocol_ == sim::Protocol::V2;
        // The answer to a read of another width, then the true answer of the read.
        const QByteArray foreign =
            v2 ? sim::status2(kId, 0, fromHex("34 12")) : sim::packet1(kId, 0, fromHex("34 12 00 00"));
        const QByteArray a = bus_.memory(kId, itemA(), width(), protocol_);
        const QByteArray answer = v2 ? sim::status2(kId, 0, a) : sim::packet1(kId, 0, a);
        bus_.setResponder([foreign, answer](const sim::Instruction &) { return std::optional<QByteArray>(foreign + answer); });
    }

    void corruptAnswer() override { setFaults([](sim::Faults &f) { f.corruptChecksum = true; }); }

    void refuse() override { refuseLate(0); }

    void refuseLate(int ms) override
    {
        const quint8 error = protocol_ == sim::Protocol::V2 ? 0x07 : 0x08; // Access / Range
        setFaults([error, ms](sim::Faults &f) {
            f.error = error;
            f.omitData = true;
            f.delayMs = ms;
        });
    }

    void clearFaults() override
    {
        bus_.setResponder({});
        setFaults([](sim::Faults &) {});
    }

    int windowMs() const override { return port_->qvx_protocol->packetTimeoutFor(width() + 11); }

    int seriesValue(int i) const override { return width() == 4 ? 100000 * (i + 1) + 7 : 100 * (i + 1) + 3; }
    Read readSeries(int i) override { return read(seriesAddress(i)); }

    Read reset() override { return resetOf(*port_); }
    int taken() const override { return static_cast<int>(bus_.received().size()); }

    bool relink() override
    {
        port_->awaitOwedAnswers();
        port_->close();
        port_ = std::make_unique<QvxPort>(true);
        return openPort();
    }

private:
    static constexpr int kCommandByte = 24;
    int seriesAddress(int i) const { return protocol_ == sim::Protocol::V2 ? 160 + 4 * i : 60 + 2 * i; }

    bool openPort()
    {
        port_->setProtocolVersion(protocol_ == sim::Protocol::V2 ? kProtocolVersion2 : kProtocolVersion1);
        // Windows long enough that a loaded machine seldom misses one.
        port_->setTimeout(60);
        return port_->open(bus_.portName(), 57600);
    }

    int itemA() const { return protocol_ == sim::Protocol::V2 ? 132 : 36; }
    int itemB() const { return protocol_ == sim::Protocol::V2 ? 136 : 38; }
    int width() const { return protocol_ == sim::Protocol::V2 ? 4 : 2; }

    Read read(int address)
    {
        Read r;
        r.result = width() == 4 ? port_->read4Byte(kId, address, &r.value, &r.error)
                                : port_->read2Byte(kId, address, &r.value, &r.error);
        return r;
    }

    void setFaults(const std::function<void(sim::Faults &)> &set)
    {
        sim::Faults f;
        set(f);
        bus_.setFaults(kId, f, protocol_);
    }

    sim::Protocol protocol_;
    sim::SimBus bus_;
    std::unique_ptr<QvxPort> port_;
    bool opened_ = false;
};

// --- the TCP client through the bridge -------------------------------------------------------

class BridgeTransport : public Transport
{
public:
    BridgeTransport()
    {
        bus_.addDevice(sim::Device::protocol2(kId, 1020, 53));
        bus_.setMemory(kId, kItemA, fromHex("10 27 00 00"));
        bus_.setMemory(kId, kItemB, fromHex("00 FC FF FF"));
        for (int i = 0; i < kSeries; ++i) {
            const int v = seriesValue(i);
            const char bytes[] = {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char(v >> 24)};
            bus_.setMemory(kId, kSeriesStart + 4 * i, QByteArray(bytes, sizeof bytes));
        }
        if (!bus_.isOpen() || !bridge_.start(QStringLiteral("127.0.0.1"), 0, bus_.portName(), 57600))
            return;
        const quint16 port = listeningPort(bridge_);
        opened_ = port != 0 && client_.open(QStringLiteral("127.0.0.1"), port);
    }
    ~BridgeTransport() override
    {
        client_.close();
        bridge_.stop();
    }

    const char *name() const override { return "TCP through the bridge"; }
    QString unusable() const override { return opened_ ? QString() : QStringLiteral("the bridge did not connect"); }
    int valueA() const override { return 10000; }
    int valueB() const override { return -1024; }
    Read readA() override { return read(kItemA); }
    Read readB() override { return read(kItemB); }

    int ask() override
    {
        ushort model = 0;
        uchar fw = 0;
        uchar error = 0;
        return client_.ping(kId, &model, &fw, &error);
    }

    Read command() override
    {
        Read r;
        r.result = client_.write1Byte(kId, kCommandByte, 1, &r.error);
        return r;
    }

    std::optional<int> askSizedValue() const override { return valueA() & 0xFFFFFF; }
    Read readAskSized() override { return readThreeBytes(client_, kItemA); }

    bool commandLanded() override { return bus_.memory(kId, kCommandByte, 1) != fromHex("00"); }

    int writeNeighbour(QByteArray *bytes) override
    {
        bus_.setMemory(kId, kCommandByte, fromHex("5A 00"));
        uchar error = 0;
        const int result = client_.write1Byte(kId, kCommandByte + 1, 3, &error);
        *bytes = bus_.memory(kId, kCommandByte, 2);
        return result;
    }
    bool refused(uchar error) const override { return (error & 0x7F) != 0; }
    void answerLate(int ms) override { setFaults([ms](sim::Faults &f) { f.delayMs = ms; }); }

    void foreignAnswerFirst() override
    {
        const QByteArray foreign = sim::status2(kId, 0, fromHex("34 12"));
        const QByteArray answer = sim::status2(kId, 0, bus_.memory(kId, kItemA, 4));
        bus_.setResponder([foreign, answer](const sim::Instruction &) { return std::optional<QByteArray>(foreign + answer); });
    }

    void corruptAnswer() override { setFaults([](sim::Faults &f) { f.corruptChecksum = true; }); }

    void refuse() override { refuseLate(0); }

    void refuseLate(int ms) override
    {
        setFaults([ms](sim::Faults &f) {
            f.error = 0x07;
            f.omitData = true;
            f.delayMs = ms;
        });
    }

    void clearFaults() override
    {
        bus_.setResponder({});
        setFaults([](sim::Faults &) {});
    }

    int windowMs() const override { return client_.qvx_protocol->packetTimeoutFor(15); }

    int seriesValue(int i) const override { return 100000 * (i + 1) + 7; }
    Read readSeries(int i) override { return read(kSeriesStart + 4 * i); }

    Read reset() override { return resetOf(client_); }
    int taken() const override { return static_cast<int>(bus_.received().size()); }

    bool relink() override
    {
        client_.awaitOwedAnswers();
        client_.close();
        return client_.open(QStringLiteral("127.0.0.1"), listeningPort(bridge_));
    }

    QvxTcpClient &client() { return client_; }
    quint16 bridgePort() { return listeningPort(bridge_); }

private:
    static constexpr int kItemA = 132;
    static constexpr int kItemB = 136;
    static constexpr int kCommandByte = 24;
    static constexpr int kSeriesStart = 160;

    Read read(int address)
    {
        Read r;
        r.result = client_.read4Byte(kId, address, &r.value, &r.error);
        return r;
    }

    void setFaults(const std::function<void(sim::Faults &)> &set)
    {
        sim::Faults f;
        set(f);
        bus_.setFaults(kId, f);
    }

    sim::SimBus bus_;
    TCPServer bridge_;
    QvxTcpClient client_;
    bool opened_ = false;
};

// --- the Modbus transport against libmodbus --------------------------------------------------

class ModbusTransport : public Transport
{
public:
    ModbusTransport()
    {
        if (!link_.isOpen())
            return;
        QList<quint16> registers(64, 0);
        registers[kRegisterA] = 4343;
        registers[kRegisterB] = 1000;
        for (int i = 0; i < kSeries; ++i)
            registers[kSeriesRegister + i] = static_cast<quint16>(seriesValue(i));
        server_ = std::make_unique<sim::LibmodbusServer>(link_.serverSide(), kBaud, kId, registers);
        opened_ = server_->isReady() && modbus_.open(link_.programSide(), kBaud);
    }

    const char *name() const override { return "Modbus"; }
    QString unusable() const override
    {
        if (!link_.isOpen())
            return link_.error();
        return opened_ ? QString() : QStringLiteral("the Modbus link did not open");
    }
    int valueA() const override { return 4343; }
    int valueB() const override { return 1000; }
    Read readA() override { return read(2 * kRegisterA); }
    Read readB() override { return read(2 * kRegisterB); }

    int ask() override
    {
        ushort model = 0;
        uchar fw = 0;
        uchar error = 0;
        return modbus_.ping(kId, &model, &fw, &error);
    }

    Read command() override
    {
        Read r;
        r.error = 0;
        r.result = modbus_.write2Byte(kId, 2 * kCommandRegister, 1, &r.error);
        return r;
    }

    bool commandLanded() override { return server_->reg(kCommandRegister) != 0; }

    int writeNeighbour(QByteArray *bytes) override
    {
        server_->setRegister(kCommandRegister, 0x005A); // the even byte 0x5A, the odd byte 0
        uchar error = 0;
        const int result = modbus_.write1Byte(kId, 2 * kCommandRegister + 1, 3, &error);
        const quint16 reg = server_->reg(kCommandRegister);
        bytes->clear();
        bytes->append(static_cast<char>(reg & 0xFF));
        bytes->append(static_cast<char>(reg >> 8));
        return result;
    }
    bool refused(uchar error) const override { return error != 0; }
    void answerLate(int ms) override { set([ms](sim::PeerFaults &f) { f.delayNextMs = ms; }); }

    void foreignAnswerFirst() override
    {
        // The answer to a read of two registers where the item read awaits one.
        const QByteArray foreign = ModbusAnswer::read(kId, {0x1234, 0x5678});
        set([foreign](sim::PeerFaults &f) { f.beforeNext = foreign; });
    }

    void corruptAnswer() override { set([](sim::PeerFaults &f) { f.corruptNext = true; }); }
    void refuse() override { set([](sim::PeerFaults &f) { f.refuseWith = 4; }); }
    void refuseLate(int ms) override
    {
        set([ms](sim::PeerFaults &f) {
            f.refuseWith = 4;
            f.delayNextMs = ms;
        });
    }
    void clearFaults() override { set([](sim::PeerFaults &) {}); }
    int windowMs() const override { return QvxModbus::kItemTimeoutMs; }

    // Another write to the command register than command()'s: a repeat of
    // the very same request may take that request's late answer.
    Read reset() override
    {
        Read r;
        r.error = 0;
        r.result = modbus_.write2Byte(kId, 2 * kCommandRegister, 2, &r.error);
        return r;
    }

    int seriesValue(int i) const override { return 100 * (i + 1) + 3; }
    Read readSeries(int i) override { return read(2 * (kSeriesRegister + i)); }

    int taken() const override { return server_->requests(); }

    bool relink() override
    {
        modbus_.awaitOwedAnswers();
        modbus_.close();
        return modbus_.open(link_.programSide(), kBaud);
    }

private:
    static constexpr int kBaud = 115200;
    static constexpr int kSeriesRegister = 20;
    static constexpr int kRegisterA = 10;
    static constexpr int kRegisterB = 11;
    static constexpr int kCommandRegister = 12;

    // Modbus RTU answer frames, for the faults.
    struct ModbusAnswer
    {
        static QByteArray read(quint8 id, const QList<quint16> &values)
        {
            QByteArray body;
            body.append(static_cast<char>(id));
            body.append('\x03');
            body.append(static_cast<char>(2 * values.size()));
            for (const quint16 v : values) {
                body.append(static_cast<char>(v >> 8));
                body.append(static_cast<char>(v & 0xFF));
            }
            return sim::modbusFrame(body);
        }
    };

    Read read(int address)
    {
        Read r;
        r.error = 0;
        r.result = modbus_.read2Byte(kId, static_cast<ushort>(address), &r.value, &r.error);
        if ((r.result != COMM_OK || r.error != 0) && r.value == 0)
            r.value = kUntouched; // a failed or refused read sets 0 there: no value either way
        return r;
    }

    void set(const std::function<void(sim::PeerFaults &)> &change)
    {
        sim::PeerFaults f;
        change(f);
        server_->setFaults(f);
    }

    sim::PtyLink link_;
    std::unique_ptr<sim::LibmodbusServer> server_;
    QvxModbus modbus_;
    bool opened_ = false;
};

// --- the table ---------------------------------------------------------------------------------

std::unique_ptr<Transport> makeTransport(const std::string &name)
{
    if (name == "Serial2")
        return std::make_unique<SerialTransport>(sim::Protocol::V2);
    if (name == "Serial1")
        return std::make_unique<SerialTransport>(sim::Protocol::V1);
    if (name == "Bridge")
        return std::make_unique<BridgeTransport>();
    return std::make_unique<ModbusTransport>();
}

// Waits until the device has taken every request sent after it had taken
// `before`: a busy device takes a request only once its late answer is out,
// and faults changed before then would still reach it.
void awaitTaken(const Transport &t, int before, int sent)
{
    QDeadlineTimer deadline(5000);
    while (t.taken() < before + sent && !deadline.hasExpired())
        QTest::qWait(10);
}

// A read's outcome is right when it failed and left the value alone, or
// succeeded with the item's own value and no refusal.
::testing::AssertionResult rightOrFailed(const Transport &t, const Read &r, int expected)
{
    if (r.result == COMM_OK && !t.refused(r.error) && r.value == expected)
        return ::testing::AssertionSuccess();
    if (r.result == COMM_OK && t.refused(r.error) && (r.value == kUntouched))
        return ::testing::AssertionSuccess(); // refused, nothing taken
    if (r.result != COMM_OK && r.value == kUntouched)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "result " << r.result << ", value " << r.value << ", error "
                                         << int(r.error) << " where " << expected << " or a failure was due";
}

// The line is usable again: a read of A gets A within a few tries (a loaded
// machine may miss a window).
::testing::AssertionResult recovers(Transport &t)
{
    // A device still busy with a late answer answers nothing else meanwhile:
    // the tries span more than the longest late answer of the table.
    Read r;
    for (int attempt = 0; attempt < 25; ++attempt) {
        r = t.readA();
        if (r.result == COMM_OK && r.value == t.valueA())
            return ::testing::AssertionSuccess();
        if (r.result == COMM_OK)
            return ::testing::AssertionFailure() << "read A gave " << r.value;
        QTest::qWait(100);
    }
    return ::testing::AssertionFailure() << "read A failed " << r.result << " every time";
}

// How late a late answer comes, ms after its request reached the device: just
// past the wait this contract once held (four windows after the window), a
// second past the window, and past the present late span.
enum class Lateness { PastTheOldWait, OneSecond, PastTheBound };
constexpr Lateness kEveryLateness[] = {Lateness::PastTheOldWait, Lateness::OneSecond, Lateness::PastTheBound};

int lateMs(const Transport &t, Lateness lateness)
{
    const int window = t.windowMs();
    switch (lateness) {
    case Lateness::PastTheOldWait:
        return 6 * window;
    case Lateness::OneSecond:
        return window + 1000;
    case Lateness::PastTheBound:
        break;
    }
    return static_cast<int>(window + ExchangeLine::lateSpan(window) + 300);
}

const char *latenessName(Lateness lateness)
{
    switch (lateness) {
    case Lateness::PastTheOldWait:
        return "just past the old wait";
    case Lateness::OneSecond:
        return "a second late";
    case Lateness::PastTheBound:
        break;
    }
    return "past the late span";
}

class ExchangeContract : public ::testing::TestWithParam<std::string>
{
protected:
    void SetUp() override
    {
        t = makeTransport(GetParam());
        const QString why = t->unusable();
        ASSERT_TRUE(why.isEmpty()) << t->name() << ": " << why.toStdString();
        ASSERT_TRUE(recovers(*t)) << t->name() << ": the device does not answer";
    }

    std::unique_ptr<Transport> t;
};

TEST_P(ExchangeContract, ALateAnswerNeverAnswersTheNextRequest)
{
    for (const int windows : {2, 3, 4}) {
        SCOPED_TRACE(windows);
        t->answerLate(windows * t->windowMs());
        const Read first = t->readA();
        EXPECT_TRUE(rightOrFailed(*t, first, t->valueA()));
        t->clearFaults();
        // At once, and to the same device: the late answer of A is on its way.
        const Read second = t->readB();
        EXPECT_TRUE(rightOrFailed(*t, second, t->valueB()));
        EXPECT_TRUE(recovers(*t));
    }
}

// A read whose answer comes late, then a stream of reads of other items at once:
// within the late span no read takes another's answer; past it at most the
// first read after the late one can (it cannot tell the two answers apart),
// and the stream never shifts onto the answers before it.
void expectNoShift(Transport &t, Lateness lateness)
{
    int wrong = 0;
    int firstWrong = -1;
    int taken = 0;
    for (int i = 0; i < Transport::kSeries; ++i) {
        const Read r = t.readSeries(i);
        const ::testing::AssertionResult right = rightOrFailed(t, r, t.seriesValue(i));
        if (!right) {
            ++wrong;
            if (firstWrong < 0)
                firstWrong = i;
            if (lateness != Lateness::PastTheBound || i > 0)
                ADD_FAILURE() << "read " << i << ": " << right.message();
        }
        taken += r.result == COMM_OK && r.value == t.seriesValue(i);
    }
    EXPECT_LE(wrong, 1);
    // Most reads get their own value: the stream goes on after the late answer.
    EXPECT_GE(taken, Transport::kSeries / 2);
}

TEST_P(ExchangeContract, AStreamOfReadsNeverShiftsOntoALateAnswer)
{
    for (const Lateness lateness : kEveryLateness) {
        SCOPED_TRACE(latenessName(lateness));
        t->answerLate(lateMs(*t, lateness));
        const Read first = t->readA();
        EXPECT_TRUE(rightOrFailed(*t, first, t->valueA()));
        t->clearFaults();
        expectNoShift(*t, lateness);
        EXPECT_TRUE(recovers(*t));
    }
}

// A command whose status comes late, then (on a new link when `relink`) a
// factory reset the device refuses: the reset never reports success.
void expectRefusedReset(Transport &t, Lateness lateness, bool relink)
{
    const int before = t.taken();
    t.answerLate(lateMs(t, lateness));
    t.command();
    t.clearFaults();
    t.refuse();
    ASSERT_TRUE(!relink || t.relink());
    const Read r = t.reset();
    EXPECT_FALSE(r.result == COMM_OK && !t.refused(r.error))
        << "reported as success: result " << r.result << ", error " << int(r.error);
    awaitTaken(t, before, 2);
    t.clearFaults();
    EXPECT_TRUE(recovers(t));
}

TEST_P(ExchangeContract, ALateStatusNeverPassesForARefusedReset)
{
    for (const Lateness lateness : kEveryLateness) {
        SCOPED_TRACE(latenessName(lateness));
        expectRefusedReset(*t, lateness, false);
    }
}

// The end of a run lets the line go: an answer owed then never reaches the
// next run's link within the late span. (Past it, see the stream's rule.)
TEST_P(ExchangeContract, AnAnswerOwedAtCloseNeverReachesTheNextLink)
{
    for (const Lateness lateness : kEveryLateness) {
        SCOPED_TRACE(latenessName(lateness));
        t->answerLate(lateMs(*t, lateness));
        t->readA();
        t->clearFaults();
        ASSERT_TRUE(t->relink());
        expectNoShift(*t, lateness);
        EXPECT_TRUE(recovers(*t));
    }
    for (const Lateness lateness : {Lateness::PastTheOldWait, Lateness::OneSecond}) {
        SCOPED_TRACE(latenessName(lateness));
        expectRefusedReset(*t, lateness, true);
    }
}

TEST_P(ExchangeContract, ALatePingAnswerNeverAnswersAReadOfItsSize)
{
    const std::optional<int> expected = t->askSizedValue();
    if (!expected)
        GTEST_SKIP() << t->name() << " has no read whose answer is as long as a ping's";
    // Half a window into the read's own wait: where the late answer is due
    // when the read follows the failed ping at once.
    for (const int halfWindows : {3, 5}) {
        SCOPED_TRACE(halfWindows);
        t->answerLate(halfWindows * t->windowMs() / 2);
        t->ask();
        t->clearFaults();
        const Read r = t->readAskSized();
        EXPECT_TRUE(rightOrFailed(*t, r, *expected));
        EXPECT_TRUE(recovers(*t));
    }
}

TEST_P(ExchangeContract, ALateAnswerNeverFeedsAByteWrite)
{
    // A Modbus byte write reads the register that holds the byte and writes
    // it back with the byte changed: a late answer of another register taken
    // for that read would change the neighbouring byte. No transport may let
    // a write land anything but the byte it was given.
    // Within a few windows, just past the old wait, a second late, just past
    // the late span (the late answer comes while the write's read waits) and
    // well past it.
    const int window = t->windowMs();
    const int span = static_cast<int>(ExchangeLine::lateSpan(window));
    for (const int late : {2 * window, 4 * window, lateMs(*t, Lateness::PastTheOldWait),
                           lateMs(*t, Lateness::OneSecond), window + span + window / 2,
                           lateMs(*t, Lateness::PastTheBound)}) {
        SCOPED_TRACE(late);
        t->answerLate(late);
        t->readA();
        t->clearFaults();
        QByteArray bytes;
        const int result = t->writeNeighbour(&bytes);
        EXPECT_EQ(bytes.left(1), QByteArray("\x5A", 1)) << "the neighbouring byte changed";
        if (result == COMM_OK) {
            EXPECT_EQ(bytes.mid(1, 1), QByteArray("\x03", 1));
        }
        EXPECT_TRUE(recovers(*t));
    }
}

TEST_P(ExchangeContract, AnAnswerOfAnotherSizeIsNotTaken)
{
    t->foreignAnswerFirst();
    const Read r = t->readA();
    EXPECT_TRUE(rightOrFailed(*t, r, t->valueA()));
    t->clearFaults();
    EXPECT_TRUE(recovers(*t));
}

TEST_P(ExchangeContract, AStaleStatusNeverAnswersACommandWithoutData)
{
    // A ping's answer comes late; the command after it is refused by the
    // device: the refusal is what the command reports, never success.
    t->answerLate(2 * t->windowMs());
    t->ask();
    t->clearFaults();
    t->refuse();
    const Read c = t->command();
    EXPECT_FALSE(c.result == COMM_OK && !t->refused(c.error))
        << "reported as success: result " << c.result << ", error " << int(c.error);
    EXPECT_FALSE(t->commandLanded());
    t->clearFaults();
    EXPECT_TRUE(recovers(*t));
}

TEST_P(ExchangeContract, ALateRefusalNeverAnswersALaterRequest)
{
    // Half a window into the read's own wait: where the command's refusal is
    // due when the read follows the failed command at once.
    for (const int halfWindows : {3, 5}) {
        SCOPED_TRACE(halfWindows);
        t->refuseLate(halfWindows * t->windowMs() / 2);
        t->command();
        t->clearFaults();
        // The device refuses nothing now: a refusal taken here is the command's.
        const Read r = t->readA();
        EXPECT_FALSE(r.result == COMM_OK && t->refused(r.error)) << "the command's late refusal was taken";
        EXPECT_TRUE(rightOrFailed(*t, r, t->valueA()));
        EXPECT_TRUE(recovers(*t));
    }
}

TEST_P(ExchangeContract, ARefusalCarriesNoValueAndIsNoSuccess)
{
    t->refuse();
    const Read r = t->readA();
    EXPECT_TRUE(r.value == kUntouched) << "value " << r.value;
    EXPECT_FALSE(r.result == COMM_OK && !t->refused(r.error)) << "reported as success";
    const Read c = t->command();
    EXPECT_FALSE(c.result == COMM_OK && !t->refused(c.error)) << "the command reported as success";
    EXPECT_FALSE(t->commandLanded());
    t->clearFaults();
    EXPECT_TRUE(recovers(*t));
}

TEST_P(ExchangeContract, ACorruptAnswerGivesNoValue)
{
    t->corruptAnswer();
    const Read r = t->readA();
    EXPECT_NE(r.result, COMM_OK);
    EXPECT_EQ(r.value, kUntouched);
    t->clearFaults();
    EXPECT_TRUE(recovers(*t));
}

// The bridge gives every client every byte of the bus. A client's request
// takes only an answer of its own size: another client's answers to requests
// of another size never answer it. (Two clients asking for items of the same
// size at the same moment cannot be told apart: the packets carry no request
// number.)
TEST(BridgeClients, AnotherClientsAnswersNeverAnswerThisOnesRequests)
{
    BridgeTransport t;
    ASSERT_TRUE(t.unusable().isEmpty()) << t.unusable().toStdString();
    ASSERT_TRUE(recovers(t));
    const quint16 bridgePort = t.bridgePort();
    std::atomic<bool> stop{false};
    std::atomic<int> otherAnswers{0};
    std::thread other([&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, bridgePort);
        if (!socket.waitForConnected(10000))
            return;
        // Model Number: a 2-byte read, where this client reads 4 bytes.
        const QByteArray read = sim::packet2(kId, 0x02, fromHex("00 00 02 00"));
        while (!stop) {
            socket.write(read);
            socket.waitForBytesWritten(1000);
            if (socket.waitForReadyRead(200))
                ++otherAnswers;
            socket.readAll();
        }
    });
    int taken = 0;
    for (int i = 0; i < 100; ++i) {
        const Read r = t.readA();
        EXPECT_TRUE(rightOrFailed(t, r, t.valueA())) << "read " << i;
        taken += r.result == COMM_OK;
    }
    stop = true;
    other.join();
    EXPECT_GT(otherAnswers.load(), 0) << "the other client was never answered: nothing was shown";
    EXPECT_GT(taken, 0);
}

INSTANTIATE_TEST_SUITE_P(EveryTransport, ExchangeContract, ::testing::Values("Serial2", "Serial1", "Bridge", "Modbus"),
                         [](const ::testing::TestParamInfo<std::string> &row) { return row.param; });

} // namespace
