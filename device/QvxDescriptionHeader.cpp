#include "device/QvxDescriptionHeader.h"

#include "device/DescriptionXml.h"

namespace description_xml {

QvxModelKey keyOf(const Attributes &device)
{
    const QString zero = QStringLiteral("0");
    return {toU16(attr(device, "ModelNumber", zero)), toInt(attr(device, "MinimumVersion", zero))};
}

void startReading(QXmlStreamReader &xml)
{
    xml.setNamespaceProcessing(false);
}

bool readToRoot(QXmlStreamReader &xml)
{
    // Before the root one document type declaration is allowed, no more.
    int declarations = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.hasError())
            return false;
        if (xml.isDTD() && ++declarations > 1) {
            xml.raiseError(QStringLiteral("Multiple DTD sections are not allowed"));
            return false;
        }
        if (xml.isStartElement())
            return true;
    }
    return false;
}

namespace {

QXmlStreamReader::TokenType readNextInBody(QXmlStreamReader &xml)
{
    // Reading on after a premature end would try to resume and move the error's position.
    if (xml.hasError())
        return QXmlStreamReader::Invalid;
    if (xml.readNext() != QXmlStreamReader::DTD)
        return xml.tokenType();
    xml.raiseError(QStringLiteral("Unexpected token"));
    return QXmlStreamReader::Invalid;
}

} // namespace

bool readNextChild(QXmlStreamReader &xml)
{
    while (readNextInBody(xml) != QXmlStreamReader::Invalid) {
        if (xml.isEndElement())
            return false;
        if (xml.isStartElement())
            return true;
    }
    return false;
}

void skipElement(QXmlStreamReader &xml)
{
    int depth = 1;
    while (depth > 0 && readNextInBody(xml) != QXmlStreamReader::Invalid) {
        if (xml.isEndElement())
            --depth;
        else if (xml.isStartElement())
            ++depth;
    }
}

bool readToEnd(QXmlStreamReader &xml)
{
    while (!xml.atEnd())
        readNextInBody(xml);
    return !xml.hasError();
}

QvxXmlError errorOf(const QXmlStreamReader &xml)
{
    return {xml.errorString(), xml.lineNumber(), xml.columnNumber()};
}

} // namespace description_xml

QvxDescriptionHeader readDescriptionHeader(QIODevice &file)
{
    using namespace description_xml;
    QvxDescriptionHeader header;
    QXmlStreamReader xml(&file);
    startReading(xml);
    if (readToRoot(xml)) {
        header.device = isElement(xml, "Device");
        if (header.device)
            header.key = keyOf(xml.attributes());
        header.wellFormed = readToEnd(xml);
    }
    if (!header.wellFormed)
        header.error = errorOf(xml);
    return header;
}
