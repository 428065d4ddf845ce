#pragma once
// Turns the bytes that a terminal (or a pipe or file standing in for one)
// delivers into key events:
//  - printable UTF-8 characters; invalid or cut-off UTF-8 yields nothing;
//  - Enter for CR, LF, and CR LF as one key (also when the pair is split
//    between two reads);
//  - Tab, Backspace (DEL 0x7F and BS 0x08), Ctrl+letter from the control bytes
//    (0x03 is Ctrl+C);
//  - arrows, Home, End and Delete in their common escape forms (ESC [ A,
//    ESC O A, ESC [ H, ESC [ 1 ~, ESC [ 7 ~, ESC [ 3 ~, ...).
// Every other escape sequence (with modifiers, function keys, bracketed paste
// markers, Alt+key) is consumed whole and yields nothing; so does a lone ESC.
// A sequence cut at the end of one read is continued by the next one; the
// reader gives it up with dropPartial() when the keyboard stays quiet.

#include "platform/KeyEvent.h"

#include <QByteArray>

namespace platform {

class KeyDecoder
{
public:
    // Decodes `size` bytes and appends the complete keys to `out`.
    void feed(const char *data, qsizetype size, KeyQueue &out);

    // True while an escape sequence or a multi-byte character is incomplete.
    bool hasPartial() const { return state_ != State::Ground; }

    // Forgets an incomplete escape sequence or character; it yields no key.
    void dropPartial();

private:
    enum class State { Ground, Escape, Csi, CsiBracket, Ss3, Utf8 };

    void feedByte(unsigned char byte, KeyQueue &out);
    void ground(unsigned char byte, KeyQueue &out);
    void startUtf8(char32_t leadBits, int continuationBytes, char32_t minimum);
    void finishCsi(unsigned char finalByte, KeyQueue &out);
    static void finishSs3(unsigned char finalByte, KeyQueue &out);

    State state_ = State::Ground;
    QByteArray csiParameters_;  // parameter bytes of the current CSI sequence (capped)
    bool csiUnusual_ = false;   // intermediate bytes or overlong parameters: ignore the sequence
    char32_t codePoint_ = 0;    // UTF-8 character being assembled
    int utf8Remaining_ = 0;     // continuation bytes still expected
    char32_t utf8Minimum_ = 0;  // smallest code point for this length (rejects overlong forms)
    bool afterCr_ = false;      // the previous byte was CR: a following LF belongs to it
};

} // namespace platform
