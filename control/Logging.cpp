#include "control/Logging.h"

namespace {

// The platform's text line end.
#ifdef Q_OS_WIN
constexpr char kLineEnd[] = "\r\n";
#else
constexpr char kLineEnd[] = "\n";
#endif

} // namespace

Logging::Logging(QObject *parent)
    : QObject(parent)
{
}

Logging::~Logging()
{
    stop();
}

QString Logging::path() const
{
    return file_ ? file_->fileName() : QString();
}

QString Logging::errorString() const
{
    return error_;
}

bool Logging::start(QString path)
{
    stop();
    error_.clear();
    file_ = std::make_unique<QFile>(path);
    // Unbuffered: a line that cannot be written fails here, in its own call,
    // instead of some later flush that no caller looks at.
    if (!file_->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        error_ = file_->errorString();
        return false;
    }
    return true;
}

void Logging::stop()
{
    if (file_)
        file_->close();
}

bool Logging::log(QString text)
{
    if (!file_ || !file_->isOpen()) {
        error_ = QStringLiteral("no log file is open");
        return false;
    }
    const QByteArray line = text.toUtf8() + kLineEnd;
    const qint64 start = file_->pos();
    qint64 done = 0;
    while (done < line.size()) {
        // A write that takes only part of the line (a full disk) is asked for
        // the rest, which then fails with the system's reason.
        const qint64 written = file_->write(line.constData() + done, line.size() - done);
        if (written <= 0) {
            error_ = file_->errorString();
            file_->resize(start);
            file_->seek(start);
            return false;
        }
        done += written;
    }
    return true;
}
