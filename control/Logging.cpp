#include "control/Logging.h"

Logging::Logging(QObject *parent)
    : QObject(parent)
{
}

Logging::~Logging()
{
    stop();
}

bool Logging::start(QString path)
{
    stop();
    stream_.reset();
    file_ = std::make_unique<QFile>(path);
    if (!file_->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    stream_ = std::make_unique<QTextStream>(file_.get());
    return true;
}

void Logging::stop()
{
    if (file_)
        file_->close();
}

void Logging::log(QString text)
{
    if (!stream_ || !file_->isOpen())
        return;
    *stream_ << text << '\n';
    stream_->flush();
}
