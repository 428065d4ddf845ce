#include "tests/script/FakeBackend.h"

#include "platform/OutputSink.h"
#include "script/backend/ErrorCodes.h"

#include <QFile>
#include <QThread>

using script::CommandResult;

FakeBackend::FakeBackend(std::shared_ptr<FakeLog> log)
    : log_(std::move(log))
{
}

FakeBackend::~FakeBackend()
{
    record(QStringLiteral("destroyed"));
    ++log_->destroyed;
}

void FakeBackend::record(const QString &call)
{
    log_->calls.append(call);
    if (log_->logFile.isEmpty())
        return;
    QFile file(log_->logFile);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write((call + QLatin1Char('\n')).toUtf8());
}

std::optional<CommandResult> FakeBackend::act(const QString &operation, const QString &call, bool verbose)
{
    record(call + (verbose ? QStringLiteral(" verbose") : QString()));
    platform::OutputSink::write(QStringLiteral("note %1\n").arg(call));
    if (verbose)
        platform::OutputSink::write(QStringLiteral("[TX] %1\n").arg(call));
    if (during)
        during();
    if (sleepMs > 0)
        QThread::msleep(static_cast<unsigned long>(sleepMs));
    if (waitForCancel) {
        // Like a bus wait: look at the token every millisecond.
        while (token_ && token_->state.load() == 0
               && !(token_->hasDeadline && CancellationToken::steadyNowNs() >= token_->deadline))
            QThread::msleep(1);
        return CommandResult::failure(script::kErrorCommunication, QStringLiteral("Operation cancelled"),
                                      {{QStringLiteral("communication_result"), -3003}});
    }
    if (answers.contains(operation))
        return answers.value(operation);
    return std::nullopt;
}

void FakeBackend::beginCommand(CancellationToken *token)
{
    token_ = token;
    record(QStringLiteral("beginCommand"));
}

void FakeBackend::endCommand()
{
    token_ = nullptr;
    record(QStringLiteral("endCommand"));
}

QVariantMap FakeBackend::device(int id)
{
    return {
        {QStringLiteral("id"), id},
        {QStringLiteral("model_number"), 1020},
        {QStringLiteral("model"), QStringLiteral("AR-240")},
        {QStringLiteral("firmware"), 53},
    };
}

QVariantMap FakeBackend::item(const QString &name, int value)
{
    return {
        {QStringLiteral("name"), name},
        {QStringLiteral("address"), 132},
        {QStringLiteral("length"), 4},
        {QStringLiteral("access"), QStringLiteral("r")},
        {QStringLiteral("memory"), QStringLiteral("ram")},
        {QStringLiteral("value"), value},
        {QStringLiteral("display_value"), QString::number(value)},
        {QStringLiteral("unit"), QStringLiteral("raw")},
    };
}

CommandResult FakeBackend::listPorts()
{
    if (auto answer = act(QStringLiteral("port"), QStringLiteral("listPorts"), false))
        return *answer;
    const QVariantList ports{QVariantMap{{QStringLiteral("name"), QStringLiteral("ttyUSB0")},
                                         {QStringLiteral("title"), QStringLiteral("ttyUSB0 (USB serial)")}}};
    return CommandResult::success({{QStringLiteral("ports"), ports}});
}

CommandResult FakeBackend::open(const QString &port, int baudrate)
{
    if (auto answer = act(QStringLiteral("open"), QStringLiteral("open %1 %2").arg(port).arg(baudrate), false))
        return *answer;
    portName_ = port;
    open_ = true;
    return CommandResult::success({{QStringLiteral("port"), port}, {QStringLiteral("baudrate"), baudrate}});
}

CommandResult FakeBackend::close()
{
    record(QStringLiteral("close"));
    log_->closeTokenSet = token_ ? std::optional<bool>(token_->cancelled()) : std::nullopt;
    const bool wasOpen = open_;
    open_ = false;
    return CommandResult::success({{QStringLiteral("port"), portName_}, {QStringLiteral("was_open"), wasOpen}});
}

CommandResult FakeBackend::setProtocol(const QString &version)
{
    if (auto answer = act(QStringLiteral("protocol"), QStringLiteral("setProtocol %1").arg(version), false))
        return *answer;
    return CommandResult::success({{QStringLiteral("version"), version}});
}

CommandResult FakeBackend::setNetworkDelay(int milliseconds)
{
    if (auto answer = act(QStringLiteral("timeout"), QStringLiteral("setNetworkDelay %1").arg(milliseconds), false))
        return *answer;
    return CommandResult::success({{QStringLiteral("network_delay_ms"), milliseconds}});
}

CommandResult FakeBackend::scan(int start, int end, bool hasRange, bool verbose)
{
    const QString call = QStringLiteral("scan %1 %2 %3").arg(start).arg(end).arg(hasRange ? QLatin1String("range") : QLatin1String("all"));
    if (auto answer = act(QStringLiteral("scan"), call, verbose))
        return *answer;
    const QVariantMap range{{QStringLiteral("start"), start}, {QStringLiteral("end"), end}};
    return CommandResult::success(
        {{QStringLiteral("range"), range}, {QStringLiteral("devices"), QVariantList{device(1), device(3)}}});
}

CommandResult FakeBackend::ping(int id, bool verbose)
{
    if (auto answer = act(QStringLiteral("ping"), QStringLiteral("ping %1").arg(id), verbose))
        return *answer;
    return CommandResult::success(device(id));
}

CommandResult FakeBackend::get(int id, const QString &name, bool verbose)
{
    if (auto answer = act(QStringLiteral("get"), QStringLiteral("get %1 %2").arg(id).arg(name), verbose))
        return *answer;
    QVariantMap data = device(id);
    data.insert(QStringLiteral("item"), item(name, 2048));
    return CommandResult::success(data);
}

CommandResult FakeBackend::set(int id, const QString &name, int value, bool verbose)
{
    const QString call = QStringLiteral("set %1 %2 %3").arg(id).arg(name).arg(value);
    if (auto answer = act(QStringLiteral("set"), call, verbose))
        return *answer;
    QVariantMap data = device(id);
    data.insert(QStringLiteral("item"), item(name, value));
    data.insert(QStringLiteral("value"), value);
    data.insert(QStringLiteral("acknowledged"), true);
    return CommandResult::success(data);
}

CommandResult FakeBackend::table(int id, int start, int end, bool verbose)
{
    const QString call = QStringLiteral("table %1 %2 %3").arg(id).arg(start).arg(end);
    if (auto answer = act(QStringLiteral("table"), call, verbose))
        return *answer;
    QVariantMap data = device(id);
    data.insert(QStringLiteral("range"), QVariantMap{{QStringLiteral("start"), start}, {QStringLiteral("end"), end}});
    data.insert(QStringLiteral("items"), QVariantList{item(QStringLiteral("Present Position"), 2048)});
    return CommandResult::success(data);
}

CommandResult FakeBackend::status(int id)
{
    if (auto answer = act(QStringLiteral("status"), QStringLiteral("status %1").arg(id), false))
        return *answer;
    QVariantMap row = item(QStringLiteral("Present Position"), 2048);
    row.insert(QStringLiteral("key"), QStringLiteral("position"));
    QVariantMap data = device(id);
    data.insert(QStringLiteral("items"), QVariantList{row});
    return CommandResult::success(data);
}

namespace {

CommandResult acknowledged(int id, int parameter)
{
    return CommandResult::success({{QStringLiteral("id"), id},
                                   {QStringLiteral("parameter"), parameter},
                                   {QStringLiteral("acknowledged"), true}});
}

} // namespace

CommandResult FakeBackend::reset(int id, bool verbose)
{
    if (auto answer = act(QStringLiteral("reset"), QStringLiteral("reset %1").arg(id), verbose))
        return *answer;
    return acknowledged(id, 0);
}

CommandResult FakeBackend::reboot(int id, bool verbose)
{
    if (auto answer = act(QStringLiteral("reboot"), QStringLiteral("reboot %1").arg(id), verbose))
        return *answer;
    return acknowledged(id, 0);
}

CommandResult FakeBackend::clear(int id, int parameter, bool verbose)
{
    if (auto answer = act(QStringLiteral("clear"), QStringLiteral("clear %1 %2").arg(id).arg(parameter), verbose))
        return *answer;
    return acknowledged(id, parameter);
}
