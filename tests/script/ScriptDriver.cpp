// The script runner as a program of its own, over the fake backend, so tests
// can drive a whole run from outside: signals, pipes, FIFOs, standard streams.
//   ZEPHLET_FAKE_LOG=<file>    every backend call is appended to the file
//   ZEPHLET_FAKE_WAIT=1        device operations wait like a silent bus
//   ZEPHLET_DEADLINE_MS=<ms>   the per-command deadline (default 30000)

#include "platform/CommandLine.h"
#include "script/ScriptRunner.h"
#include "tests/script/FakeBackend.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zephlet-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.18.3"));

    const auto log = std::make_shared<FakeLog>();
    log->logFile = qEnvironmentVariable("ZEPHLET_FAKE_LOG");
    const bool wait = qEnvironmentVariableIntValue("ZEPHLET_FAKE_WAIT") == 1;
    bool deadlineSet = false;
    const int deadlineMs = qEnvironmentVariableIntValue("ZEPHLET_DEADLINE_MS", &deadlineSet);

    const script::BackendFactory factory = [&]() -> std::unique_ptr<script::IQvxCommandBackend> {
        auto backend = std::make_unique<FakeBackend>(log);
        backend->waitForCancel = wait;
        return backend;
    };
    bool handled = false;
    const int exitCode = script::runScript(platform::commandLineArguments(argc, argv), factory, &handled,
                                           deadlineSet ? deadlineMs : 30000);
    return handled ? exitCode : 99;
}
