#pragma once
// The non-interactive run: options, every command collected, one backend, then
// command after command under a deadline and a Ctrl+C/Ctrl+Break watch, one
// record each, stopping at the first failure. Runs on the main thread without
// an event loop.

#include "platform/ConsoleControl.h"
#include "script/backend/IQvxCommandBackend.h"

#include <QStringList>

#include <functional>
#include <memory>

namespace script {

// Creates the device backend; an empty pointer when it cannot.
using BackendFactory = std::function<std::unique_ptr<IQvxCommandBackend>()>;

// runScript with the published per-command deadline.
int runScriptMode(const QStringList &arguments, const BackendFactory &factory, bool *handled);
// `arguments` holds the program path first. *handled becomes true exactly when
// there is at least one argument besides it; otherwise nothing happens and 0
// is returned (the caller starts the interactive console). The result is the
// process exit code. A deadline below 1 ms is taken as 30 s.
int runScript(const QStringList &arguments, const BackendFactory &factory, bool *handled, int deadlineMs);

// Registered while the commands run: Ctrl+C (Interrupt) and Ctrl+Break
// marks the run and the running command as interrupted.
bool consoleCtrlHandler(platform::ControlEvent event);

} // namespace script
