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
    // A second document type declaration is refused here, as the document
    // builder the loader once used refused it: a file costs the warning it always did.
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

bool readToEnd(QXmlStreamReader &xml)
{
    while (!xml.atEnd())
        xml.readNext();
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
