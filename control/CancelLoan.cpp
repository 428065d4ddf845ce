#include "control/CancelLoan.h"

#include "console/io/InputManager.h"
#include "platform/OutputSink.h"

#include <QCoreApplication>

CancelLoan::CancelLoan(InputManager *input, std::atomic<bool> &flag)
    : input_(input)
    , flag_(flag)
{
    flag_ = false;
    if (input_)
        input_->setInterruptFlag(&flag_);
}

CancelLoan::~CancelLoan()
{
    if (input_)
        input_->clearInterruptFlag();
}

bool CancelLoan::cancelled() const
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return flag_.load();
}

std::optional<QString> CancelLoan::ask(const QString &prompt) const
{
    if (cancelled() || !input_)
        return std::nullopt;
    platform::OutputSink::write(prompt);
    const QString answer = input_->readLine(true);
    if (flag_.load())
        return std::nullopt;
    return answer;
}

std::optional<QString> CancelLoan::askNonEmpty(const QString &prompt, const std::function<QString()> &preface) const
{
    for (;;) {
        if (preface) {
            if (cancelled())
                return std::nullopt;
            platform::OutputSink::write(preface());
        }
        std::optional<QString> answer = ask(prompt);
        if (!answer || !answer->isEmpty())
            return answer;
    }
}
