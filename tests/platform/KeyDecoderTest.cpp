#include "platform/KeyDecoder.h"

#include <QList>
#include <gtest/gtest.h>
#include <ostream>

namespace platform {
void PrintTo(const KeyEvent &key, std::ostream *os)
{
    *os << "{char 0x" << std::hex << quint32(key.character) << ", vk 0x" << key.virtualKey << std::dec
        << (key.ctrl ? ", ctrl}" : "}");
}
} // namespace platform

namespace {

using platform::KeyEvent;
using Keys = QList<KeyEvent>;

KeyEvent ch(char32_t c, int vk = platform::kVkNone) { return KeyEvent{c, vk, false}; }
KeyEvent vk(int code) { return KeyEvent{0, code, false}; }
const KeyEvent kEnterCr{U'\r', platform::kVkReturn, false};
const KeyEvent kEnterLf{U'\n', platform::kVkReturn, false};
const KeyEvent kUp = vk(platform::kVkUp), kDown = vk(platform::kVkDown), kLeft = vk(platform::kVkLeft),
               kRight = vk(platform::kVkRight), kHome = vk(platform::kVkHome), kEnd = vk(platform::kVkEnd),
               kDelete = vk(platform::kVkDelete);

// Feeds each chunk as one read, as a terminal or pipe might deliver it.
Keys decode(const QList<QByteArray> &chunks)
{
    platform::KeyDecoder decoder;
    platform::KeyQueue out;
    for (const QByteArray &chunk : chunks)
        decoder.feed(chunk.constData(), chunk.size(), out);
    return Keys(out.begin(), out.end());
}

struct DecodeCase
{
    const char *name;
    QList<QByteArray> chunks;
    Keys expected;
};

TEST(KeyDecoder, DecodesTheKeysOfTheKeyTable)
{
    const QList<DecodeCase> cases = {
        // Letters and digits carry their key code; punctuation carries none, so
        // '%' (0x25), '&', '\'', '(', '.', '$' and '#' never read as cursor keys.
        {"printable", {"aZ5%&'(.$# "},
         {ch('a', 'A'), ch('Z', 'Z'), ch('5', '5'), ch('%'), ch('&'), ch('\''), ch('('), ch('.'), ch('$'), ch('#'),
          ch(' ')}},
        {"utf-8 of every length", {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"}, {ch(0xE9), ch(0x20AC), ch(0x1F600)}},
        {"utf-8 cut between reads", {"\xE2\x82", "\xAC"}, {ch(0x20AC)}},
        {"cut utf-8 gives way to the next key", {"\xC3" "A"}, {ch('A', 'A')}},
        {"invalid utf-8 yields nothing", {"\xFF\xC0\x80\xED\xA0\x80\xF4\x90\x80\x80" "b"}, {ch('b', 'B')}},
        {"CR, LF and CR LF are one Enter each", {"\r\n\n\r\r"}, {kEnterCr, kEnterLf, kEnterCr, kEnterCr}},
        {"CR LF split between reads", {"\r", "\nx"}, {kEnterCr, ch('x', 'X')}},
        {"LF CR is two keys", {"\n\r"}, {kEnterLf, kEnterCr}},
        {"tab and both backspaces", {"\t\x7F\x08"},
         {KeyEvent{U'\t', platform::kVkTab, false}, KeyEvent{0x08, platform::kVkBack, false},
          KeyEvent{0x08, platform::kVkBack, false}}},
        {"control bytes are Ctrl+letter", {"\x03\x01\x1A"},
         {KeyEvent{0x03, platform::kVkC, true}, KeyEvent{0x01, 'A', true}, KeyEvent{0x1A, 'Z', true}}},
        {"CSI cursor keys", {"\x1b[A\x1b[B\x1b[C\x1b[D\x1b[H\x1b[F"}, {kUp, kDown, kRight, kLeft, kHome, kEnd}},
        {"SS3 cursor keys", {"\x1bOA\x1bOB\x1bOC\x1bOD\x1bOH\x1bOF"}, {kUp, kDown, kRight, kLeft, kHome, kEnd}},
        {"tilde forms", {"\x1b[1~\x1b[7~\x1b[4~\x1b[8~\x1b[3~"}, {kHome, kHome, kEnd, kEnd, kDelete}},
        {"sequence cut between reads", {"\x1b", "[", "D"}, {kLeft}},
    };
    for (const DecodeCase &c : cases)
        EXPECT_EQ(decode(c.chunks), c.expected) << c.name;
}

TEST(KeyDecoder, ConsumesOtherEscapeSequencesWhole)
{
    const QList<DecodeCase> cases = {
        {"Ctrl+Right, Shift+Up, Ctrl+Delete", {"\x1b[1;5C\x1b[1;2A\x1b[3;5~x"}, {ch('x', 'X')}},
        {"function keys", {"\x1b[15~\x1bOP\x1b[[A\x1b[24~x"}, {ch('x', 'X')}},
        {"insert and page keys", {"\x1b[2~\x1b[5~\x1b[6~x"}, {ch('x', 'X')}},
        {"bracketed paste keeps the pasted text", {"\x1b[200~ab\x1b[201~"}, {ch('a', 'A'), ch('b', 'B')}},
        {"terminal reports and mouse", {"\x1b[?1;2c\x1b[<0;12;5Mx"}, {ch('x', 'X')}},
        {"Alt+key", {"\x1b" "b\x1b.x"}, {ch('x', 'X')}},
        {"overlong parameters", {"\x1b[1111111111111111111111111D" "x"}, {ch('x', 'X')}},
        {"lone ESC before Enter keeps the Enter", {"\x1b\r"}, {kEnterCr}},
        {"ESC ESC starts over", {"\x1b\x1b[A"}, {kUp}},
        {"a control byte breaks off a sequence", {"\x1b[1\rx"}, {kEnterCr, ch('x', 'X')}},
        {"lone ESC at the end stays pending", {"\x1b"}, {}},
    };
    for (const DecodeCase &c : cases)
        EXPECT_EQ(decode(c.chunks), c.expected) << c.name;
}

TEST(KeyDecoder, DroppedPartialSequenceLeavesLaterBytesAsText)
{
    platform::KeyDecoder decoder;
    platform::KeyQueue out;
    decoder.feed("\x1b[", 2, out);
    EXPECT_TRUE(decoder.hasPartial());
    decoder.dropPartial();
    EXPECT_FALSE(decoder.hasPartial());
    decoder.feed("D", 1, out);
    EXPECT_EQ(Keys(out.begin(), out.end()), Keys{ch('D', 'D')});
}

} // namespace
