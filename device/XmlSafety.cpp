#include "device/XmlSafety.h"

#include "platform/FileContents.h"

#include <QIODevice>

namespace xml_safety {

bool readBounded(QIODevice &file, qint64 limit, QByteArray *bytes)
{
    if (!file.isTextModeEnabled() || file.isSequential()) {
        *bytes = platform::readAtMost(file, limit + 1);
        return bytes->size() <= limit;
    }
    // Text mode reads byte by byte to drop carriage returns, and its count is
    // not the file's: the bytes are read as they are, and once more in text
    // mode only when they hold a carriage return.
    const qint64 start = file.pos();
    file.setTextModeEnabled(false);
    *bytes = platform::readAtMost(file, limit + 1);
    file.setTextModeEnabled(true);
    if (bytes->size() > limit)
        return false;
    if (bytes->contains('\r') && file.seek(start))
        *bytes = platform::readAtMost(file, limit);
    return true;
}

QString largerThan(qint64 limit)
{
    return QStringLiteral("larger than %1 bytes").arg(limit);
}

Prologue readToRoot(QXmlStreamReader &xml)
{
    int declarations = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.hasError())
            return Prologue::Broken;
        if (xml.isDTD()) {
            if (++declarations > 1) {
                xml.raiseError(QStringLiteral("Multiple DTD sections are not allowed"));
                return Prologue::Broken;
            }
            // The reader lists every entity the declaration declares, parameter
            // entities included, and has expanded none of them yet.
            if (!xml.entityDeclarations().isEmpty()) {
                xml.raiseError(QStringLiteral("an entity declaration"));
                return Prologue::Refused;
            }
        }
        if (xml.isStartElement())
            return Prologue::Root;
    }
    return Prologue::Broken;
}

} // namespace xml_safety
