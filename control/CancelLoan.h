#pragma once
// Lending an operation's cancel flag to the line editor: while the loan
// lasts, Ctrl+C (and the end of piped input) sets the flag and makes a waiting
// read return an empty answer. The loan clears the flag when it starts and
// detaches the editor on every way out; the console command that called the
// operation points the editor back at its own flag afterwards.

#include <QString>

#include <atomic>
#include <functional>
#include <optional>

class InputManager;

class CancelLoan
{
public:
    // `input` may be null (script mode): then nothing is lent and no prompt can be answered.
    CancelLoan(InputManager *input, std::atomic<bool> &flag);
    ~CancelLoan();
    CancelLoan(const CancelLoan &) = delete;
    CancelLoan &operator=(const CancelLoan &) = delete;

    // Processes pending Qt events, then tells whether the flag is set.
    bool cancelled() const;

    // Processes pending events; unless cancelled, writes `prompt` (no line end)
    // and reads one answer in prompt mode. Nothing when the flag is set before
    // or after the read, or when there is no editor to read from.
    std::optional<QString> ask(const QString &prompt) const;
    // ask() until the answer is not empty (an empty answer asks again without
    // a word); `preface`, when given, is written before each question.
    std::optional<QString> askNonEmpty(const QString &prompt, const std::function<QString()> &preface = {}) const;

private:
    InputManager *input_;
    std::atomic<bool> &flag_;
};
