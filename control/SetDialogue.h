#pragma once
// The questions of the interactive set, after the item's current row has been
// shown: a choice among the item's value names, the bits to set, or a value
// within the item's input range. Each lends the cancel flag while it waits, so
// Ctrl+C (or the end of piped input) ends it without writing anything; an
// answer that cannot be used is refused and the question asked again.

#include <QString>

#include <atomic>
#include <functional>

class InputManager;
struct QvxControlItem;

class SetDialogue
{
public:
    // Writes `value` with a write of `length` bytes to the item and reports
    // the outcome (its own error line on failure); true when it went through.
    using Writer = std::function<bool(int value, int length)>;

    SetDialogue(InputManager *input, std::atomic<bool> &cancelFlag, Writer write);

    // The named values from `minimum` to `maximum`, each named as every row
    // names it (ItemValue.h); a label "-" keeps its value but is not offered,
    // and labels past `maximum` offer nothing.
    void chooseValue(const QvxControlItem &item, int minimum, int maximum);
    // The item's bit names; the answer names the bits to set (the others are cleared).
    void enterBits(const QvxControlItem &item);
    // A number from `minimum` to `maximum`; `scaleLine` gives the scale shown before each question.
    void enterValue(const QvxControlItem &item, int minimum, int maximum, const std::function<QString()> &scaleLine);

private:
    InputManager *input_;
    std::atomic<bool> &cancelFlag_;
    Writer write_;
};
