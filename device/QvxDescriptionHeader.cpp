#include "device/QvxDescriptionHeader.h"

#include "device/DescriptionXml.h"

#include <QBuffer>

#include <cstring>
#include <string_view>
#include <vector>

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

namespace {

// A quick pass over the plain XML that descriptions are written in: UTF-8,
// elements, attributes, comments, the five predefined entities. It answers
// only "well-formed" and then gives the root and the key; whatever it does not
// know for certain (a document type declaration, a character reference, a
// processing instruction, a namespace prefix, any fault) it leaves to the
// streaming reader, which has the last word and the exact warning. The first
// answer is many times quicker than the reader, and a start with hundreds of
// description files is mostly this pass.
class QuickLook
{
public:
    explicit QuickLook(const QByteArray &bytes)
        : m_p(reinterpret_cast<const unsigned char *>(bytes.constData())), m_end(m_p + bytes.size())
    {
    }

    // True when the document is surely well-formed; `header` then holds its root and key.
    bool look(QvxDescriptionHeader *header);

private:
    bool at(const char *text) const
    {
        const unsigned char *p = m_p;
        for (; *text; ++text, ++p)
            if (p == m_end || *p != static_cast<unsigned char>(*text))
                return false;
        return true;
    }
    static bool isSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n'; }
    bool skipSpace()
    {
        const unsigned char *start = m_p;
        while (m_p != m_end && isSpace(*m_p))
            ++m_p;
        return m_p != start;
    }
    bool name(std::string_view *out);
    bool character();
    bool reference(QByteArray *out);
    bool declaration();
    bool comment();
    bool misc();
    bool element(QvxDescriptionHeader *header);
    bool attributeValue(QByteArray *out);

    const unsigned char *m_p;
    const unsigned char *m_end;
    std::vector<std::string_view> m_open;       // the elements not closed yet
    std::vector<std::string_view> m_attributes; // of the current start tag
};

// An ASCII name without a prefix; names that begin with "xml" are left to the reader too.
bool QuickLook::name(std::string_view *out)
{
    const unsigned char *start = m_p;
    auto letter = [](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    if (m_p == m_end || !letter(*m_p))
        return false;
    while (m_p != m_end && (letter(*m_p) || (*m_p >= '0' && *m_p <= '9') || *m_p == '-' || *m_p == '.'))
        ++m_p;
    *out = std::string_view(reinterpret_cast<const char *>(start), static_cast<std::size_t>(m_p - start));
    return !(out->size() >= 3 && (start[0] | 0x20) == 'x' && (start[1] | 0x20) == 'm' && (start[2] | 0x20) == 'l');
}

// One character of text, an attribute value or a comment: a tab, a line feed,
// printable ASCII, or a well-formed UTF-8 sequence of a character plainly allowed.
bool QuickLook::character()
{
    const unsigned char c = *m_p;
    if (c < 0x80) {
        ++m_p;
        return c == '\t' || c == '\n' || (c >= 0x20 && c < 0x7F);
    }
    int more = 0;
    char32_t code = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        more = 1;
        code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        more = 2;
        code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        more = 3;
        code = c & 0x07;
    } else {
        return false;
    }
    if (m_end - m_p <= more)
        return false;
    for (int i = 1; i <= more; ++i) {
        if ((m_p[i] & 0xC0) != 0x80)
            return false;
        code = (code << 6) | (m_p[i] & 0x3F);
    }
    m_p += more + 1;
    const char32_t smallest[] = {0, 0xA0, 0x800, 0x10000};
    return code >= smallest[more] && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF)
        && !(code >= 0xFDD0 && code <= 0xFDEF) && (code & 0xFFFE) != 0xFFFE;
}

// At "&": one of the five predefined entities, its character appended to `out` (may be null).
bool QuickLook::reference(QByteArray *out)
{
    static const struct
    {
        const char *text;
        char character;
    } kEntities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    for (const auto &entity : kEntities) {
        if (at(entity.text)) {
            m_p += qstrlen(entity.text);
            if (out)
                out->append(entity.character);
            return true;
        }
    }
    return false;
}

// <?xml version="1.0" encoding="UTF-8"?>, the encoding optional.
bool QuickLook::declaration()
{
    m_p += 5;
    if (!skipSpace() || !at("version"))
        return false;
    m_p += 7;
    QByteArray value;
    skipSpace();
    if (m_p == m_end || *m_p != '=')
        return false;
    ++m_p;
    skipSpace();
    if (!attributeValue(&value) || value != "1.0")
        return false;
    const bool spaced = skipSpace();
    if (spaced && at("encoding")) {
        m_p += 8;
        skipSpace();
        if (m_p == m_end || *m_p != '=')
            return false;
        ++m_p;
        skipSpace();
        if (!attributeValue(&value) || value.toUpper() != "UTF-8")
            return false;
        skipSpace();
    }
    if (!at("?>"))
        return false;
    m_p += 2;
    return true;
}

// At "<!--": the comment, with no "--" inside.
bool QuickLook::comment()
{
    m_p += 4;
    while (m_p != m_end) {
        if (at("--")) {
            if (!at("-->"))
                return false;
            m_p += 3;
            return true;
        }
        if (!character())
            return false;
    }
    return false;
}

// Space and comments, outside the root.
bool QuickLook::misc()
{
    for (;;) {
        skipSpace();
        if (!at("<!--"))
            return true;
        if (!comment())
            return false;
    }
}

// At a quote: the value up to the same quote. When `out` is given it gets the
// value as the reader gives it: entities replaced, white space made blanks.
bool QuickLook::attributeValue(QByteArray *out)
{
    if (m_p == m_end || (*m_p != '"' && *m_p != '\''))
        return false;
    const unsigned char quote = *m_p++;
    if (out)
        out->clear();
    while (m_p != m_end && *m_p != quote) {
        if (*m_p == '<')
            return false;
        if (*m_p == '&') {
            if (!reference(out))
                return false;
            continue;
        }
        const unsigned char *start = m_p;
        if (!character())
            return false;
        if (!out)
            continue;
        if (isSpace(*start))
            out->append(' ');
        else
            out->append(reinterpret_cast<const char *>(start), m_p - start);
    }
    if (m_p == m_end)
        return false;
    ++m_p;
    return true;
}

bool QuickLook::element(QvxDescriptionHeader *header)
{
    std::vector<std::string_view> &open = m_open;
    for (;;) {
        // At "<" of a start tag.
        ++m_p;
        std::string_view tag;
        if (!name(&tag))
            return false;
        const bool root = open.empty();
        if (root)
            header->device = tag == "Device";
        std::vector<std::string_view> &attributes = m_attributes;
        attributes.clear();
        for (;;) {
            const bool spaced = skipSpace();
            if (m_p == m_end)
                return false;
            if (*m_p == '>' || *m_p == '/')
                break;
            std::string_view attribute;
            if (!spaced || !name(&attribute))
                return false;
            for (std::string_view earlier : attributes)
                if (earlier == attribute)
                    return false;
            attributes.push_back(attribute);
            skipSpace();
            if (m_p == m_end || *m_p != '=')
                return false;
            ++m_p;
            skipSpace();
            const bool key = root && header->device && (attribute == "ModelNumber" || attribute == "MinimumVersion");
            QByteArray value;
            if (!attributeValue(key ? &value : nullptr))
                return false;
            if (key) {
                const QString text = QString::fromUtf8(value);
                if (attribute == "ModelNumber")
                    header->key.modelNumber = description_xml::toU16(text);
                else if (attribute == "MinimumVersion")
                    header->key.minimumVersion = description_xml::toInt(text);
            }
        }
        if (*m_p == '/') {
            if (!at("/>"))
                return false;
            m_p += 2;
        } else {
            ++m_p;
            open.push_back(tag);
        }

        // Content up to the next start tag, or to the root's end.
        for (;;) {
            if (open.empty())
                return true;
            if (m_p == m_end)
                return false;
            if (*m_p == '&') {
                if (!reference(nullptr))
                    return false;
            } else if (*m_p != '<') {
                if (at("]]>") || !character())
                    return false;
            } else if (at("<!--")) {
                if (!comment())
                    return false;
            } else if (at("</")) {
                m_p += 2;
                std::string_view closing;
                if (!name(&closing) || closing != open.back())
                    return false;
                skipSpace();
                if (m_p == m_end || *m_p != '>')
                    return false;
                ++m_p;
                open.pop_back();
            } else if (m_p + 1 != m_end && m_p[1] != '!' && m_p[1] != '?') {
                break; // the next start tag
            } else {
                return false;
            }
        }
    }
}

bool QuickLook::look(QvxDescriptionHeader *header)
{
    if (at("\xEF\xBB\xBF"))
        m_p += 3;
    if (at("<?xml") && m_end - m_p > 5 && isSpace(m_p[5]) && !declaration())
        return false;
    if (!misc() || m_p == m_end || *m_p != '<' || !element(header) || !misc())
        return false;
    header->wellFormed = m_p == m_end;
    return header->wellFormed;
}

} // namespace

QvxDescriptionHeader readDescriptionHeader(QIODevice &file)
{
    using namespace description_xml;
    const QByteArray bytes = file.readAll();
    QvxDescriptionHeader quick;
    if (QuickLook(bytes).look(&quick))
        return quick;

    QvxDescriptionHeader header;
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QXmlStreamReader xml(&buffer);
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
