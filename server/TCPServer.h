#pragma once
// The TCP-to-serial bridge as its owner sees it: start and stop, the status
// text, and the worker's signals relayed (queued) to the owner's thread, which
// must run an event loop to receive them. The worker and all input and output
// live on a thread the server starts for each run.
//
//   TCPServer bridge;
//   if (bridge.start("127.0.0.1", 5000, "/dev/ttyUSB0", 57600)) ... bridge.stop();

#include <QObject>
#include <QSemaphore>
#include <QString>

class QThread;
class ServerWorker;

class TCPServer : public QObject
{
    Q_OBJECT

public:
    explicit TCPServer(QObject *parent = nullptr);
    ~TCPServer() override;

    // Starts the worker thread and waits until the worker listens and has
    // the serial port open. On failure (reported by the worker's lines) the
    // thread is torn down, the server stays stopped and false comes back.
    bool start(QString host, quint16 port, QString serialPortName, int baudRate);
    // Ends the worker thread and waits for it; the clients are disconnected.
    void stop();
    QString statusText();

signals:
    void clientConnected(QString clientAddress);
    void clientDisconnected(QString clientAddress);
    void dataReceived(QString clientAddress, qlonglong bytes);
    void dataSent(QString clientAddress, qlonglong bytes);
    void serialDataReceived(qlonglong bytes);
    void serialDataSent(qlonglong bytes);
    void errorOccurred(QString error);

public slots:
    void handleWorkerError(QString error);

private:
    void setupWorkerThread();
    // Runs on the new thread as it starts.
    void startWorker();
    // Ends the worker thread and forgets it.
    void endWorkerThread();

    ServerWorker *worker = nullptr;
    QThread *thread = nullptr;
    QString host;
    quint16 port = 0;
    QString serialPortName;
    int baudRate = 0;
    bool running = false;
    // The worker's start outcome, handed over by startWorker.
    QSemaphore startDone;
    bool startSucceeded = false;
};
