#include "console/app/QvxCommand.h"

#include "console/app/Commander.h"
#include "platform/OutputSink.h"
#include "platform/Terminal.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace {

void writeLine(const QString &text)
{
    platform::OutputSink::write(text + QLatin1Char('\n'));
}

} // namespace

QvxCommand::QvxCommand(QObject *parent)
    : QObject(parent)
    , thread_(new QThread(this))
    , worker_(new QObject)
{
    worker_->moveToThread(thread_);
    QObject *worker = worker_;
    connect(thread_, &QThread::started, worker, [this, worker] { startConsole(worker); });
}

QvxCommand::~QvxCommand()
{
    stop();
    if (!workerHandedOver_.load())
        delete worker_; // the thread never ran
}

void QvxCommand::startConsole(QObject *worker)
{
    auto *commander = new Commander;
    commander_.store(commander);
    connect(thread_, &QThread::finished, commander, &QObject::deleteLater);
    connect(commander, &Commander::exitCommand, this, &QvxCommand::onExitCommand, Qt::QueuedConnection);
    workerHandedOver_.store(true);
    worker->deleteLater();
    commander->run();
}

int QvxCommand::run()
{
    // The editor's key mode from before the banner on: keys typed while the
    // console starts are not echoed by the terminal and again by the editor.
    // The editor's own key mode nests inside this one.
    const platform::KeyMode keyMode;
    writeLine(QStringLiteral("Quorvex Zephlet CLI [Version %1]").arg(QCoreApplication::applicationVersion()));
    writeLine(QStringLiteral("Copyright (c) 2026 The zephlet-cli developers. All rights reserved."));
    writeLine(QStringLiteral("Type \"help\" or \"license\" for more information."));
    // The terminal speaks UTF-8 already: no code page to switch here.
    thread_->start(QThread::InheritPriority);
    const int result = QCoreApplication::exec();
    stop();
    writeLine(QStringLiteral("Program terminated successfully."));
    return result;
}

void QvxCommand::stop()
{
    if (Commander *commander = commander_.exchange(nullptr))
        commander->requestStop();
    if (thread_) {
        thread_->quit();
        thread_->wait(QDeadlineTimer(QDeadlineTimer::Forever));
        thread_ = nullptr;
    }
}

void QvxCommand::onExitCommand()
{
    writeLine(QStringLiteral("Shutting down..."));
    QCoreApplication::quit();
}
