#include "control/ItemLookup.h"

#include "console/io/Console.h"
#include "control/CancelLoan.h"
#include "device/QvxDeviceModel.h"
#include "platform/OutputSink.h"

#include <algorithm>

namespace {

const QString kRule = QString(30, QLatin1Char('-'));

void collectMatches(const QList<QvxControlItem *> &items, const QString &text, QStringList &names)
{
    for (const QvxControlItem *item : items)
        if (item && !item->hidden && item->name.contains(text, Qt::CaseInsensitive))
            names.append(item->name);
}

} // namespace

QList<QvxControlItem *> itemsInOrder(const QvxDeviceModel &model)
{
    QList<QvxControlItem *> items;
    for (QvxControlItem *item : model.items)
        if (item)
            items.append(item);
    for (const QvxItemCategory &category : model.categories)
        for (QvxControlItem *item : category.items)
            if (item)
                items.append(item);
    return items;
}

QStringList matchingItemNames(const QvxDeviceModel &model, const QString &text)
{
    QStringList names;
    collectMatches(model.items, text, names);
    for (const QvxItemCategory &category : model.categories)
        collectMatches(category.items, text, names);
    std::sort(names.begin(), names.end()); // QString's < compares UTF-16 code units
    return names;
}

bool chooseItemByNumber(const QvxDeviceModel &model, const QStringList &names, QvxControlItem **item,
                        InputManager *input, std::atomic<bool> &cancelFlag)
{
    QString list = kRule + QLatin1Char('\n');
    for (qsizetype i = 0; i < names.size(); ++i)
        list += QStringLiteral("%1 : %2\n").arg(i + 1).arg(names.at(i));
    platform::OutputSink::write(list + kRule + QLatin1Char('\n'));

    const CancelLoan loan(input, cancelFlag);
    const QString prompt =
        QStringLiteral("Choose item number (1-%1, press Ctrl+C to cancel): ").arg(names.size());
    for (;;) {
        const std::optional<QString> answer = loan.askNonEmpty(prompt);
        if (!answer)
            return false;
        bool ok = false;
        const int number = answer->toInt(&ok, 10);
        if (!ok || number < 1 || number > names.size()) {
            Console::instance().printError(QStringLiteral("Invalid index"));
            continue;
        }
        *item = model.itemsByName.value(names.at(number - 1));
        return true;
    }
}

bool lookUpItem(const QvxDeviceModel &model, const QString &name, QvxControlItem **item, InputManager *input,
                std::atomic<bool> &cancelFlag)
{
    *item = model.itemsByLowerName.value(name.toLower());
    if (*item)
        return true;
    // A single letter names an item only whole. As a console line it is more
    // likely the answer to a question that was never asked (a "y" piped for
    // an update that turned out not to be needed) than a search, and a menu
    // would take the lines after it for its choices.
    if (name.size() == 1)
        return true;
    const QStringList names = matchingItemNames(model, name);
    if (names.isEmpty())
        return true;
    return chooseItemByNumber(model, names, item, input, cancelFlag);
}
