#pragma once
// A script backend without devices, for the runner and dispatch tests: it
// records every call in a log that outlives it (the runner owns and destroys
// the backend), answers with data shaped like the device layer's, writes to
// standard output like the device layer does (a note always, a packet trace
// when verbose), and can be slow or wait on the command's token like a bus
// wait.

#include "comm/CancellationToken.h"
#include "script/backend/IQvxCommandBackend.h"

#include <QStringList>
#include <QVariantMap>

#include <QMap>

#include <functional>
#include <memory>
#include <optional>

struct FakeLog
{
    QStringList calls;     // "ping 1 verbose", "open ttyS0 57600", "beginCommand", ...
    int destroyed = 0;
    QString logFile;       // when set, each call is appended to this file as well
    // At close: whether a token was lent, and whether it was set.
    std::optional<bool> closeTokenSet;
};

class FakeBackend : public script::IQvxCommandBackend
{
public:
    explicit FakeBackend(std::shared_ptr<FakeLog> log);
    ~FakeBackend() override;

    // Every device operation first sleeps this long, deaf to the token.
    int sleepMs = 0;
    // Every device operation waits until the token is set or its deadline
    // passes, then answers as a cancelled bus wait does.
    bool waitForCancel = false;
    // Called inside every device operation, after the note is written.
    std::function<void()> during;
    // Replaces the answer of the named operation ("ping", "get", ...).
    QMap<QString, script::CommandResult> answers;

    void beginCommand(CancellationToken *token) override;
    void endCommand() override;
    script::CommandResult listPorts() override;
    script::CommandResult open(const QString &port, int baudrate) override;
    script::CommandResult close() override;
    script::CommandResult setProtocol(const QString &version) override;
    script::CommandResult setNetworkDelay(int milliseconds) override;
    script::CommandResult scan(int start, int end, bool hasRange, bool verbose) override;
    script::CommandResult ping(int id, bool verbose) override;
    script::CommandResult get(int id, const QString &item, bool verbose) override;
    script::CommandResult set(int id, const QString &item, int value, bool verbose) override;
    script::CommandResult table(int id, int start, int end, bool verbose) override;
    script::CommandResult status(int id) override;
    script::CommandResult reset(int id, bool verbose) override;
    script::CommandResult reboot(int id, bool verbose) override;
    script::CommandResult clear(int id, int parameter, bool verbose) override;

    // The device map and item map the fake answers with.
    static QVariantMap device(int id);
    static QVariantMap item(const QString &name, int value);

private:
    void record(const QString &call);
    // Logs the call, writes its output, waits as configured; an answer when
    // the wait was cut short or one was configured.
    std::optional<script::CommandResult> act(const QString &operation, const QString &call, bool verbose);

    std::shared_ptr<FakeLog> log_;
    CancellationToken *token_ = nullptr;
    QString portName_;
    bool open_ = false;
};
