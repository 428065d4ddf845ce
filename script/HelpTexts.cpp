#include "script/HelpTexts.h"

#include "script/CommandCatalogue.h"

#include <QStringList>

namespace script {

QString aiHelpText()
{
    return QStringLiteral(
        "Quorvex Zephlet CLI - AI Agent Help\n"
        "\n"
        "Use script mode with --json. Do not automate the interactive REPL.\n"
        "Read the machine-readable contract with: zephlet-cli --command-schema\n"
        "Canonical guide: docs/ai-agent-guide.md\n"
        "\n"
        "Required safety rules:\n"
        "  1. Discover ports with 'port'; never guess a port, baud rate, protocol, or device ID.\n"
        "  2. Use an explicit sequence: open -> command(s) -> close.\n"
        "  3. Stop on any non-zero exit code or JSON result with success=false.\n"
        "  4. Use --allow-write only for an explicitly authorized set operation.\n"
        "  5. Use --allow-destructive only after explicit authorization for reset, reboot, or device clear.\n"
        "  6. Treat exit codes 124 and 130 as incomplete operations and verify device state before retrying.\n"
        "\n"
        "Script mode does not support firmware update, CLI upgrade, get -c, or table -p.\n"
        "Use the interactive REPL or Quorvex Firmware Tool for device firmware updates.\n");
}

QString usageText(const QString &name)
{
    const Command *entry = findCommand(name);
    if (!entry || entry->forms.isEmpty())
        return {};
    QStringList usages;
    for (const CommandForm &form : entry->forms)
        usages.append(form.usage);
    // Seven blanks: later usages line up under the first, behind "Usage: ".
    return QStringLiteral("Usage: %1").arg(usages.join(QStringLiteral("\n       ")));
}

QString helpText(const QString &topic)
{
    if (!topic.isEmpty()) {
        const Command *entry = findCommand(topic);
        if (!entry)
            return {};
        return entry->description + QLatin1Char('\n') + usageText(entry->name);
    }
    QStringList lines;
    for (const Command &entry : commands())
        lines.append(QStringLiteral("  %1 - %2").arg(entry.name, entry.description));
    return QStringLiteral("Available script commands:\n%1\nType \"help <command>\" for usage.")
        .arg(lines.join(QLatin1Char('\n')));
}

} // namespace script
