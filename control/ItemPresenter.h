#pragma once
// How a control-table item is shown in the console: its columns (address,
// name, decimal, hexadecimal and a value column that names the value, its set
// bits, a dotted quad or the scaled value with its unit), the unit, scale and
// input bounds that conditions on other items select, and whether the value
// reads as signed.
//
// Conditions, bounds and sign tests look at the values of other items. Where
// those come from is the caller's choice: a device read per test for the rows
// of one item, or the values already decoded from one whole-table image for a
// table. An address the model does not describe counts as 0 without asking.

#include <QString>
#include <QStringList>

#include <functional>

struct QvxControlItem;
struct QvxDeviceModel;

class ItemPresenter
{
public:
    using ValueSource = std::function<int(QvxControlItem &item)>;

    // `model` may be null: then no item refers to another.
    ItemPresenter(const QvxDeviceModel *model, ValueSource valueOf);
    // Referenced values are those the model's items hold now (table rows).
    explicit ItemPresenter(const QvxDeviceModel *model);

    // The value of the item at `address`, 0 when the model describes none.
    int valueAt(int address) const;

    bool isSigned(const QvxControlItem &item) const;
    // Converts item.value to its signed reading when isSigned holds.
    void convertIfSigned(QvxControlItem &item) const;

    // Position of the first "addr<N>&<mask>" entry that holds; the last position when none does.
    int conditionIndex(const QStringList &conditions) const;
    QString unit(const QvxControlItem &item) const;
    QString scale(const QvxControlItem &item) const;
    // Lowest and highest value accepted as input; 0 for texts that give no number.
    int minimum(const QvxControlItem &item) const;
    int maximum(const QvxControlItem &item) const;

    // Columns, without separators or line end.
    static QString addressColumn(const QvxControlItem &item);
    // The name padded to 25 bytes of UTF-8; `cut` first shortens it to 25 characters.
    static QString nameColumn(const QvxControlItem &item, bool cut);
    // Makes the sign conversion first, so that the columns after it show the converted value.
    QString decimalColumn(QvxControlItem &item) const;
    static QString hexColumn(const QvxControlItem &item);
    static QString enumColumn(const QvxControlItem &item);
    static QString bitNamesColumn(const QvxControlItem &item);
    static QString dottedQuadColumn(const QvxControlItem &item);
    QString scaledColumn(const QvxControlItem &item) const;
    // By the item's display kind; the "Model Number" item shows the model's name.
    QString valueColumn(const QvxControlItem &item) const;
    // The scale and unit of the set dialogue: "0.229 [rev/min]", "1 [ms]", or the scale alone.
    QString scaleLine(const QvxControlItem &item) const;

    // One table row with its line end, from the values the model's items hold
    // (converted in place); empty for a hidden item.
    QString tableRow(QvxControlItem &item) const;

private:
    QvxControlItem *itemAt(int address) const;
    // The values of the model's items as the value source gives them.
    std::function<bool(int address, int *value)> referencedValues() const;
    bool bitConditionHolds(const QString &entry) const;
    bool equalityConditionHolds(const QString &entry) const;
    QString boundText(const QvxControlItem &item, const QStringList &bounds, const QString &plain) const;
    int bound(const QString &text, bool allowNegated) const;

    const QvxDeviceModel *model_;
    ValueSource valueOf_;
};
