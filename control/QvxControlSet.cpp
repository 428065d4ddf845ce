// QvxControl: the set commands, a direct write and the dialogue.

#include "control/QvxControl.h"

#include "console/io/Console.h"
#include "control/ItemPresenter.h"
#include "control/SetDialogue.h"
#include "device/QvxDeviceModel.h"

bool QvxControl::findNamedItem(const QvxDeviceModel &model, const QString &name, QvxControlItem **item)
{
    if (!findItem(model, name, item))
        return false; // the chooser was cancelled: nothing more to say
    if (!*item) {
        Console::instance().printError(QStringLiteral("Item not found: ") + name);
        return false;
    }
    return true;
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
    switch (item->ui) {
    case 3:
        dialogue.chooseValue(*item, presenter.rules().minimum(*item));
        break;
    case 9:
        dialogue.enterBits(*item);
        break;
    default: {
        const int minimum = presenter.rules().minimum(*item);
        const int maximum = presenter.rules().maximum(*item);
        dialogue.enterValue(*item, minimum, maximum, [&] { return presenter.scaleLine(*item); });
        break;
    }
    }
}
