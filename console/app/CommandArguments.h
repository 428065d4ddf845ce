#pragma once
// How the console commands read their words: flags, device IDs, item names and
// values, ranges, baud rates, times. Every rule prints its own error line (see
// each function) and says by its result whether the command goes on; none of
// them touches a device. Word lists are the loop's: word 0 is the command word.
//
// Where a line leaves the device ID out, the ID comes from CommandContext: the
// ID of the last device command, else the answer of the ID prompt.

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Highest device ID a console command accepts.
constexpr uint kMaxDeviceId = 252;

// What the rules need from the console around them.
struct CommandContext
{
    // ID of the last device command; -1 before the first.
    int lastId = -1;
    // Asks the user for a device ID; false when cancelled (Ctrl+C, end of input).
    std::function<bool(uchar &id)> promptDeviceId;
    // Whether the device with this ID has a visible item whose name contains
    // `name` (case ignored); the device is pinged for it.
    std::function<bool(uchar id, const QString &name)> itemNameExists;

    // The ID for a line without one: the last ID, else the prompt's answer.
    bool defaultDeviceId(uchar &id) const;
};

// Removes every word from position 1 on that equals either form exactly;
// true when at least one was removed. Word 0 is never looked at.
bool removeFlag(QStringList &words, const QString &shortForm, const QString &longForm);

// Word `first` trimmed, then every further word before `end` trimmed, each
// after one blank. Word `first` must exist.
QString joinFields(const QStringList &words, qsizetype first, qsizetype end);

// Whether the word is a whole number as the console reads one: an optional
// sign and decimal digits, nothing else. Blanks around the digits (a tab, a
// no-break space) make it no number: such a word is refused where a number
// belongs, never read as one nor as a name.
bool isIntegerWord(const QString &word);
// The number of an integer word, nullopt for any other word or one that does
// not fit in an int.
std::optional<int> integerWord(const QString &word);

// An unsigned decimal device ID of at most kMaxDeviceId; silent.
bool parseDeviceId(const QString &word, uchar &id);

// The ID of ping, reset, reboot, status and table: word 1 when there is one
// (anything but a valid ID is an error line), else the default ID.
bool resolveDeviceId(const QStringList &words, uchar &id, const CommandContext &context);

// ---- get and set ----

// The ID and the index of the first item word of a get line (`name` is the
// command's name in the messages, `minimum` the least word count).
bool resolveIdAndItem(const QStringList &words, uchar &id, int &first, const QString &name, int minimum,
                      const CommandContext &context);
// The same for a set line of at least two words.
bool resolveSetDeviceId(const QStringList &words, uchar &id, int &first, const CommandContext &context);
// Index of the value word of a set line, or -1: the last word when it is an
// integer, unless the item words together with it name an item of the device.
int findSetValueIndex(const QStringList &words, uchar id, int first, const CommandContext &context);

struct SetRequest
{
    uchar id = 0;
    QString itemName;
    bool hasValue = false;
    int value = 0;
    int firstItemIndex = 0;
    int valueIndex = -1;
};
// Splits a set line into ID, item name and optional value, and announces the
// write with an information line ("Setting <name> to <value>").
bool parseSetArguments(const QStringList &words, SetRequest &request, const CommandContext &context);

// ---- the other commands ----

struct ScanArguments
{
    enum Kind { Rejected, Everything, Range } kind = Rejected;
    uchar first = 0;
    uchar last = 0;
};
// No argument scans everything; one "first-last" argument a range of IDs.
// Errors: "Wrong range", "Wrong parameter".
ScanArguments parseScanArguments(const QStringList &words);

struct AddressRange
{
    ushort start = 0;
    ushort end = 65535;
};
// "start-end" with 0 <= start <= end <= 65535; silent.
bool parseAddressRange(const QString &word, AddressRange &range);
// The ID and address range of a table line (flags removed).
bool resolveTableArguments(const QStringList &words, uchar &id, AddressRange &range, const CommandContext &context);

// A baud rate word: a positive decimal integer; otherwise the error line
// "Invalid baudrate: <word>. Must be a positive integer".
bool parseBaudRate(const QString &word, int &baudRate);
// The prompt's name of a rate: "1Mbps" for 1000000, else e.g. "600bps".
QString baudRateText(int baudRate);

// The extra time-out of a timeout line in ms. A word that is no unsigned
// number means 0; a number above the largest signed 32-bit value is refused
// with an error line, since the engines add it to their time-outs as an int.
// nullopt (after a message) when the line gives no usable time.
std::optional<uint> parseTimeout(const QStringList &words);

// Exactly "clear <id> <1|2|10>" (flags removed).
bool parseClearArguments(const QStringList &words, uchar &id, int &parameter);

// The ID of an update line: word 1, else the last ID; never asks.
bool resolveUpdateId(const QStringList &words, int lastId, uchar &id);
