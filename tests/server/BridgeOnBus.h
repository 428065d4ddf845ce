#pragma once
// The TCP-to-serial bridge between the simulated bus (its serial side, on a
// pseudo-terminal) and loopback TCP clients.

#include "BridgeRecord.h"

#include "tests/sim/SimBus.h"

struct SimBusHolder
{
    sim::SimBus bus;
};

// The bus comes first, so that the bridge stops before its port goes away.
struct BridgeOnBus : SimBusHolder, BridgeRecord
{
    bool start(const QString &host = QStringLiteral("127.0.0.1")) { return startOn(bus.portName(), host); }
};
