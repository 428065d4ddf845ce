#pragma once
// One key press as the line editor sees it: a character, a key code and the
// Ctrl bit. Terminals and pipes deliver bytes; KeyDecoder turns them into
// these, so the editor's key table reads the same events on every platform.

#include <QQueue>

namespace platform {

// Key codes, numbered like the keyboard's virtual keys. Letters and digits
// carry their upper-case letter or digit code, other characters kVkNone; the
// editor only tests the named codes below.
constexpr int kVkNone = 0x00;
constexpr int kVkBack = 0x08;
constexpr int kVkTab = 0x09;
constexpr int kVkReturn = 0x0D;
constexpr int kVkEnd = 0x23;
constexpr int kVkHome = 0x24;
constexpr int kVkLeft = 0x25;
constexpr int kVkUp = 0x26;
constexpr int kVkRight = 0x27;
constexpr int kVkDown = 0x28;
constexpr int kVkDelete = 0x2E;
constexpr int kVkC = 0x43;

struct KeyEvent
{
    char32_t character = 0; // Unicode code point; 0 for keys without one (arrows, Home, ...)
    int virtualKey = kVkNone;
    bool ctrl = false;

    friend bool operator==(const KeyEvent &a, const KeyEvent &b)
    {
        return a.character == b.character && a.virtualKey == b.virtualKey && a.ctrl == b.ctrl;
    }
    friend bool operator!=(const KeyEvent &a, const KeyEvent &b) { return !(a == b); }
};

// Decoded keys waiting to be applied, oldest first.
using KeyQueue = QQueue<KeyEvent>;

} // namespace platform
