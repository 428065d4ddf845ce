// Reads lines through the console's line editor and reports each one, for the
// tests that drive it in a real terminal or through a pipe. It stands where
// the console loop will: it lends the editor its interrupted flag and sets a
// control handler that stores to both flags.
//
// Output: "READY pid=<pid> rows=<terminal rows>" first; then, per read,
// "INTERRUPTED" when Ctrl+C cut it, and "LINE[<text>]"; "END" at the end of
// input. The line "exit" ends the program; "watch" waits for Ctrl+C while
// looking at the first pending key each 100 ms the way the continuous get does
// ("ENTER-SEEN" for an Enter it takes, "WATCH-END" at the end), leaving other
// keys for the next line.
//
// Options: --items "A,B" item names for completion; --no-handler sets no
// control handler; --no-key-mode leaves the terminal mode to the editor.
#include "console/io/Console.h"
#include "console/io/InputManager.h"
#include "platform/ConsoleControl.h"
#include "platform/KeyInput.h"
#include "platform/Terminal.h"

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <optional>
#include <unistd.h>

namespace {

std::atomic<bool> interrupted{false};
std::atomic<InputManager *> currentEditor{nullptr};

bool onControlEvent(platform::ControlEvent event)
{
    if (event != platform::ControlEvent::Interrupt)
        return false;
    interrupted.store(true);
    if (InputManager *editor = currentEditor.load()) {
        if (std::atomic<bool> *flag = editor->interruptFlag())
            flag->store(true);
    }
    return true;
}

void say(const QString &text)
{
    Console::instance().printLine(text);
}

void watch()
{
    platform::KeyMode keyMode; // what the continuous get holds; nothing changes inside the console
    platform::KeyInput &keys = platform::KeyInput::standardInput();
    say(QStringLiteral("WATCHING"));
    while (!interrupted.load()) {
        QCoreApplication::processEvents();
        platform::KeyEvent key;
        if (keys.peek(key) && (key.character == U'\r' || key.character == U'\n')) {
            keys.take(key);
            say(QStringLiteral("ENTER-SEEN"));
        }
        QThread::msleep(100);
    }
    interrupted.store(false);
    say(QStringLiteral("WATCH-END"));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();

    std::optional<platform::KeyMode> keyMode;
    if (!args.contains(QStringLiteral("--no-key-mode")))
        keyMode.emplace();

    QString prompt = Console::defaultPrompt();
    InputManager editor(&prompt);
    editor.setInterruptFlag(&interrupted);
    currentEditor.store(&editor);
    const qsizetype items = args.indexOf(QStringLiteral("--items"));
    if (items >= 0 && items + 1 < args.size())
        editor.setItemNames(args.at(items + 1).split(QLatin1Char(',')));
    if (!args.contains(QStringLiteral("--no-handler")))
        platform::setControlHandler(onControlEvent);

    say(QStringLiteral("READY pid=%1 rows=%2").arg(::getpid()).arg(platform::terminalRows()));
    for (;;) {
        Console::print(prompt);
        const QString line = editor.readLine(false);
        if (editor.atEndOfInput()) {
            say(QStringLiteral("END"));
            break;
        }
        if (interrupted.exchange(false))
            say(QStringLiteral("INTERRUPTED"));
        say(QStringLiteral("LINE[%1]").arg(line));
        editor.addToHistory(line);
        if (line == QLatin1String("exit"))
            break;
        if (line == QLatin1String("watch"))
            watch();
    }
    platform::setControlHandler(nullptr);
    currentEditor.store(nullptr);
    return 0;
}
