// QvxControl: the set commands, a direct write and the dialogue, both ending
// in the checked write.

#include "control/QvxControl.h"

#include "console/io/Console.h"
#include "control/ItemPresenter.h"
#include "control/SetDialogue.h"
#include "device/QvxDeviceModel.h"

bool QvxControl::writeChecked(uchar id, const QvxControlItem &item, int value, int length, bool verbose)
{
    const DeviceCore::ItemWrite write = core_.writeItem(id, item, value, length, verbose);
    switch (write.refused) {
    case DeviceCore::ItemWrite::UnsupportedWidth:
        Console::instance().printError(QStringLiteral("Unsupported item length"));
        return false;
    case DeviceCore::ItemWrite::OutOfRange:
        // Refused instead of being cut to its low bytes; every console write
        // (direct or from a dialogue) passes here.
        Console::instance().printError(QStringLiteral("Value for %1 must be between %2 and %3")
                                           .arg(item.name, QString::number(write.lowest),
                                                QString::number(write.highest)));
        return false;
    case DeviceCore::ItemWrite::None:
        break;
    }
    return checkResult(id, write.reply.result, write.reply.error);
}

void QvxControl::setItem(uchar id, const QString &name, int value, bool verbose)
{
    QvxControlItem *item = nullptr;
    const QvxDeviceModel *model = identifyItem(id, name, &item);
    if (!model)
        return;
    if (writeChecked(id, *item, value, item->length, verbose))
        Console::instance().printSuccess(QStringLiteral("write %1 %2 OK").arg(item->name, QString::number(value)));
}

void QvxControl::setItemInteractive(uchar id, const QString &name)
{
    QvxControlItem *item = nullptr;
    const QvxDeviceModel *model = identifyItem(id, name, &item);
    if (!model)
        return;
    // One presenter for the whole dialogue: an item its row, bounds or scale
    // refer to is read from the device once.
    const ItemPresenter presenter = devicePresenter(id, model);
    // The set row has ", " after the decimal column.
    if (!readAndShowItem(id, presenter, item, false, QStringLiteral(", ")))
        return;

    SetDialogue dialogue(inputManager_, cancelFlag_, [this, id, item](int newValue, int length) {
        return writeChecked(id, *item, newValue, length, false);
    });
    if (item->ui == 9) {
        dialogue.enterBits(*item);
        return;
    }
    // A choice and a typed value keep to the same bounds.
    const int minimum = presenter.rules().minimum(*item);
    const int maximum = presenter.rules().maximum(*item);
    if (item->ui == 3)
        dialogue.chooseValue(*item, minimum, maximum);
    else
        dialogue.enterValue(*item, minimum, maximum, [&] { return presenter.scaleLine(*item); });
}
