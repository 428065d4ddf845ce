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
// The end of standard input (a pipe or file ran out) counts as "exit"; a
// prompt waiting at that moment ends as cancelled.

#include "console/CommandParser.h"
#include "console/HelpSystem.h"
#include "console/InputManager.h"
#include "platform/ConsoleControl.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <optional>

namespace platform {
class KeyInput;
}

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

    // Prompts for missing arguments. Each keeps asking until it has a valid
    // answer; false, with nothing printed, when Ctrl+C (or the end of input)
    // cancels it. The interrupted flag then stays set for the loop's report.
    bool promptDeviceId(uchar &id);
    bool chooseBaudrate(int &baudrate);
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
    void onHelpCommand(const QStringList &fields);

private:
    void connectCommands();
    static void installCtrlHandler(Commander *commander);
    static void removeCtrlHandler();
    // True when a prompt is to give up: Ctrl+C, the end of input, or a stop.
    bool promptCancelled();
    // Writes the question and reads the answer (simple mode); nullopt when
    // cancelled before or during the read.
    std::optional<QString> ask(const QString &question);
    void endAtEndOfInput();

    std::atomic<bool> stop_{false};
    std::atomic<bool> interrupted_{false};
    QString prompt_;
    InputManager editor_;
    CommandParser parser_;
    HelpSystem help_;
};
