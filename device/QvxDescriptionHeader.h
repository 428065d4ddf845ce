#pragma once
// The quick look at a description file: whether it is well-formed XML, whether
// its root is "Device", and its key. Reads every byte but builds nothing.

#include "device/QvxDeviceModel.h"

#include <QByteArrayView>
#include <QString>

class QIODevice;

// Where and why a file is not well-formed XML, in the XML parser's own words,
// or why it was refused unread.
struct QvxXmlError
{
    QString message;
    qint64 line = 0;   // 0 when the reason has no place in the text
    qint64 column = 0;
    // Beyond a bound of the files read at start (xml_safety): too large, or
    // declaring entities. Not a fault of the XML; `message` gives the bound.
    bool refused = false;
};

// Description files are read whole at start: one larger than this is refused,
// some seventy times the largest built-in description.
constexpr qint64 kMaxDescriptionBytes = 1024 * 1024;
// The refusal of a file larger than kMaxDescriptionBytes.
QvxXmlError oversizedDescription();

struct QvxDescriptionHeader
{
    bool wellFormed = false;
    bool device = false; // the root element is "Device"
    QvxModelKey key;     // of a device only: its ModelNumber and MinimumVersion
    QvxXmlError error;   // when not well-formed or refused
};

// Reads the rest of the file (as its open mode gives it: the registry opens in
// text mode, which drops carriage returns) and looks at it; a file of more
// than kMaxDescriptionBytes is refused.
QvxDescriptionHeader readDescriptionHeader(QIODevice &file);
// The same for a file's bytes as text mode reads them (their size not checked).
QvxDescriptionHeader readDescriptionHeader(QByteArrayView bytes);
