#pragma once
// The device work both front ends share, answering with values instead of
// printing: identify a device, read or write one item (with the width check),
// read the control table into an image, reset, reboot and clear, and the rows
// of the status. It prints nothing but the packet trace it is asked for: the
// console prints what it answers, script mode turns it into command results.
//
// It works on the transport and the model registry of its owner (QvxControl)
// and holds the whole-table buffer.

#include "comm/CommResult.h"
#include "comm/DeviceCompletion.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <utility>

class QvxComm;
class QvxModelRegistry;
class QvxPort;
struct QvxControlItem;
struct QvxDeviceModel;

// The outcome of one exchange: the transport's result code, the error byte of
// the device's status, and whether that byte reports an error for the
// protocol spoken.
struct BusReply
{
    int result = COMM_OK;
    uchar error = 0;
    bool statusError = false;

    bool ok() const { return result == COMM_OK && !statusError; }
};

class DeviceCore
{
public:
    // Bytes of the whole-table buffer; a description whose table is larger is refused.
    static constexpr int kTableBufferSize = 4096;

    DeviceCore(QvxPort &transport, QvxModelRegistry &registry);

    BusReply reply(int result, uchar error) const;

    struct Identity
    {
        BusReply reply;
        ushort modelNumber = 0;
        uchar firmware = 0;
        const QvxDeviceModel *model = nullptr; // null when the device has no description
    };
    // Pings the device; when it answers, finds its description.
    Identity identify(uchar id, bool verbose);

    struct ItemRead
    {
        bool widthSupported = true; // false: nothing was read
        BusReply reply;
        int value = 0; // 1- and 2-byte values unsigned, 4-byte values as 32 signed bits

        bool ok() const { return widthSupported && reply.ok(); }
    };
    ItemRead readItem(uchar id, const QvxControlItem &item, bool verbose);

    struct ItemWrite
    {
        enum Refusal { None, UnsupportedWidth, OutOfRange };
        Refusal refused = None; // anything but None: nothing was written
        int lowest = 0;         // the values the width carries, for OutOfRange
        int highest = 0;
        BusReply reply;

        bool ok() const { return refused == None && reply.ok(); }
    };
    // A write of `length` bytes; a value that width cannot carry is refused,
    // never cut to its low bytes.
    ItemWrite writeItem(uchar id, const QvxControlItem &item, int value, int length, bool verbose);

    struct TableRead
    {
        bool tooLarge = false; // the description's table exceeds the buffer; nothing was read
        BusReply reply;
        QList<QvxControlItem *> rows; // the visible items whose bytes meet the range, in table order

        bool ok() const { return !tooLarge && reply.ok(); }
    };
    // One read of the whole table. Every item of the model takes its value
    // from the image (the rules of an item in the range may refer to one
    // outside it); the range 0 to 65535 takes every visible item.
    TableRead readTable(uchar id, const QvxDeviceModel &model, int start, int end, bool verbose);

    // Reset, reboot and clear, with the device's status error byte (a device
    // may refuse them). Clear parameter 10 is the multi-turn clear, never traced.
    BusReply reset(uchar id, bool verbose);
    BusReply reboot(uchar id, bool verbose);
    BusReply clear(uchar id, int parameter, bool verbose);

    // The rows of the status, in order: the console's label, the script key
    // and the item shown. The first group ends before `kStatusSecondGroup`.
    struct StatusRow
    {
        const char *label;
        const char *key;
        const QString &item;
    };
    static const std::array<StatusRow, 13> &statusRows();
    static constexpr int kStatusSecondGroup = 4;

    // The values a write of `length` bytes can carry, read as signed or
    // unsigned; int's whole range for 4 bytes.
    static std::pair<int, int> writableRange(int length);
    // The item's value from a table image (0 when the image ends before the item does).
    static void decodeItemValue(QvxControlItem *item, const QByteArray &table);
    // Why a table larger than the whole-table buffer is not read.
    static QString tableTooLargeText(const QvxDeviceModel &model);

private:
    // Runs reset, reboot, clear or the multi-turn clear as a reply.
    template <class Command>
    BusReply withCompletion(DeviceCompletion completed, Command command);

    QvxPort &transport_;
    QvxModelRegistry &registry_;
    std::array<uchar, kTableBufferSize> tableBuffer_; // zeroed once; each table read fills what it shows
};
