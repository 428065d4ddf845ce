#include "script/CommandSchema.h"

#include "script/backend/ErrorCodes.h"

#include <QJsonArray>
#include <QJsonValue>

namespace script {

namespace {

QJsonObject argumentToJson(const ArgumentSpec &argument)
{
    QJsonObject object{
        {QStringLiteral("description"), argument.description},
        {QStringLiteral("name"), argument.name},
        {QStringLiteral("required"), argument.required},
        {QStringLiteral("type"), argument.type},
    };
    if (!argument.allowed_values.isEmpty())
        object.insert(QStringLiteral("allowed_values"), QJsonArray::fromVariantList(argument.allowed_values));
    if (!argument.format.isEmpty())
        object.insert(QStringLiteral("format"), argument.format);
    if (argument.hasMaximum)
        object.insert(QStringLiteral("maximum"), argument.maximum);
    if (argument.hasMinimum)
        object.insert(QStringLiteral("minimum"), argument.minimum);
    return object;
}

QJsonObject optionToJson(const OptionSpec &option)
{
    return {
        {QStringLiteral("description"), option.description},
        {QStringLiteral("names"), QJsonArray::fromStringList(option.names)},
    };
}

QJsonObject exitCode(int code, const QString &name)
{
    return {{QStringLiteral("code"), code}, {QStringLiteral("name"), name}};
}

QJsonObject contract()
{
    const QJsonObject jsonOutput{
        {QStringLiteral("failure_fields"),
         QJsonArray{QStringLiteral("command"), QStringLiteral("success"), QStringLiteral("error")}},
        {QStringLiteral("flag"), QStringLiteral("--json")},
        {QStringLiteral("one_record_per_command"), true},
        {QStringLiteral("success_fields"),
         QJsonArray{QStringLiteral("command"), QStringLiteral("success"), QStringLiteral("data")}},
    };
    const QJsonObject destructive{
        {QStringLiteral("flag"), QStringLiteral("--allow-destructive")},
        {QStringLiteral("includes"), QJsonArray{QStringLiteral("write")}},
    };
    const QJsonObject none{{QStringLiteral("flag"), QJsonValue::Null}};
    const QJsonObject write{{QStringLiteral("flag"), QStringLiteral("--allow-write")}};
    const QJsonObject permissions{
        {kPermissionDestructive, destructive},
        {kPermissionNone, none},
        {kPermissionWrite, write},
    };
    return {
        {QStringLiteral("allow_destructive_includes_write"), true},
        {QStringLiteral("command_deadline_ms"), kCommandDeadlineMs},
        {QStringLiteral("explicit_device_id_required_for_device_commands"), true},
        {QStringLiteral("fail_fast"), true},
        {QStringLiteral("interactive_fallback"), false},
        {QStringLiteral("json_output"), jsonOutput},
        {QStringLiteral("permissions"), permissions},
        {QStringLiteral("recommended_output"), QStringLiteral("json_lines")},
        {QStringLiteral("result_data_fields_are_stable_v1"), false},
    };
}

} // namespace

QJsonObject formToJson(const CommandForm &form)
{
    QJsonArray arguments;
    for (const ArgumentSpec &argument : form.arguments)
        arguments.append(argumentToJson(argument));
    QJsonArray options;
    for (const OptionSpec &option : form.options)
        options.append(optionToJson(option));
    return {
        {QStringLiteral("arguments"), arguments},
        {QStringLiteral("options"), options},
        {QStringLiteral("permission"), form.permission},
        {QStringLiteral("requires_open_port"), form.requires_open_port},
        {QStringLiteral("risk"), form.risk},
        {QStringLiteral("usage"), form.usage},
    };
}

QJsonObject unsupportedFeatureJson(const QString &feature, const QString &reason, const QString &alternative)
{
    return {
        {QStringLiteral("feature"), feature},
        {QStringLiteral("reason"), reason},
        {QStringLiteral("alternative"), alternative},
    };
}

QJsonObject commandSchema(const QString &version)
{
    QJsonArray commandArray;
    for (const Command &entry : commands()) {
        QJsonArray forms;
        for (const CommandForm &form : entry.forms)
            forms.append(formToJson(form));
        commandArray.append(QJsonObject{
            {QStringLiteral("name"), entry.name},
            {QStringLiteral("description"), entry.description},
            {QStringLiteral("forms"), forms},
        });
    }

    const QJsonArray exitCodes{
        exitCode(kExitSuccess, QStringLiteral("success")),
        exitCode(kExitRuntimeError, QStringLiteral("runtime_error")),
        exitCode(kExitUsageError, QStringLiteral("usage_error")),
        exitCode(kExitPermissionError, QStringLiteral("permission_error")),
        exitCode(kExitCommandTimeout, QStringLiteral("command_timeout")),
        exitCode(kExitInterrupted, QStringLiteral("interrupted")),
    };

    const QJsonArray unsupported{
        unsupportedFeatureJson(QStringLiteral("update"),
                               QStringLiteral("Device firmware update is interactive and interruption-sensitive."),
                               QStringLiteral("Use the interactive REPL or Quorvex Firmware Tool.")),
        unsupportedFeatureJson(QStringLiteral("upgrade"), QStringLiteral("CLI self-upgrade is not a script command."),
                               QStringLiteral("Invoke 'zephlet-cli upgrade' directly on a supported Linux AppImage.")),
        unsupportedFeatureJson(QStringLiteral("exit"), QStringLiteral("The script ends at the end of its command input."),
                               QStringLiteral("Omit exit from the script.")),
        unsupportedFeatureJson(QStringLiteral("server"),
                               QStringLiteral("The optional test server is not part of the automation contract."),
                               QStringLiteral("Use a dedicated serial bridge service.")),
        unsupportedFeatureJson(QStringLiteral("test"),
                               QStringLiteral("Development-only commands are not part of the public contract."),
                               QStringLiteral("Use supported script commands.")),
        unsupportedFeatureJson(
            QStringLiteral("aging"),
            QStringLiteral("Development-only long-running commands are not part of the public contract."),
            QStringLiteral("Use a dedicated test workflow.")),
        unsupportedFeatureJson(QStringLiteral("get -c / --continuous"),
                               QStringLiteral("Continuous terminal output violates finite script execution."),
                               QStringLiteral("Run repeated one-shot get commands in the caller.")),
        unsupportedFeatureJson(QStringLiteral("table -p / --page"),
                               QStringLiteral("Page navigation requires interactive input."),
                               QStringLiteral("Use table with an explicit address range.")),
    };

    return {
        {QStringLiteral("schema_version"), QStringLiteral("1.0")},
        {QStringLiteral("application"),
         QJsonObject{{QStringLiteral("name"), QStringLiteral("zephlet-cli")}, {QStringLiteral("version"), version}}},
        {QStringLiteral("mode"), QStringLiteral("script")},
        {QStringLiteral("contract"), contract()},
        {QStringLiteral("exit_codes"), exitCodes},
        {QStringLiteral("commands"), commandArray},
        {QStringLiteral("unsupported"), unsupported},
    };
}

} // namespace script
