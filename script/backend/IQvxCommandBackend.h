#pragma once
// The device side of script mode: sixteen operations, each answering with a
// CommandResult. The runner owns one backend for the whole run and lends it a
// CancellationToken around every command (beginCommand/endCommand); while the
// token is lent, every wait for a device ends with COMM_CANCELLED once the
// token is set or its deadline has passed. `verbose` switches the packet trace
// on for the bus calls of that one operation; the trace goes to standard
// output, which the runner captures per command.
//
// Nothing here prompts, loops until interrupted or prints besides the trace.

#include "script/backend/CommandResult.h"

#include <QString>

struct CancellationToken;

namespace script {

class IQvxCommandBackend
{
public:
    virtual ~IQvxCommandBackend() = default;

    virtual void beginCommand(CancellationToken *token) = 0;
    virtual void endCommand() = 0;

    virtual CommandResult listPorts() = 0;
    virtual CommandResult open(const QString &port, int baudrate) = 0;
    virtual CommandResult close() = 0;
    virtual CommandResult setProtocol(const QString &version) = 0;
    virtual CommandResult setNetworkDelay(int milliseconds) = 0;
    // Without hasRange the whole ID range 0..252 is scanned.
    virtual CommandResult scan(int start, int end, bool hasRange, bool verbose) = 0;
    virtual CommandResult ping(int id, bool verbose) = 0;
    virtual CommandResult get(int id, const QString &item, bool verbose) = 0;
    virtual CommandResult set(int id, const QString &item, int value, bool verbose) = 0;
    // start and end are control-table addresses, both inclusive.
    virtual CommandResult table(int id, int start, int end, bool verbose) = 0;
    virtual CommandResult status(int id) = 0;
    virtual CommandResult reset(int id, bool verbose) = 0;
    virtual CommandResult reboot(int id, bool verbose) = 0;
    virtual CommandResult clear(int id, int parameter, bool verbose) = 0;

protected:
    IQvxCommandBackend() = default;
    IQvxCommandBackend(const IQvxCommandBackend &) = default;
    IQvxCommandBackend &operator=(const IQvxCommandBackend &) = default;
};

} // namespace script
