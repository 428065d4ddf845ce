#include "control/Logging.h"

#include "platform/WriteWhole.h"

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
    if (platform::writeWhole(*file_, line, &error_))
        return true;
    // No cut row stays behind.
    file_->resize(start);
    file_->seek(start);
    return false;
}
