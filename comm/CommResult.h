#pragma once
// Result codes of the bus operations. Every operation returns exactly one of
// these; 0 is success and every failure is negative. The values are part of the
// program's contract with its users and never change.

constexpr int COMM_OK = 0;
constexpr int COMM_PORT_BUSY = -1000;     // named only; no operation returns it
constexpr int COMM_TX_FAIL = -1001;       // the written bytes did not leave in time
constexpr int COMM_RX_FAIL = -1002;       // Modbus reply failed for another reason
constexpr int COMM_TX_ERROR = -2000;      // the packet cannot be sent (too long, unaddressable)
constexpr int COMM_RX_WAITING = -3000;    // named only; no operation returns it
constexpr int COMM_RX_TIMEOUT = -3001;    // no complete, valid reply of the addressed device in time
constexpr int COMM_RX_CORRUPT = -3002;    // checksum (1.0) or CRC (2.0) mismatch
constexpr int COMM_CANCELLED = -3003;     // the lent token was set or its deadline passed
constexpr int COMM_NOT_AVAILABLE = -9000; // the link cannot serve the request
constexpr int COMM_UNSUPPORTED = -1;      // not available on this engine, transport or width
