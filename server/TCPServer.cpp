#include "server/TCPServer.h"

#include "console/io/Console.h"
#include "server/ServerWorker.h"

#include <QThread>

TCPServer::TCPServer(QObject *parent)
    : QObject(parent)
{
}

TCPServer::~TCPServer()
{
    stop();
}

bool TCPServer::start(QString hostText, quint16 tcpPort, QString portName, int baud)
{
    if (running) {
        Console::instance().printWarning(QStringLiteral("Server is already running"));
        return false;
    }
    host = hostText;
    port = tcpPort;
    serialPortName = portName;
    baudRate = baud;
    running = true;
    setupWorkerThread();
    startDone.acquire();
    if (!startSucceeded) {
        // A half-started worker is no bridge: tear it down so that a later start can succeed.
        running = false;
        endWorkerThread();
        return false;
    }
    return true;
}

void TCPServer::setupWorkerThread()
{
    thread = new QThread;
    worker = new ServerWorker;
    worker->moveToThread(thread);
    connect(worker, &ServerWorker::clientConnected, this, &TCPServer::clientConnected);
    connect(worker, &ServerWorker::clientDisconnected, this, &TCPServer::clientDisconnected);
    connect(worker, &ServerWorker::dataReceived, this, &TCPServer::dataReceived);
    connect(worker, &ServerWorker::dataSent, this, &TCPServer::dataSent);
    connect(worker, &ServerWorker::serialDataReceived, this, &TCPServer::serialDataReceived);
    connect(worker, &ServerWorker::serialDataSent, this, &TCPServer::serialDataSent);
    connect(worker, &ServerWorker::errorOccurred, this, &TCPServer::handleWorkerError);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::started, thread, [this] { startWorker(); }, Qt::DirectConnection);
    thread->start(QThread::InheritPriority);
}

void TCPServer::startWorker()
{
    startSucceeded = worker->startServer(host, port, serialPortName, baudRate);
    startDone.release();
}

void TCPServer::endWorkerThread()
{
    thread->quit();
    thread->wait(); // the worker is destroyed on its thread as it finishes
    worker = nullptr;
    delete thread;
    thread = nullptr;
}

void TCPServer::stop()
{
    if (!running)
        return;
    running = false;
    endWorkerThread();
    Console::instance().printLine(QStringLiteral("TCP bridge server stopped"));
}

QString TCPServer::statusText()
{
    if (!running || !worker)
        return QStringLiteral("Stopped");
    if (QThread::currentThread() == thread)
        return worker->statusText();
    // The sockets and the serial port belong to the worker's thread: ask there.
    QString text;
    QMetaObject::invokeMethod(worker, [&] { text = worker->statusText(); }, Qt::BlockingQueuedConnection);
    return text;
}

void TCPServer::handleWorkerError(QString error)
{
    emit errorOccurred(error);
}
