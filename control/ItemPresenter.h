#pragma once
// How a control-table item is shown in the console: its columns (address,
// name, decimal, hexadecimal and a value column that names the value, its set
// bits, a dotted quad or the scaled value with its unit), the unit, scale and
// input bounds that conditions on other items select, and whether the value
// reads as signed.
//
// Conditions, bounds and sign tests look at the values of other items
// (ItemRules). Where those come from is the caller's choice: device reads for
// the rows of one item (each referenced item read once per presenter), or the
// values already decoded from one whole-table image for a table.

#include "device/ItemRules.h"

#include <QString>
#include <QStringList>

struct QvxControlItem;
struct QvxDeviceModel;

class ItemPresenter
{
public:
    // `model` may be null: then no item refers to another. Each referenced
    // item is asked of `valueOf` once during the presenter's life.
    ItemPresenter(const QvxDeviceModel *model, ItemRules::ValueSource valueOf);
    // Referenced values are those the model's items hold now (table rows).
    explicit ItemPresenter(const QvxDeviceModel *model);

    const ItemRules &rules() const { return rules_; }
    bool isSigned(const QvxControlItem &item) const { return rules_.isSigned(item); }
    // Converts item.value to its signed reading when isSigned holds.
    void convertIfSigned(QvxControlItem &item) const;
    // The number a converted value stands for (ItemValue.h), as every column shows it.
    qint64 number(const QvxControlItem &item) const;
    QString unit(const QvxControlItem &item) const { return rules_.unit(item); }
    // The scale text in force; "1" for an item without a scale.
    QString scale(const QvxControlItem &item) const;

    // Columns, without separators or line end.
    static QString addressColumn(const QvxControlItem &item);
    // The name padded to 25 bytes of UTF-8; `cut` first shortens it to 25 characters.
    static QString nameColumn(const QvxControlItem &item, bool cut);
    // Makes the sign conversion first, so that the columns after it show the converted value.
    QString decimalColumn(QvxControlItem &item) const;
    static QString hexColumn(const QvxControlItem &item);
    // The value's label; "Error" below the first labelled value, nothing past the labels.
    QString enumColumn(const QvxControlItem &item) const;
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
    const QvxDeviceModel *model_;
    ItemRules rules_;
};
