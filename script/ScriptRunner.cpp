#include "script/ScriptRunner.h"

#include "comm/CancellationToken.h"
#include "platform/OutputSink.h"
#include "script/CommandDispatch.h"
#include "script/CommandSchema.h"
#include "script/backend/ErrorCodes.h"
#include "script/ScriptInput.h"
#include "script/ScriptOptions.h"
#include "script/ScriptOutput.h"

#include <atomic>

namespace script {

namespace {

constexpr qint64 kNanosecondsPerMs = 1000 * 1000;

// Shared with the control handler, which runs inside a signal handler.
std::atomic<bool> interrupted{false};
std::atomic<CancellationToken *> currentToken{nullptr};

static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<CancellationToken *>::is_always_lock_free);

const QString kInterruptedMessage = QStringLiteral("Interrupted by user.");

// Standard output goes into `buffer` while one command runs.
class CommandCapture
{
public:
    explicit CommandCapture(QByteArray *buffer) { platform::OutputSink::beginCapture(buffer); }
    ~CommandCapture() { platform::OutputSink::endCapture(); }
    CommandCapture(const CommandCapture &) = delete;
    CommandCapture &operator=(const CommandCapture &) = delete;
};

void arm(CancellationToken &token, int deadlineMs)
{
    const qint64 milliseconds = deadlineMs < 1 ? kCommandDeadlineMs : deadlineMs;
    token.state.store(0);
    token.hasDeadline = true;
    token.deadline = CancellationToken::steadyNowNs() + milliseconds * kNanosecondsPerMs;
}

bool isVerbose(const QStringList &args)
{
    return args.contains(QStringLiteral("-v")) || args.contains(QStringLiteral("--verbose"));
}

class Run
{
public:
    Run(IQvxCommandBackend &backend, const ScriptOptions &options, int deadlineMs)
        : backend_(backend)
        , options_(options)
        , deadlineMs_(deadlineMs)
    {
    }

    // The exit code of the run; every record is written on the way.
    int execute(const QStringList &lines)
    {
        for (const QString &line : lines) {
            const ScriptResult record = runLine(line);
            writeRecord(record, options_.json);
            if (!record.success)
                return record.exitCode;
        }
        return kExitSuccess;
    }

private:
    ScriptResult runLine(const QString &line)
    {
        if (interrupted.load())
            return ScriptResult::failure(QString(), kExitInterrupted, kErrorInterrupted, kInterruptedMessage);

        QStringList words;
        QString error;
        if (!tokenize(line, words, error) || words.isEmpty())
            return ScriptResult::failure(QString(), kExitUsageError, kErrorParse, error);

        CommandContext context;
        context.name = words.takeFirst().toLower();
        context.args = words;

        arm(token_, deadlineMs_);
        currentToken.store(&token_);
        backend_.beginCommand(&token_);
        QByteArray output;
        ScriptResult record;
        {
            const CommandCapture capture(&output);
            record = executeCommand(context, backend_, options_.allowWrite, options_.allowDestructive);
        }
        backend_.endCommand();
        currentToken.store(nullptr);

        if (token_.state.load() == 1)
            record = ScriptResult::failure(context.name, kExitInterrupted, kErrorInterrupted, kInterruptedMessage);
        else if (token_.deadlinePassed())
            record = ScriptResult::failure(context.name, kExitCommandTimeout, kErrorCommandTimeout,
                                           QStringLiteral("Command exceeded its deadline."));

        if (!output.isEmpty() && isVerbose(context.args))
            writeOutput(platform::StandardStream::Error, QString::fromUtf8(output));
        return record;
    }

    IQvxCommandBackend &backend_;
    const ScriptOptions &options_;
    const int deadlineMs_;
    // Lives as long as the run, so a handler that read the pointer just before
    // it was cleared still writes to a live token.
    CancellationToken token_;
};

int fail(const ScriptResult &record, bool json)
{
    writeRecord(record, json);
    return record.exitCode;
}

} // namespace

bool consoleCtrlHandler(platform::ControlEvent event)
{
    if (event != platform::ControlEvent::Interrupt && event != platform::ControlEvent::Break)
        return false;
    interrupted.store(true);
    if (CancellationToken *token = currentToken.load()) {
        int running = 0;
        token->state.compare_exchange_strong(running, 1);
    }
    return true;
}

int runScriptMode(const QStringList &arguments, const BackendFactory &factory, bool *handled)
{
    return runScript(arguments, factory, handled, kCommandDeadlineMs);
}

int runScript(const QStringList &arguments, const BackendFactory &factory, bool *handled, int deadlineMs)
{
    const bool hasArguments = arguments.size() > 1;
    if (handled)
        *handled = hasArguments;
    if (!hasArguments)
        return kExitSuccess;

    const ScriptOptions options = parseOptions(arguments);
    if (!options.valid) {
        if (arguments.mid(1).contains(QStringLiteral("--json")))
            return fail(ScriptResult::failure(QString(), kExitUsageError, kErrorInvalidCli, options.errorText), true);
        writeOutput(platform::StandardStream::Error, QStringLiteral("[Error] %1\n").arg(options.errorText));
        return options.exitCode;
    }
    if (options.exitNow) {
        writeOutput(options.textToStderr ? platform::StandardStream::Error : platform::StandardStream::Output,
                    options.outputText);
        return options.exitCode;
    }

    QStringList lines;
    QString inputError;
    if (!collectCommands(options, lines, inputError))
        return fail(ScriptResult::failure(QString(), kExitUsageError, kErrorInvalidInput, inputError), options.json);

    std::unique_ptr<IQvxCommandBackend> backend = factory ? factory() : nullptr;
    if (!backend)
        return fail(ScriptResult::failure(QString(), kExitRuntimeError, kErrorCommunication,
                                          QStringLiteral("Failed to create Quorvex backend.")),
                    options.json);

    interrupted.store(false);
    platform::setControlHandler(consoleCtrlHandler);

    Run run(*backend, options, deadlineMs);
    const int exitCode = run.execute(lines);

    backend->endCommand();
    // The close reads the line until nothing the devices owe can come; a
    // Ctrl+C, then or before, ends that wait at once.
    CancellationToken closing;
    currentToken.store(&closing);
    if (interrupted.load())
        closing.state.store(1);
    backend->beginCommand(&closing);
    backend->close();
    backend->endCommand();
    currentToken.store(nullptr);
    platform::setControlHandler(nullptr);
    backend.reset();
    return exitCode;
}

} // namespace script
