#pragma once
// The interactive console proper: the read-eval-print loop with its prompt,
// line editor, command table and help, the prompts that ask for missing
// arguments, and Ctrl+C. It lives and runs on the console's worker thread
// (QvxCommand); only requestStop() and the control handler come from elsewhere.
//
// Ctrl+C never ends the console: the control handler sets the interrupted flag
// and the flag the line editor points at (a device operation's own while one
// runs), and the loop reports "[INFO] KeyboardInterrupt" after the interrupted
// read or command. Ctrl+Break (Ctrl+\ here) is left to its default action.
//
// Every command runs with the loop's cancellation token lent to the device
// operations (QvxControl::beginCommand/endCommand, as script mode does): Ctrl+C
// sets it too, so a bus wait of the command ends at once with COMM_CANCELLED,
// however long its time-out. The loop clears the token when it reports the
// interrupt, so the next command starts with a clear one.
//
// The end of standard input (a pipe or file ran out) counts as "exit"; a
// prompt waiting at that moment ends as cancelled.

#include "console/app/CommandArguments.h"
#include "console/app/CommandParser.h"
#include "console/app/HelpSystem.h"
#include "comm/CancellationToken.h"
#include "console/io/InputManager.h"
#include "platform/ConsoleControl.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <optional>

namespace platform {
class KeyInput;
}
class QvxControl;

class Commander : public QObject
{
    Q_OBJECT

public:
    // Keys come from standard input, or from `keys`.
    explicit Commander(QObject *parent = nullptr);
    explicit Commander(platform::KeyInput &keys, QObject *parent = nullptr);
    ~Commander() override;

    // The loop; returns when the console is to end.
    void run();
    // Ends the loop and any read in progress, from any thread; emits nothing.
    void requestStop();

    // A first word that is no command word (and not "test" or "aging") starts
    // an item line: "Goal Position 1024" is read as "set Goal Position 1024".
    static bool isImplicitItemCommand(const QString &command);

    // Creates the device-operations object (once, before the first prompt;
    // run() does it when nobody did).
    void createControl();

    // Prompts for missing arguments. Each keeps asking until it has a valid
    // answer; false, with nothing printed, when Ctrl+C (or the end of input)
    // cancels it. The interrupted flag then stays set for the loop's report.
    bool promptDeviceId(uchar &id);
    // The system's serial ports, numbered, and a custom name.
    bool choosePort(QString &portName);
    bool chooseBaudrate(int &baudrate);
    bool chooseConnection(QString &portName, int &baudrate);
    // The protocol menu of a "protocol" line without a version: "1.0" or "2.0".
    bool chooseProtocolVersion(QString &version);

    // Processes pending events, then tells whether the interrupted flag is set.
    bool checkInterrupted();

    // The process's control handler while a Commander exists.
    static bool consoleCtrlHandler(platform::ControlEvent event);

signals:
    void exitCommand();

public slots:
    void onExitCommand();
    void onPortCommand();
    void onOpenCommand(const QStringList &fields);
    void onCloseCommand();
    void onScanCommand(const QStringList &fields);
    void onPingCommand(const QStringList &fields);
    void onTimeoutCommand(const QStringList &fields);
    void onProtocolCommand(const QStringList &fields);
    void onTableCommand(const QStringList &fields);
    void onHelpCommand(const QStringList &fields);
    void onUpdateCommand(const QStringList &fields);
    void onUpgradeCommand(const QStringList &fields);
    void onLicenseCommand(const QStringList &fields);
    void onCopyrightCommand(const QStringList &fields);
    void onResetCommand(const QStringList &fields);
    void onRebootCommand(const QStringList &fields);
    void onClearCommand(const QStringList &fields);
    // One device found by a broadcast ping: "  [ID:007] <model>, v<fw>".
    void onQvxFound(uchar id, ushort model_number, uchar firmware_version);
    void onGetCommand(const QStringList &fields);
    void onSetCommand(const QStringList &fields);
    void onStatusCommand(const QStringList &fields);

private:
    void connectCommands();
    // Where the argument rules take a left-out ID and ask about item names.
    CommandContext commandContext();
    // Whether the device has an item of this name; pings it silently.
    bool itemNameExists(uchar id, const QString &name);
    // Reset and reboot: the ID (or the one the argument rules take) and -v,
    // then `command` on the device operations.
    void runDeviceCommand(const QStringList &fields, void (QvxControl::*command)(uchar id, bool verbose));
    // Device operations lend their own flag to the editor; afterwards Ctrl+C
    // must reach the console's flag again.
    void pointEditorBack();
    static void installCtrlHandler(Commander *commander);
    static void removeCtrlHandler();
    // True when a prompt is to give up: Ctrl+C, the end of input, or a stop.
    bool promptCancelled();
    // Writes the question and reads the answer (simple mode); nullopt when
    // cancelled before or during the read.
    std::optional<QString> ask(const QString &question);
    // Asks until the answer is a number from 1 to `count` (an empty answer
    // silently, others after the error line `invalidIndex`); nullopt when cancelled.
    std::optional<int> askIndex(const QString &question, int count, const QString &invalidIndex);
    void endAtEndOfInput();
    // Clears the interrupted flag, and with it the command token; true when it was set.
    bool takeInterrupt();

    std::atomic<bool> stop_{false};
    std::atomic<bool> interrupted_{false};
    // Lent to the device operations while a command runs; set by the control handler.
    CancellationToken commandToken_;
    QString prompt_;
    InputManager editor_;
    CommandParser parser_;
    QvxControl *control_ = nullptr; // a Qt child, lent the editor
    HelpSystem help_;
};
