// The terminal key decoder over any bytes. The first byte chooses how the rest
// is cut into reads; the keys must not depend on the cut, every key must be
// one the editor can meet, text without control bytes must come out as its
// characters, and a dropped partial sequence must leave the decoder ready for
// the next key.
#include "FuzzCheck.h"

#include "platform/KeyDecoder.h"

#include <QString>

#include <cstdint>

namespace {

using platform::KeyEvent;
using platform::KeyQueue;

bool isNamedKey(int code)
{
    switch (code) {
    case platform::kVkEnd:
    case platform::kVkHome:
    case platform::kVkLeft:
    case platform::kVkUp:
    case platform::kVkRight:
    case platform::kVkDown:
    case platform::kVkDelete:
        return true;
    default:
        return false;
    }
}

// A key as the decoder may make it: a control byte with Ctrl, Enter, Tab,
// Backspace, a navigation key without character, or a printable character.
bool wellFormed(const KeyEvent &key)
{
    const char32_t c = key.character;
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return false;
    if (key.ctrl) {
        const int expected = (c >= 0x01 && c <= 0x1A) ? int('A' + c - 1) : platform::kVkNone;
        return c < 0x20 && c != 0x1B && c != '\r' && c != '\n' && c != '\t' && c != 0x08
            && key.virtualKey == expected;
    }
    switch (key.virtualKey) {
    case platform::kVkReturn: return c == U'\r' || c == U'\n';
    case platform::kVkTab: return c == U'\t';
    case platform::kVkBack: return c == 0x08;
    default: break;
    }
    if (isNamedKey(key.virtualKey))
        return c == 0;
    if (c < 0x20 || c == 0x7F)
        return false;
    const bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    const int expected = c >= 'a' && c <= 'z' ? int(c - 'a' + 'A') : letterOrDigit ? int(c) : platform::kVkNone;
    return key.virtualKey == expected;
}

// Valid UTF-8 without control bytes (C0, DEL): each character is one key.
bool isPlainText(const QByteArray &bytes)
{
    for (const char byte : bytes) {
        const auto b = static_cast<unsigned char>(byte);
        if (b < 0x20 || b == 0x7F)
            return false;
    }
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const qsizetype piece = data[0] % 8 + 1;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    platform::KeyDecoder whole;
    KeyQueue keys;
    whole.feed(input.constData(), input.size(), keys);

    platform::KeyDecoder cut;
    KeyQueue cutKeys;
    for (qsizetype at = 0; at < input.size(); at += piece)
        cut.feed(input.constData() + at, qMin(piece, input.size() - at), cutKeys);
    // The keys do not depend on how the bytes were cut into reads.
    FUZZ_CHECK(cutKeys == keys && cut.hasPartial() == whole.hasPartial());

    // At most one key a byte, each one the editor can meet.
    FUZZ_CHECK(keys.size() <= input.size());
    for (const KeyEvent &key : keys)
        FUZZ_CHECK(wellFormed(key));

    if (isPlainText(input)) {
        const QList<uint> characters = QString::fromUtf8(input).toUcs4();
        // Plain text gives one key a character, unchanged.
        FUZZ_CHECK(characters.size() == keys.size());
        for (qsizetype i = 0; i < keys.size(); ++i)
            FUZZ_CHECK(keys.at(i).character == characters.at(i) && !keys.at(i).ctrl);
    }

    // A dropped partial sequence leaves the decoder ready for the next key.
    whole.dropPartial();
    FUZZ_CHECK(!whole.hasPartial());
    KeyQueue next;
    whole.feed("a", 1, next);
    FUZZ_CHECK((next.size() == 1 && next.head() == KeyEvent{U'a', 'A', false}));
    return 0;
}
