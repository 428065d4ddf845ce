#pragma once
// The quick look at a description file: whether it is well-formed XML, whether
// its root is "Device", and its key. Reads every byte but builds nothing.

#include "device/QvxDeviceModel.h"

#include <QByteArrayView>
#include <QString>

class QIODevice;

// Where and why a file is not well-formed XML, in the XML parser's own words.
struct QvxXmlError
{
    QString message;
    qint64 line = 0;
    qint64 column = 0;
};

struct QvxDescriptionHeader
{
    bool wellFormed = false;
    bool device = false; // the root element is "Device"
    QvxModelKey key;     // of a device only: its ModelNumber and MinimumVersion
    QvxXmlError error;   // when not well-formed
};

// Reads the rest of the file (as its open mode gives it: the registry opens in
// text mode, which drops carriage returns) and looks at it.
QvxDescriptionHeader readDescriptionHeader(QIODevice &file);
// The same for a file's bytes as text mode reads them.
QvxDescriptionHeader readDescriptionHeader(QByteArrayView bytes);
