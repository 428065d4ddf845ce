#pragma once
// One control-table item of a device model: the texts its description gives it,
// the last raw value read from the device, and the operations that give that
// value its meaning (sign, labels, scale, unit and limits chosen by conditions).

#include <QString>
#include <QStringList>

struct QvxDeviceModel;

struct QvxControlItem
{
    // Largest run of numbers a description may expand into separate entries
    // (value labels, numbered items); longer runs are cut here.
    static constexpr qint64 kMaxRangeCount = 65536;

    QString name;
    QString min;           // decimal, "addr<N>" or "-addr<N>" (value of the item at address N)
    QString max;
    QString label;         // ":"-separated; "{0}" stands for the index, "~" repeats the entry before it
    QString signCondition;
    QString unit;          // ":"-separated alternatives, chosen by unitCondition
    QString scale;
    QString unitCondition; // entries "addr<N>&<mask>"
    QString minMaxCondition; // entries "addr<N>==<value>"
    int init = 0;
    quint32 sign = 0;      // raw values at or above this threshold are negative; 0 = unsigned
    int direction = 0;
    int minimumVersion = 0;
    int value = 0;         // last raw value read; the device operations store into it
    quint16 address = 0;
    quint16 length = 0;    // bytes
    quint8 memory = 0;
    quint8 rw = 1;
    quint8 multi = 0;
    quint8 ui = 0;
    bool hidden = false;
    QStringList labels;
    QStringList units;
    QStringList scales;
    QStringList unitConditions;
    QStringList mins;
    QStringList maxes;
    QStringList minMaxConditions;

    // Whether `value` is to be read as a negative quantity, the referenced
    // items' values taken from `model` (ItemRules); `model` may be null.
    bool isSigned(const QvxDeviceModel *model) const;
    // Converts `value` in place to its signed form when isSigned(model).
    void applySign(const QvxDeviceModel *model);
    // The conversion of applySign without the test.
    void convertSignedValue();
    // `raw` converted by this item's sign threshold and length (what
    // convertSignedValue does to `value`).
    int signConverted(int raw) const;

    // The value-label list, one text per value from `min` to `max`.
    QStringList buildValueLabels() const;
    // Number of values from `min` to `max` (limit texts of the "addr" forms read as 0).
    qint64 labelCount() const;
    // Whether buildValueLabels cuts the list at kMaxRangeCount entries.
    bool labelsCapped() const;
    // `text` as "<text * factor> [unit]" when it is a number, else unchanged.
    static QString labelWithValue(const QString &text, const QString &unit, int factor);

    // `value` times `scale`, with `decimals` places when the scale has a fraction.
    QString actualValueText(int decimals) const;
    // The unit, scale and limits in force, by the values the model's items hold (ItemRules).
    QString conditionalUnit(const QvxDeviceModel *model) const;
    double conditionalScale(const QvxDeviceModel *model) const;
    int conditionalMinimum(const QvxDeviceModel *model) const;
    int conditionalMaximum(const QvxDeviceModel *model) const;
};
