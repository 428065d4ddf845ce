#pragma once
// Writes text lines to one file at a time (the CSV graph log). Every line
// goes to the file whole or not at all: a write that fails takes back what
// it wrote of its line, so the file ends with the last whole line.

#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

// One CSV line of `fields`. A field holding a comma, a double quote, a
// carriage return or a line feed is put in double quotes, its quotes doubled
// (RFC 4180), so that any colour or name a user gives stays one field; any
// other field is written as it is.
QString csvLine(const QStringList &fields);

class Logging : public QObject
{
    Q_OBJECT

public:
    explicit Logging(QObject *parent = nullptr);
    ~Logging() override;

    // The file of the last start.
    QString path() const;
    // Why the last start or line failed.
    QString errorString() const;

public slots:
    // Closes the file in use and opens `path` for writing (emptied). False
    // when it cannot be opened: then nothing is logged until the next start.
    bool start(QString path);
    // Closes the file; later lines are not written.
    void stop();
    // Writes `text` and a line end, straight to the file. False when no file
    // is open or the line could not be written whole.
    bool log(QString text);

private:
    std::unique_ptr<QFile> file_;
    QString error_;
};
