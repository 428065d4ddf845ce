#pragma once
// The console's line editor. It reads every line typed into the interactive
// console: the command lines of the loop (full mode: cursor keys, history,
// Tab completion) and the answers to prompts (simple mode: cursor keys only).
// It echoes every edit itself through platform::OutputSink and keeps the
// calling thread's Qt events flowing while it waits for keys.
//
// Reading a line (readLine) ends with
//  - Enter: the line as typed;
//  - the interrupt flag set (before the read, while it waits, or by a Ctrl+C
//    key): an empty string, after one line end;
//  - requestStop(): the text typed so far, without a line end; every later
//    read returns at once;
//  - end of input (standard input from a pipe or file ran out): a last line
//    without line end is returned as a line; after that, a read stores true
//    in the lent interrupt flag (so a waiting prompt ends as cancelled) and
//    returns an empty string after a line end, and atEndOfInput() turns true
//    for good; the console loop checks it first and treats it as "exit". End
//    of input is thus never an ordinary empty answer.
// Keys that arrive behind the Enter of a line (a paste, piped lines, fast
// typing) stay queued for the next read.
//
// Ctrl+C: the console's control handler (platform/ConsoleControl.h) stores
// true through interruptFlag(); the editor sees it at once. Flags are lent
// with setInterruptFlag and taken back with clearInterruptFlag; the editor
// never clears a flag itself, so a lender resets its flag before the next read.
//
// Threads: everything runs on the thread that reads (the console's worker),
// except requestStop (any thread) and interruptFlag (any thread, and signal
// handlers: it is a lock-free atomic load).

#include "platform/KeyEvent.h"

#include <QObject>
#include <QStringList>
#include <atomic>
#include <memory>

namespace platform {
class KeyInput;
}
class InputProcessor;

class InputManager : public QObject
{
    Q_OBJECT

public:
    // The prompt is the loop's (not owned); the editor reprints it on Home,
    // after a list of completions and in every redraw. Keys come from standard
    // input, or from `keys`.
    explicit InputManager(const QString *prompt, QObject *parent = nullptr);
    InputManager(const QString *prompt, platform::KeyInput &keys, QObject *parent = nullptr);
    ~InputManager() override;

    QString readLine(bool simple);
    void requestStop();
    // True once a read has ended for the end of input (not for its last line).
    bool atEndOfInput() const;
    // Where the keys come from; the continuous get peeks at it between readings.
    platform::KeyInput &keyInput() const { return keys_; }

    void setInterruptFlag(std::atomic<bool> *flag);
    void clearInterruptFlag();
    std::atomic<bool> *interruptFlag() const;

    void setItemNames(const QStringList &names);
    QStringList itemNames() const;

    // Keeps the trimmed line as the newest entry (once; at most 100 entries).
    void addToHistory(const QString &line);
    QStringList history() const;
    int historyPosition() const;
    int cursorPosition() const;

    // Applies pending keys to the line (at most 128 per call). True when
    // Enter or Ctrl+C ended the line; the keys behind it stay in `keys`.
    bool processConsoleInput(platform::KeyQueue &keys, QString &line, bool simple);

    // Edits of the current line at the cursor; each writes its own echo.
    void insertChar(QString &line, QChar character);
    void backspace(QString &line);
    void deleteChar(QString &line);
    void moveCursor(int direction, QString &line); // > 0 right, < 0 left
    void moveCursorToBoundary(bool home, QString &line);
    void historyPrevious(QString &line);
    void historyNext(QString &line);

    // Tab in full mode: completes command words and item names (whole line).
    void handleTab(QString &line);

private:
    void applyKey(const platform::KeyEvent &key, QString &line, bool simple);
    bool interruptSet() const;
    QString endOfInput(const QString &line);
    QString promptText() const;
    void showHistoryEntry(QString &line, const QString &entry);

    // Tab completion parts.
    void listCommands(const QString &line);
    void listCandidates(QString &line, const QStringList &words, const QStringList &candidates);
    QStringList allCommandNames() const;
    QStringList commandNamesStartingWith(const QString &prefix) const;
    QStringList completionCommandsStartingWith(const QString &prefix) const;
    QStringList itemNamesStartingWith(const QString &prefix, int limit) const;
    QStringList itemCompletions(const QStringList &words, int limit) const;
    QStringList argumentCompletions(const QStringList &words, const QString &lastWord, int limit) const;
    void applyCompletion(QStringList &words, const QString &candidate) const;
    static QString commonPrefix(const QStringList &candidates);
    static bool isGetOrSetCommand(const QString &word);
    static bool isItemNameContext(const QStringList &words);
    static QString itemNamePrefix(const QStringList &words);
    static bool isKnownCommand(const QString &word);

    std::atomic<bool> stopRequested_{false};
    bool endOfInput_ = false;
    QStringList history_;
    int historyPosition_ = -1;
    QString savedLine_;
    int cursor_ = 0;
    QStringList completionCommands_;
    QStringList itemNames_;
    const QString *prompt_;
    platform::KeyInput &keys_;
    std::atomic<std::atomic<bool> *> interruptFlag_{nullptr};
    std::unique_ptr<InputProcessor> processor_;
};
