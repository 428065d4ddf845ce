#pragma once
// The shell of the interactive console. run() puts a terminal on standard
// input into the line editor's key mode (platform::KeyMode) and holds it to
// the end, prints the banner, starts the
// worker thread on which the whole console runs (Commander, line editor,
// device operations) and keeps the Qt event loop of the main thread going
// until the console's "exit" (or the end of its input) reaches
// onExitCommand(); then it stops the worker, prints the closing line and
// returns the event loop's result as the exit code.

#include <QObject>
#include <atomic>

class Commander;
class QThread;

class QvxCommand : public QObject
{
    Q_OBJECT

public:
    explicit QvxCommand(QObject *parent = nullptr);
    ~QvxCommand() override;

    int run();
    // Ends the console loop and the worker thread and waits for the thread;
    // does nothing the second time.
    void stop();

public slots:
    // Main thread: "Shutting down..." and the end of the event loop.
    void onExitCommand();

private:
    // Worker thread, at its start: creates the Commander and runs its loop.
    void startConsole(QObject *worker);

    // Written once by the worker thread, read by stop() on the main thread.
    std::atomic<Commander *> commander_{nullptr};
    QThread *thread_ = nullptr;
    // Carries the thread's start connection; released once the console has started.
    QObject *worker_ = nullptr;
    std::atomic<bool> workerHandedOver_{false};
};
