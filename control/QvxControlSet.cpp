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
        Console::instance().printSuccess(QStringLiteral("write %1 %2 OK").arg(item->name).arg(value));
}

void QvxControl::setItemInteractive(uchar id, const QString &name)
{
    // The set row has ", " after the decimal column.
    QvxControlItem *item = nullptr;
    const QvxDeviceModel *model = readAndShowItem(id, name, false, QStringLiteral(", "), &item);
    if (!model)
        return;

    SetDialogue dialogue(inputManager_, cancelFlag_, [this, id, item](int newValue, int length) {
        return writeChecked(id, *item, newValue, length, false);
    });
    switch (item->ui) {
    case 3:
        dialogue.chooseValue(*item, itemMinimum(id, item, model));
        break;
    case 9:
        dialogue.enterBits(*item);
        break;
    default: {
        const int minimum = itemMinimum(id, item, model);
        const int maximum = itemMaximum(id, item, model);
        dialogue.enterValue(*item, minimum, maximum,
                            [&] { return devicePresenter(id, model).scaleLine(*item); });
        break;
    }
    }
}
