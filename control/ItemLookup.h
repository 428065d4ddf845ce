#pragma once
// Finding a control-table item from the name a user typed: the exact name
// (case ignored) wins; otherwise every visible item whose name contains the
// text is offered in a numbered list to choose from.

#include <QStringList>

#include <atomic>

class InputManager;
struct QvxControlItem;
struct QvxDeviceModel;

// Every item of a model (hidden ones included) in the order of searching and
// printing: the top-level items, then each category's; no null entries.
QList<QvxControlItem *> itemsInOrder(const QvxDeviceModel &model);

// Names of the visible items whose names contain `text` (case ignored), in
// the model's order of items, then sorted by UTF-16 code units.
QStringList matchingItemNames(const QvxDeviceModel &model, const QString &text);

// Lists `names` numbered from 1 and asks for one, lending `cancelFlag` to
// `input` meanwhile. False when the question was cancelled (Ctrl+C, end of
// input, no editor); true with *item the chosen item (null when the model's
// name map lacks that name).
bool chooseItemByNumber(const QvxDeviceModel &model, const QStringList &names, QvxControlItem **item,
                        InputManager *input, std::atomic<bool> &cancelFlag);

// The exact name first (hidden items too), else the chooser over the partial
// matches; a single letter is matched whole only. False only when the chooser
// was cancelled; true with a null *item when nothing matches.
bool lookUpItem(const QvxDeviceModel &model, const QString &name, QvxControlItem **item, InputManager *input,
                std::atomic<bool> &cancelFlag);
