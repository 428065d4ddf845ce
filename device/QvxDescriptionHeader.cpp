#include "device/QvxDescriptionHeader.h"

#include "device/DescriptionXml.h"
#include "device/XmlSafety.h"

#include <QBuffer>

#include <array>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

QvxXmlError errorOf(const QXmlStreamReader &xml, bool refused)
{
    return {xml.errorString(), xml.lineNumber(), xml.columnNumber(), refused};
}

} // namespace description_xml

namespace {

// Skips the bytes from `p` on that the quick look need not look at one by one:
// printable ASCII other than the stop bytes and, with `WhiteSpace`, tabs and
// line feeds. Each of them is a whole, allowed character. Descriptions are
// mostly such runs (attribute values, indentation, comments), so this loop is
// most of a start with many description files: 16 bytes a step where it can.
template <bool WhiteSpace, char Stop1, char Stop2, char Stop3, char Stop4>
[[gnu::always_inline]] inline const unsigned char *skipPlain(const unsigned char *p, const unsigned char *end)
{
#if defined(__SSE2__)
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        // Signed: the bytes from 0x80 on are below 0x20 here.
        __m128i plain = _mm_andnot_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(0x7F)),
                                         _mm_cmpgt_epi8(bytes, _mm_set1_epi8(0x1F)));
        if (WhiteSpace)
            plain = _mm_or_si128(plain, _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t')),
                                                     _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))));
        const __m128i stop = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(Stop1)), _mm_cmpeq_epi8(bytes, _mm_set1_epi8(Stop2))),
            _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(Stop3)), _mm_cmpeq_epi8(bytes, _mm_set1_epi8(Stop4))));
        const unsigned notPlain = unsigned(_mm_movemask_epi8(_mm_andnot_si128(stop, plain))) ^ 0xFFFFu;
        if (notPlain != 0)
            return p + __builtin_ctz(notPlain);
        p += 16;
    }
#endif
    for (; p != end; ++p) {
        const unsigned char c = *p;
        const bool plain = (c >= 0x20 && c < 0x7F && c != Stop1 && c != Stop2 && c != Stop3 && c != Stop4)
                        || (WhiteSpace && (c == '\t' || c == '\n'));
        if (!plain)
            break;
    }
    return p;
}

// Byte classes of the quick look, as tables: one load and one test a byte.
using ByteClass = std::array<bool, 256>;

// The first byte of an ASCII name: a letter or '_'.
constexpr ByteClass kNameStartBytes = [] {
    ByteClass table{};
    for (int c = 0; c < 256; ++c)
        table[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    return table;
}();

// The bytes of an ASCII name after its first: letters, digits, '_', '-' and '.'.
constexpr ByteClass kNameBytes = [] {
    ByteClass table = kNameStartBytes;
    for (int c = 0; c < 256; ++c)
        table[c] = table[c] || (c >= '0' && c <= '9') || c == '-' || c == '.';
    return table;
}();

// Skips the bytes of an ASCII name after its first (kNameBytes).
const unsigned char *skipName(const unsigned char *p, const unsigned char *end)
{
    while (p != end && kNameBytes[*p])
        ++p;
    return p;
}

// White space as the quick look takes it: blank, tab, line feed (a carriage
// return is left to the reader).
constexpr ByteClass kSpaceBytes = [] {
    ByteClass table{};
    table[' '] = table['\t'] = table['\n'] = true;
    return table;
}();

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
    explicit QuickLook(QByteArrayView bytes)
        : m_p(reinterpret_cast<const unsigned char *>(bytes.data())), m_end(m_p + bytes.size())
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
        while (m_p != m_end && kSpaceBytes[*m_p])
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
    bool attributes(bool root, QvxDescriptionHeader *header);
    bool attributeValue(QByteArray *out);

    const unsigned char *m_p;
    const unsigned char *m_end;
    std::vector<std::string_view> m_open;       // the elements not closed yet
    // The attributes of the current start tag, each with a short tag of its
    // length and first and last bytes that settles most comparisons alone.
    std::vector<std::pair<quint32, std::string_view>> m_attributes;
};

// An ASCII name without a prefix; names that begin with "xml" are left to the reader too.
bool QuickLook::name(std::string_view *out)
{
    const unsigned char *start = m_p;
    if (m_p == m_end || !kNameStartBytes[*m_p])
        return false;
    m_p = skipName(m_p + 1, m_end);
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
        m_p = skipPlain<true, '-', '-', '-', '-'>(m_p, m_end);
        if (m_p == m_end)
            break;
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
        const unsigned char *run = skipPlain<false, '"', '\'', '<', '&'>(m_p, m_end);
        if (run != m_p) {
            if (out)
                out->append(reinterpret_cast<const char *>(m_p), run - m_p);
            m_p = run;
            continue;
        }
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

// After a start tag's name: its attributes, up to its '>' or '/'. Written as
// one tight loop over a local cursor, as the attributes are most of the bytes
// of a description; a value that is more than plain ASCII (an entity, a
// character beyond ASCII, the other quote) and the key's values are read by
// attributeValue().
bool QuickLook::attributes(bool root, QvxDescriptionHeader *header)
{
    std::vector<std::pair<quint32, std::string_view>> &seen = m_attributes;
    seen.clear();
    quint64 seenBits = 0; // one bit a name, by its tag: mostly no name needs comparing at all
    const unsigned char *p = m_p;
    const unsigned char *const end = m_end;
    for (;;) {
        const unsigned char *space = p;
        while (p != end && kSpaceBytes[*p])
            ++p;
        if (p == end)
            return false;
        if (*p == '>' || *p == '/') {
            m_p = p;
            return true;
        }
        if (p == space || !kNameStartBytes[*p])
            return false; // attributes are set apart by white space
        const unsigned char *start = p;
        p = skipName(p + 1, end);
        const std::string_view attribute(reinterpret_cast<const char *>(start), std::size_t(p - start));
        if (attribute.size() >= 3 && (start[0] | 0x20) == 'x' && (start[1] | 0x20) == 'm' && (start[2] | 0x20) == 'l')
            return false;
        const quint32 tag = quint32(attribute.size()) | quint32(start[0]) << 16 | quint32(p[-1]) << 24;
        const quint64 bit = quint64(1) << ((tag * 0x9E3779B1u) >> 26);
        if (seenBits & bit) {
            for (const auto &[earlierTag, earlier] : seen)
                if (earlierTag == tag && earlier == attribute)
                    return false;
        }
        seenBits |= bit;
        seen.emplace_back(tag, attribute);
        while (p != end && kSpaceBytes[*p])
            ++p;
        if (p == end || *p != '=')
            return false;
        ++p;
        while (p != end && kSpaceBytes[*p])
            ++p;
        if (p == end || (*p != '"' && *p != '\''))
            return false;
        const bool key = root && header->device && (attribute == "ModelNumber" || attribute == "MinimumVersion");
        if (!key) {
            const unsigned char *value = skipPlain<false, '"', '\'', '<', '&'>(p + 1, end);
            if (value != end && *value == *p) {
                p = value + 1;
                continue;
            }
        }
        m_p = p;
        QByteArray value;
        if (!attributeValue(key ? &value : nullptr))
            return false;
        p = m_p;
        if (key) {
            const QString text = QString::fromUtf8(value);
            if (attribute == "ModelNumber")
                header->key.modelNumber = description_xml::toU16(text);
            else
                header->key.minimumVersion = description_xml::toInt(text);
        }
    }
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
        if (!attributes(root, header))
            return false;
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
            m_p = skipPlain<true, '<', '&', ']', ']'>(m_p, m_end);
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

QvxXmlError oversizedDescription()
{
    return {xml_safety::largerThan(kMaxDescriptionBytes), 0, 0, true};
}

QvxDescriptionHeader readDescriptionHeader(QIODevice &file)
{
    QByteArray bytes;
    if (xml_safety::readBounded(file, kMaxDescriptionBytes, &bytes))
        return readDescriptionHeader(QByteArrayView(bytes));
    QvxDescriptionHeader refused;
    refused.error = oversizedDescription();
    return refused;
}

QvxDescriptionHeader readDescriptionHeader(QByteArrayView bytes)
{
    using namespace description_xml;
    QvxDescriptionHeader quick;
    if (QuickLook(bytes).look(&quick))
        return quick;

    QvxDescriptionHeader header;
    QBuffer buffer;
    buffer.setData(bytes.toByteArray());
    buffer.open(QIODevice::ReadOnly);
    QXmlStreamReader xml(&buffer);
    startReading(xml);
    const xml_safety::Prologue prologue = xml_safety::readToRoot(xml);
    if (prologue == xml_safety::Prologue::Root) {
        header.device = isElement(xml, "Device");
        if (header.device)
            header.key = keyOf(xml.attributes());
        header.wellFormed = readToEnd(xml);
    }
    if (!header.wellFormed)
        header.error = errorOf(xml, prologue == xml_safety::Prologue::Refused);
    return header;
}
