#pragma once
// The rules by which other items give a control item's value its meaning: the
// sign rule of its minimum text, the unit conditions that choose its unit and
// scale, and the min/max conditions and limit texts of its input bounds.
//
// The values of the referenced items come from a value source: the values the
// model's items hold now (a table image), or a read of each item from the
// device. A reference names an item by its address ("addr<N>", "-addr<N>"). A
// reference that does not read as an address, or whose address the model has
// no item at, asks the source nothing: the rule that made it does not hold,
// and a limit text with it counts as 0.

#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

struct QvxControlItem;
struct QvxDeviceModel;

class ItemRules
{
public:
    using ValueSource = std::function<int(QvxControlItem &item)>;

    // Referenced values are those the model's items hold when a rule asks.
    // `model` may be null: then nothing is referenced.
    explicit ItemRules(const QvxDeviceModel *model);
    // Referenced values come from `source`, each item asked at most once
    // during the life of this object (one row or one command).
    ItemRules(const QvxDeviceModel *model, ValueSource source);

    const QvxDeviceModel *model() const { return model_; }

    // Whether the item's current value reads as a negative quantity: at or
    // above its sign threshold, a negative decimal minimum, or a minimum
    // "-addr<N>" while the item at N is above 0 ("addr<N>": below 0).
    bool isSigned(const QvxControlItem &item) const;

    // Position of the first "addr<N>&<mask>" entry that holds; the last position when none does.
    int conditionIndex(const QStringList &conditions) const;
    // The unit and the scale text in force (the scale text is empty when the item has none).
    QString unit(const QvxControlItem &item) const;
    QString scale(const QvxControlItem &item) const;
    // Lowest and highest value accepted as input; 0 without a model and for texts that give no number.
    int minimum(const QvxControlItem &item) const;
    int maximum(const QvxControlItem &item) const;

private:
    // The value of the item a reference names: `text` with every `marker`
    // removed is its address. Nothing when there is no such item.
    std::optional<int> referencedValue(const QString &text, const QString &marker) const;
    bool bitConditionHolds(const QString &entry) const;
    bool equalityConditionHolds(const QString &entry) const;
    QString limitText(const QvxControlItem &item, const QStringList &limits, const QString &plain) const;
    int limitValue(const QString &text, bool allowNegated) const;

    const QvxDeviceModel *model_;
    ValueSource source_;
    bool askOnce_;
    mutable QHash<int, int> asked_; // address -> value, when askOnce_
};
