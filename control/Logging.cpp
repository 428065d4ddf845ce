#include "control/Logging.h"

#include "platform/WriteWhole.h"

#include <algorithm>

namespace {

// The platform's text line end.
#ifdef Q_OS_WIN
constexpr char kLineEnd[] = "\r\n";
#else
constexpr char kLineEnd[] = "\n";
#endif

} // namespace

QString csvLine(const QStringList &fields)
{
    QStringList written;
    written.reserve(fields.size());
    for (const QString &field : fields) {
        const bool plain = std::none_of(field.cbegin(), field.cend(), [](QChar c) {
            return c == QLatin1Char(',') || c == QLatin1Char('"') || c == QLatin1Char('\r') || c == QLatin1Char('\n');
        });
        if (plain) {
            written.append(field);
        } else {
            QString quoted = field;
            quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
            written.append(QLatin1Char('"') + quoted + QLatin1Char('"'));
        }
    }
    return written.join(QLatin1Char(','));
}

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
