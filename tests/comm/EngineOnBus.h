#pragma once
// An engine talking to the simulated bus through a real QSerialPort on the
// pseudo-terminal, with everything it emits recorded.

#include "comm/CommResult.h"
#include "comm/QvxProtocol.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimPackets.h"

#include <QSerialPort>
#include <QStringList>
#include <QTest>

#include <functional>
#include <ostream>

// One qvxFound emission.
struct Found
{
    int id;
    int modelNumber;
    int firmware;
    bool operator==(const Found &o) const
    {
        return id == o.id && modelNumber == o.modelNumber && firmware == o.firmware;
    }
};
inline void PrintTo(const Found &f, std::ostream *os)
{
    *os << "{id " << f.id << ", model " << f.modelNumber << ", fw " << f.firmware << "}";
}

template <class Engine>
struct EngineOnBus
{

    sim::SimBus bus;
    QSerialPort port;
    Engine engine;
    QStringList logs;
    QList<QvxProtocol::PacketItem> items;
    QList<Found> found;
    qsizetype bytesParsed = 0; // bytes the stream parser was handed

    EngineOnBus()
    {
        port.setPortName(bus.portName());
        port.setBaudRate(57600);
        engine.device = &port;
        engine.extraLatency = sim::kReplySlackMs; // tests about time-outs set their own
        QObject::connect(&engine, &QvxProtocol::logMessage, [this](const QString &m) { logs << m; });
        QObject::connect(&engine, &QvxProtocol::outputPacket,
                         [this](const QvxProtocol::PacketItem &i) { items << i; });
        QObject::connect(&engine, &QvxProtocol::qvxFound, [this](uchar id, ushort model, uchar fw) {
            found << Found{id, model, fw};
        });
    }

    sim::Protocol protocol = sim::Protocol::V2; // of the devices fault() reaches

    bool open() { return bus.isOpen() && port.open(QIODevice::ReadWrite); }

    // Gives one device the faults that `set` makes of a fresh set.
    void fault(quint8 id, const std::function<void(sim::Faults &)> &set)
    {
        sim::Faults f;
        set(f);
        bus.setFaults(id, f, protocol);
    }

    // Runs `run` and returns (result, id, error) of every emission of `signal`
    // meanwhile.
    template <class Run>
    QList<QList<int>> completions(void (QvxProtocol::*signal)(int, uchar, uchar), Run run)
    {
        QList<QList<int>> emitted;
        const auto connection = QObject::connect(&engine, signal, [&](int result, uchar id, uchar error) {
            emitted << QList<int>{result, id, error};
        });
        run();
        QObject::disconnect(connection);
        return emitted;
    }

    // As the serial transport does: bytes that arrive outside a transaction go
    // to the stream parser.
    void listen()
    {
        QObject::connect(&port, &QSerialPort::readyRead, [this] {
            if (engine.inTransaction)
                return;
            bytesParsed += port.bytesAvailable();
            engine.onReadyRead();
        });
    }

    // Puts bytes on the line and waits until the stream parser has had them.
    bool feed(const QByteArray &bytes)
    {
        const qsizetype target = bytesParsed + bytes.size();
        bus.sendRaw(bytes);
        return QTest::qWaitFor([&] { return bytesParsed >= target; }, 5000);
    }

    // The packets the engine sent, as the bus received them.
    QByteArray sent(int index = -1) const
    {
        const QList<sim::Instruction> got = bus.received();
        if (got.isEmpty())
            return {};
        return got.at(index < 0 ? got.size() + index : index).raw;
    }

    QList<QByteArray> itemData(int direction) const
    {
        QList<QByteArray> out;
        for (const auto &i : items) {
            if (i.direction == direction)
                out << i.data;
        }
        return out;
    }
};

