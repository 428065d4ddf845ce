// QvxControl: item lookup, and item values read from the device and shown in
// rows; get (once and continuously), table and status.

#include "control/QvxControl.h"

#include "comm/ItemWidth.h"
#include "console/io/Console.h"
#include "console/io/InputManager.h"
#include "control/CancelLoan.h"
#include "control/ItemLookup.h"
#include "control/ItemPresenter.h"
#include "device/DeviceConstants.h"
#include "device/QvxDeviceModel.h"
#include "fw/QvxFirmware.h"
#include "platform/KeyInput.h"
#include "platform/OutputSink.h"
#include "platform/Terminal.h"

#include <QThread>

namespace {

const QString kSeparator = QStringLiteral(" : ");

void write(const QString &text)
{
    platform::OutputSink::write(text);
}

} // namespace

int consoleWindowHeight()
{
    const int rows = platform::terminalRows();
    return rows > 0 ? rows : 20;
}

int tableRowsPerPage(int visibleRows)
{
    if (visibleRows <= 0)
        return 17; // not a terminal
    return std::max(visibleRows - 3, 5);
}

// ----- Presentation with device reads

ItemPresenter QvxControl::devicePresenter(uchar id, const QvxDeviceModel *model)
{
    return ItemPresenter(model, [this, id](QvxControlItem &item) { return readItem(id, &item); });
}

int QvxControl::readItem(uchar id, QvxControlItem *item)
{
    if (!item || !isTransferWidth(item->length))
        return 0;
    const DeviceCore::ItemRead read = core_.readItem(id, *item, false);
    return checkResult(id, read.reply.result, read.reply.error) ? read.value : 0;
}

bool QvxControl::isItemSigned(uchar id, QvxControlItem *item, const QvxDeviceModel *model)
{
    return item && devicePresenter(id, model).isSigned(*item);
}

void QvxControl::signedItemValue(uchar id, QvxControlItem *item, const QvxDeviceModel *model)
{
    if (item)
        devicePresenter(id, model).convertIfSigned(*item);
}

QString QvxControl::selectUnit(uchar id, QvxControlItem *item, const QvxDeviceModel *model)
{
    return devicePresenter(id, model).unit(*item);
}

QString QvxControl::selectScale(uchar id, QvxControlItem *item, const QvxDeviceModel *model)
{
    return devicePresenter(id, model).scale(*item);
}

int QvxControl::itemMinimum(uchar id, QvxControlItem *item, const QvxDeviceModel *model)
{
    return item ? devicePresenter(id, model).rules().minimum(*item) : 0;
}

int QvxControl::itemMaximum(uchar id, QvxControlItem *item, const QvxDeviceModel *model)
{
    return item ? devicePresenter(id, model).rules().maximum(*item) : 0;
}

void QvxControl::printDecimalValue(uchar id, QvxControlItem *item, const QvxDeviceModel *model)
{
    write(devicePresenter(id, model).decimalColumn(*item));
}

void QvxControl::printScaledValue(uchar id, QvxControlItem *item, const QvxDeviceModel *model)
{
    write(devicePresenter(id, model).scaledColumn(*item));
}

void QvxControl::printValueColumn(uchar id, QvxControlItem *item, const QvxDeviceModel *model)
{
    write(devicePresenter(id, model).valueColumn(*item));
}

void QvxControl::printScale(uchar id, QvxControlItem *item, const QvxDeviceModel *model)
{
    write(devicePresenter(id, model).scaleLine(*item));
}

void QvxControl::printStatusRow(uchar id, const QString &label, const QString &itemName,
                                const QvxDeviceModel *model)
{
    QvxControlItem *item = model ? model->itemsByName.value(itemName) : nullptr;
    if (!item)
        return;
    item->value = readItem(id, item);
    const ItemPresenter presenter = devicePresenter(id, model);
    presenter.convertIfSigned(*item);
    write(QString::asprintf("%-15s", label.toUtf8().constData()) + kSeparator);
    write(presenter.valueColumn(*item) + QLatin1Char('\n'));
}

// Address, name, decimal, hexadecimal and value columns, written one by one:
// a device read behind a column may print its error line before that column.
void QvxControl::printColumns(const ItemPresenter &presenter, QvxControlItem *item, const QString &head,
                              const QString &afterDecimal, const QString &end)
{
    write(head);
    write(presenter.decimalColumn(*item));
    write(afterDecimal);
    write(ItemPresenter::hexColumn(*item));
    write(kSeparator);
    write(presenter.valueColumn(*item));
    write(end);
}

// ----- Item lookup

bool QvxControl::findItem(const QvxDeviceModel &model, const QString &name, QvxControlItem **item)
{
    return lookUpItem(model, name, item, inputManager_, cancelFlag_);
}

bool QvxControl::chooseItem(const QvxDeviceModel &model, const QStringList &names, QvxControlItem **item)
{
    return chooseItemByNumber(model, names, item, inputManager_, cancelFlag_);
}

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

// ----- Get

const QvxDeviceModel *QvxControl::identifyItem(uchar id, const QString &name, QvxControlItem **item)
{
    const QvxDeviceModel *model = identify(id);
    if (!model || !findNamedItem(*model, name, item))
        return nullptr;
    return model;
}

bool QvxControl::hasSupportedLength(const QvxControlItem &item)
{
    if (isTransferWidth(item.length))
        return true;
    Console::instance().printError(QStringLiteral("Unsupported item length"));
    return false;
}

bool QvxControl::readChecked(uchar id, const QvxControlItem &item, int *value, bool verbose)
{
    if (!hasSupportedLength(item))
        return false;
    const DeviceCore::ItemRead read = core_.readItem(id, item, verbose);
    *value = read.value;
    return checkResult(id, read.reply.result, read.reply.error);
}

bool QvxControl::readAndShowItem(uchar id, const ItemPresenter &presenter, QvxControlItem *item, bool verbose,
                                 const QString &afterDecimal)
{
    int value = 0;
    if (!readChecked(id, *item, &value, verbose))
        return false;
    item->value = value;
    const QString head =
        ItemPresenter::addressColumn(*item) + kSeparator + ItemPresenter::nameColumn(*item, false) + kSeparator;
    printColumns(presenter, item, head, afterDecimal, QStringLiteral("\n"));
    return true;
}

void QvxControl::printItem(uchar id, const QString &name, bool verbose)
{
    QvxControlItem *item = nullptr;
    if (const QvxDeviceModel *model = identifyItem(id, name, &item))
        readAndShowItem(id, devicePresenter(id, model), item, verbose, kSeparator);
}

void QvxControl::getItem(uchar id, const QString &name, bool continuous, bool verbose)
{
    if (!continuous) {
        printItem(id, name, verbose);
        return;
    }
    QvxControlItem *item = nullptr;
    const QvxDeviceModel *model = identifyItem(id, name, &item);
    if (!model || !hasSupportedLength(*item))
        return;
    write(QStringLiteral("Press Ctrl+C to stop continuous reading...\n"));
    const QString head =
        ItemPresenter::addressColumn(*item) + kSeparator + ItemPresenter::nameColumn(*item, true) + kSeparator;

    platform::KeyInput &keys = inputManager_ ? inputManager_->keyInput() : platform::KeyInput::standardInput();
    {
        const CancelLoan loan(inputManager_, cancelFlag_);
        const platform::KeyMode keyMode; // keys one by one, no echo; Ctrl+C still signals
        for (;;) {
            if (loan.cancelled())
                break;
            // Only the first pending key is looked at: Ctrl+C ends the reading,
            // Enter is dropped, anything else stays for the line editor.
            platform::KeyEvent key;
            if (keys.peek(key)) {
                if (key.ctrl && key.virtualKey == platform::kVkC) {
                    keys.take(key);
                    break;
                }
                if (key.character == U'\r' || key.character == U'\n')
                    keys.take(key);
            }
            int value = 0;
            if (readChecked(id, *item, &value, verbose)) {
                item->value = value;
                const ItemPresenter presenter = devicePresenter(id, model); // referenced items read once a row
                if (verbose)
                    printColumns(presenter, item, head, kSeparator, QStringLiteral("\n"));
                else
                    printColumns(presenter, item, QLatin1Char('\r') + head, kSeparator, QStringLiteral("   "));
            }
            // Piped input that has run out can no longer bring a Ctrl+C: its
            // end stops the reading like one (after at least one row), and
            // the console's next read ends the console.
            if (keys.atEnd())
                break;
            QThread::msleep(100);
        }
    }
    if (!verbose)
        write(QStringLiteral("\n"));
}

// ----- Table

void QvxControl::printTable(uchar id, bool paged, bool verbose, ushort start, ushort end)
{
    const QvxDeviceModel *model = identify(id);
    if (!model)
        return;
    const DeviceCore::TableRead table = core_.readTable(id, *model, start, end, verbose);
    if (table.tooLarge) {
        Console::instance().printError(DeviceCore::tableTooLargeText(*model));
        return;
    }
    if (!checkResult(id, table.reply.result, table.reply.error))
        return;

    const QList<QvxControlItem *> &rows = table.rows;
    const ItemPresenter presenter(model);
    const CancelLoan loan(inputManager_, cancelFlag_);
    // An unpaged table is one page: written at once, not a write per row.
    const qsizetype perPage = paged ? tableRowsPerPage(platform::terminalRows()) : rows.size();
    for (qsizetype next = 0;;) {
        if (loan.cancelled())
            return;
        QString page;
        for (const qsizetype last = std::min(next + perPage, rows.size()); next < last; ++next)
            page += presenter.tableRow(*rows.at(next));
        write(page);
        if (!paged || next >= rows.size() || cancelFlag_.load())
            return;
        const std::optional<QString> answer = loan.ask(QStringLiteral("-- Press Enter to continue (press 'q' to quit) --\n"));
        if (!answer || answer->trimmed().toLower() == QLatin1String("q"))
            return;
    }
}

// ----- Status

void QvxControl::printStatus(uchar id)
{
    const QvxDeviceModel *model = identify(id);
    if (!model)
        return;
    const QString rule = QString(50, QLatin1Char('-')) + QLatin1Char('\n');
    const auto &rows = DeviceCore::statusRows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i == 0 || i == DeviceCore::kStatusSecondGroup)
            write(rule);
        printStatusRow(id, QString::fromUtf8(rows[i].label), rows[i].item, model);
    }
}

// ----- Presentation that needs no device

QStringList QvxControl::findItems(const QvxDeviceModel &model, const QString &text)
{
    return matchingItemNames(model, text);
}

void QvxControl::printHexValue(const QvxControlItem *item)
{
    write(ItemPresenter::hexColumn(*item));
}

void QvxControl::printEnumValue(const QvxControlItem *item)
{
    write(ItemPresenter(nullptr).enumColumn(*item)); // without a model: its sign threshold and Min alone
}

void QvxControl::printBitNames(const QvxControlItem *item)
{
    write(ItemPresenter::bitNamesColumn(*item));
}

void QvxControl::printDottedQuad(const QvxControlItem *item)
{
    write(ItemPresenter::dottedQuadColumn(*item));
}

void QvxControl::printTableRow(QvxControlItem *item, const QvxDeviceModel *model)
{
    write(ItemPresenter(model).tableRow(*item));
}
