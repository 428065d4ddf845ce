#pragma once
// The commands that script mode runs: for each its description and forms, with
// typed arguments, options, the permission flag it needs, its risk class and
// whether it talks to a device. Dispatch reads the permissions here; the
// contract document and the help texts publish the rest.

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>

namespace script {

struct ArgumentSpec
{
    QString name;
    QString type; // "string", "integer" or "range" (two integers joined by "-")
    bool required = false;
    QString description;
    QString format; // empty, or "start-end" for ranges
    bool hasMinimum = false;
    qint64 minimum = 0; // inclusive
    bool hasMaximum = false;
    qint64 maximum = 0; // inclusive
    QVariantList allowed_values; // empty, or the only accepted values
};

struct OptionSpec
{
    QStringList names;
    QString description;
};

struct CommandForm
{
    CommandForm(const QString &usage, const QList<ArgumentSpec> &arguments, const QList<OptionSpec> &options,
                const QString &permission, const QString &risk, bool requires_open_port);

    QString usage;
    QList<ArgumentSpec> arguments;
    QList<OptionSpec> options;
    QString permission; // "none", "write" or "destructive" (which also grants write)
    QString risk;       // "read_only", "session", "write" or "destructive"
    bool requires_open_port = false;
};

struct Command
{
    QString name; // lower case
    QString description;
    QList<CommandForm> forms;
};

// The highest device ID and control-table address a command may name.
constexpr int kLastDeviceId = 252;
constexpr int kLastAddress = 65535;

const QString kPermissionNone = QStringLiteral("none");
const QString kPermissionWrite = QStringLiteral("write");
const QString kPermissionDestructive = QStringLiteral("destructive");

// The catalogue in its published order, built on first use.
const QList<Command> &commands();
// The entry whose name equals `name` lower-cased, or null.
const Command *findCommand(const QString &name);
QStringList commandNames();

ArgumentSpec integerArgument(const QString &name, qint64 minimum, qint64 maximum, const QString &description);
ArgumentSpec rangeArgument(const QString &name, qint64 maximum, const QString &format, const QString &description);
OptionSpec verboseOption();

} // namespace script
