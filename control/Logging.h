#pragma once
// Writes text lines to one file at a time (the CSV graph log).

#include <QFile>
#include <QObject>
#include <QString>
#include <QTextStream>

#include <memory>

class Logging : public QObject
{
    Q_OBJECT

public:
    explicit Logging(QObject *parent = nullptr);
    ~Logging() override;

public slots:
    // Closes the file in use and opens `path` for writing (emptied). False
    // when it cannot be opened: then nothing is logged until the next start.
    bool start(QString path);
    // Closes the file; later lines are not written.
    void stop();
    // Writes `text` and a line end, flushed at once.
    void log(QString text);

private:
    std::unique_ptr<QFile> file_;
    std::unique_ptr<QTextStream> stream_;
};
