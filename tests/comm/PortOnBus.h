#pragma once
// A serial transport on the simulated bus, through a real QSerialPort on the
// pseudo-terminal, with the link signals it emits recorded in order.

#include "comm/CommResult.h"
#include "comm/QvxPort.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimPackets.h"
#include "tests/support/HexText.h"

#include <QStringList>
#include <QTest>
#include <QTimer>

#include <memory>

struct PortOnBus
{
    sim::SimBus bus;
    std::unique_ptr<QvxPort> port;
    // "openSucceed <baud>", "openFailed <baud>", "closed", "stateChanged <s>",
    // "playStopped", "agingStopped", in the order they came.
    QStringList events;
    QStringList logs;
    QList<QvxProtocol::PacketItem> packets;

    explicit PortOnBus(bool listen = true)
        : port(std::make_unique<QvxPort>(listen))
    {
        QvxPort *p = port.get();
        p->setTimeout(sim::kReplySlackMs); // tests about time-outs set their own
        QObject::connect(p, &QvxComm::openSucceed, [this](const QString &, int baud) {
            events << QStringLiteral("openSucceed %1").arg(baud);
        });
        QObject::connect(p, &QvxComm::openFailed, [this](const QString &, int baud) {
            events << QStringLiteral("openFailed %1").arg(baud);
        });
        QObject::connect(p, &QvxComm::closed, [this] { events << QStringLiteral("closed"); });
        QObject::connect(p, &QvxComm::stateChanged, [this](QvxComm::State s) {
            events << QStringLiteral("stateChanged %1").arg(int(s));
        });
        QObject::connect(p, &QvxPort::playStopped, [this] { events << QStringLiteral("playStopped"); });
        QObject::connect(p, &QvxComm::agingStopped, [this] { events << QStringLiteral("agingStopped"); });
        QObject::connect(p, &QvxComm::logMessage, [this](const QString &m) { logs << m; });
        QObject::connect(p, &QvxComm::outputPacket, [this](const QvxProtocol::PacketItem &i) { packets << i; });
    }

    bool open(int baud = 57600) { return bus.isOpen() && port->open(bus.portName(), baud); }

    // A protocol 2.0 servo at ID 1 with 00 08 00 00 at address 132.
    void addServo(quint8 id = 1, int baud = 0)
    {
        sim::Device dev = sim::Device::protocol2(id, 1020, 53);
        dev.baudRate = baud;
        bus.addDevice(dev);
        bus.setMemory(id, 132, sim::fromHex("00 08 00 00"));
    }

    // Opens through the connect step: a servo at ID `id` on the port at 57600.
    bool connectServo(quint8 id = 1)
    {
        addServo(id);
        port->portName = bus.portName();
        port->baudRate = 57600;
        return port->connectQvx(id);
    }

    void fault(quint8 id, void (*set)(sim::Faults &), sim::Protocol protocol = sim::Protocol::V2)
    {
        sim::Faults f;
        set(f);
        bus.setFaults(id, f, protocol);
    }

    // The packets received through the stream parser or a transaction.
    QList<QByteArray> received() const
    {
        QList<QByteArray> out;
        for (const auto &i : packets) {
            if (i.direction == 1)
                out << i.data;
        }
        return out;
    }

    // Waits until the serial port holds `count` bytes nobody has read.
    bool waitForUnread(qint64 count) const
    {
        return QTest::qWaitFor([&] { return port->serial_port->bytesAvailable() >= count; }, 5000);
    }
};
