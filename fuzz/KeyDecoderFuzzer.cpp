// The terminal key decoder over any bytes. The first byte chooses how the rest
// is cut into reads; the keys must not depend on the cut, every key must be
// one the editor can meet, text without control bytes must come out as its
// characters, and a dropped partial sequence must leave the decoder ready for
// the next key.
#include "platform/KeyDecoder.h"

#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using platform::KeyEvent;
using platform::KeyQueue;

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "key decoder: %s\n", what);
    std::abort();
}

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
    if (cutKeys != keys || cut.hasPartial() != whole.hasPartial())
        fail("the keys depend on how the bytes were cut into reads");

    if (keys.size() > input.size())
        fail("more keys than bytes");
    for (const KeyEvent &key : keys) {
        if (!wellFormed(key))
            fail("a key the editor cannot meet");
    }

    if (isPlainText(input)) {
        const QList<uint> characters = QString::fromUtf8(input).toUcs4();
        if (characters.size() != keys.size())
            fail("plain text did not give one key a character");
        for (qsizetype i = 0; i < keys.size(); ++i) {
            if (keys.at(i).character != characters.at(i) || keys.at(i).ctrl)
                fail("plain text came out changed");
        }
    }

    whole.dropPartial();
    if (whole.hasPartial())
        fail("a dropped partial sequence is still there");
    KeyQueue next;
    whole.feed("a", 1, next);
    if (next.size() != 1 || next.head() != KeyEvent{U'a', 'A', false})
        fail("after a dropped partial sequence the next key is lost");
    return 0;
}
