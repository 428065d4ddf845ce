#pragma once
// What the description header and the description reader share: attribute
// lookup, the value kinds of the format, and the steps of one pass over a
// file with the streaming reader.

#include "device/QvxDescriptionHeader.h"

#include <QString>
#include <QXmlStreamReader>

namespace description_xml {

using Attributes = QXmlStreamAttributes;

// An absent attribute reads its default text; a present but empty one reads
// as empty text (so RW="" is 0, not the default 1).
inline QString attr(const Attributes &attributes, const char *name, const QString &fallback = QString())
{
    const QLatin1String key(name);
    for (const QXmlStreamAttribute &attribute : attributes)
        if (attribute.qualifiedName() == key)
            return attribute.value().toString();
    return fallback;
}

inline bool isElement(const QXmlStreamReader &xml, const char *name)
{
    return xml.qualifiedName() == QLatin1String(name);
}

inline int toInt(const QString &text)
{
    return text.toInt(nullptr, 10); // 0 when not a number or outside 32 bits
}

inline quint16 toU16(const QString &text)
{
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok, 10);
    return ok && v <= 0xFFFF ? static_cast<quint16>(v) : 0;
}

// The key of the description whose root element has these attributes.
QvxModelKey keyOf(const Attributes &device);

// Names are taken as written, prefix and all. The reading then goes up to the
// root through xml_safety::readToRoot.
void startReading(QXmlStreamReader &xml);

// Past the root's start, the three steps below refuse a document type
// declaration as the document builder the loader once used refused it, so a
// file costs the warning it always did.

// The next start element inside the current element; false at its end or on an error.
bool readNextChild(QXmlStreamReader &xml);
// Reads to the end of the current element, past all it holds.
void skipElement(QXmlStreamReader &xml);
// Reads what is left of the file; true when all of it was well-formed.
bool readToEnd(QXmlStreamReader &xml);
// The reader's error; `refused` marks a refusal of xml_safety::readToRoot.
QvxXmlError errorOf(const QXmlStreamReader &xml, bool refused = false);

} // namespace description_xml
