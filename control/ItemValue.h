#pragma once
// The one reading of an item's value that both front ends show: the number
// its bytes stand for under the item's sign rule, and the value label that
// names that number. The console prints them in its columns, script mode puts
// them in its records; neither decides them on its own.

#include <QString>

#include <optional>

class ItemRules;
struct QvxControlItem;

// Converts item.value in place when `rules` make it signed (once, on a freshly
// read or written value) and returns the number it stands for (valueNumber).
qint64 applySignRule(QvxControlItem &item, const ItemRules &rules);

// The number item.value stands for, its sign rule already applied: the value
// itself when the item is signed; otherwise the unsigned reading of the
// item's bytes, so that a 4-byte value with bit 31 set is 2^31 or more, never
// negative.
qint64 valueNumber(const QvxControlItem &item, bool isSigned);

// The value the item's first value label names: its Min, or 0 when Min is no
// decimal number (a reference to another item). Label i names this value + i.
qint64 firstLabelledValue(const QvxControlItem &item);

// The label that names `number`; nothing below or past the labels, nor for an
// empty label. (Bit fields name their bits instead: bit i by label i.)
std::optional<QString> valueLabel(const QvxControlItem &item, qint64 number);
