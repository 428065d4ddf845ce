#include "platform/KeyDecoder.h"

namespace platform {

namespace {

constexpr unsigned char kEsc = 0x1B;
constexpr int kMaxCsiParameters = 16; // longer parameter strings are no key we know

KeyEvent key(int virtualKey, char32_t character = 0, bool ctrl = false)
{
    return KeyEvent{character, virtualKey, ctrl};
}

// The key code that a printable character's key carries: letters and digits
// are their own key; punctuation is none (so '%' never reads as Left, 0x25).
int virtualKeyOf(unsigned char byte)
{
    if (byte >= 'a' && byte <= 'z')
        return byte - 'a' + 'A';
    if ((byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9'))
        return byte;
    return kVkNone;
}

bool isFinalByte(unsigned char byte) { return byte >= 0x40 && byte <= 0x7E; }

// Arrows, Home and End share their final letters between CSI and SS3 forms.
int cursorKeyOf(unsigned char finalByte)
{
    switch (finalByte) {
    case 'A': return kVkUp;
    case 'B': return kVkDown;
    case 'C': return kVkRight;
    case 'D': return kVkLeft;
    case 'H': return kVkHome;
    case 'F': return kVkEnd;
    default: return kVkNone;
    }
}

} // namespace

void KeyDecoder::feed(const char *data, qsizetype size, KeyQueue &out)
{
    for (qsizetype i = 0; i < size; ++i)
        feedByte(static_cast<unsigned char>(data[i]), out);
}

void KeyDecoder::dropPartial()
{
    state_ = State::Ground;
    csiParameters_.clear();
    csiUnusual_ = false;
    utf8Remaining_ = 0;
}

void KeyDecoder::feedByte(unsigned char byte, KeyQueue &out)
{
    const bool lfAfterCr = afterCr_ && byte == '\n';
    afterCr_ = false;

    switch (state_) {
    case State::Ground:
        if (!lfAfterCr)
            ground(byte, out);
        return;

    case State::Escape:
        if (byte == '[') {
            state_ = State::Csi;
            csiParameters_.clear();
            csiUnusual_ = false;
        } else if (byte == 'O') {
            state_ = State::Ss3;
        } else if (byte == kEsc) {
            // The first ESC stood alone; this one may start a sequence.
        } else if (byte >= 0x20 && byte <= 0x7E) {
            state_ = State::Ground; // Alt+key: ignored
        } else {
            // A control key or a UTF-8 character after a lone ESC: the key counts.
            state_ = State::Ground;
            ground(byte, out);
        }
        return;

    case State::Csi:
        if (byte >= 0x30 && byte <= 0x3F) {
            if (csiParameters_.size() < kMaxCsiParameters)
                csiParameters_.append(static_cast<char>(byte));
            else
                csiUnusual_ = true;
        } else if (byte >= 0x20 && byte <= 0x2F) {
            csiUnusual_ = true;
        } else if (byte == '[' && csiParameters_.isEmpty() && !csiUnusual_) {
            state_ = State::CsiBracket; // Linux console function keys: ESC [ [ A
        } else if (isFinalByte(byte)) {
            state_ = State::Ground;
            finishCsi(byte, out);
        } else {
            // Not part of any sequence: give the sequence up, keep the key.
            dropPartial();
            ground(byte, out);
        }
        return;

    case State::CsiBracket:
    case State::Ss3: {
        const State was = state_;
        state_ = State::Ground;
        if (!isFinalByte(byte))
            ground(byte, out);
        else if (was == State::Ss3)
            finishSs3(byte, out);
        return;
    }

    case State::Utf8:
        if ((byte & 0xC0) != 0x80) {
            state_ = State::Ground; // cut-off character: dropped
            ground(byte, out);
            return;
        }
        codePoint_ = (codePoint_ << 6) | (byte & 0x3F);
        if (--utf8Remaining_ > 0)
            return;
        state_ = State::Ground;
        if (codePoint_ >= utf8Minimum_ && codePoint_ <= 0x10FFFF && (codePoint_ < 0xD800 || codePoint_ > 0xDFFF))
            out.enqueue(key(kVkNone, codePoint_));
        return;
    }
}

void KeyDecoder::ground(unsigned char byte, KeyQueue &out)
{
    if (byte == kEsc) {
        state_ = State::Escape;
    } else if (byte == '\r') {
        out.enqueue(key(kVkReturn, U'\r'));
        afterCr_ = true;
    } else if (byte == '\n') {
        out.enqueue(key(kVkReturn, U'\n'));
    } else if (byte == '\t') {
        out.enqueue(key(kVkTab, U'\t'));
    } else if (byte == 0x08 || byte == 0x7F) {
        out.enqueue(key(kVkBack, 0x08));
    } else if (byte < 0x20) {
        // Ctrl+letter arrives as the letter's position in the alphabet.
        const int code = (byte >= 0x01 && byte <= 0x1A) ? 'A' + byte - 1 : kVkNone;
        out.enqueue(key(code, byte, true));
    } else if (byte < 0x80) {
        out.enqueue(key(virtualKeyOf(byte), byte));
    } else if (byte >= 0xC2 && byte <= 0xDF) {
        startUtf8(byte & 0x1F, 1, 0x80);
    } else if (byte >= 0xE0 && byte <= 0xEF) {
        startUtf8(byte & 0x0F, 2, 0x800);
    } else if (byte >= 0xF0 && byte <= 0xF4) {
        startUtf8(byte & 0x07, 3, 0x10000);
    }
    // Other bytes (stray continuation bytes, C0, C1, F5..FF) are no character.
}

void KeyDecoder::startUtf8(char32_t leadBits, int continuationBytes, char32_t minimum)
{
    state_ = State::Utf8;
    codePoint_ = leadBits;
    utf8Remaining_ = continuationBytes;
    utf8Minimum_ = minimum;
}

void KeyDecoder::finishCsi(unsigned char finalByte, KeyQueue &out)
{
    const QByteArray parameters = csiParameters_;
    const bool unusual = csiUnusual_;
    csiParameters_.clear();
    csiUnusual_ = false;
    if (unusual)
        return;

    // A parameter other than "1" carries modifiers (ESC [ 1 ; 5 C is Ctrl+Right): ignored.
    const bool plain = parameters.isEmpty() || parameters == "1";
    if (finalByte != '~') {
        const int code = cursorKeyOf(finalByte);
        if (code != kVkNone && plain)
            out.enqueue(key(code));
        return;
    }
    if (parameters == "1" || parameters == "7")
        out.enqueue(key(kVkHome));
    else if (parameters == "4" || parameters == "8")
        out.enqueue(key(kVkEnd));
    else if (parameters == "3")
        out.enqueue(key(kVkDelete));
    // Insert, Page Up/Down, function keys, paste markers (200~, 201~): ignored.
}

void KeyDecoder::finishSs3(unsigned char finalByte, KeyQueue &out)
{
    const int code = cursorKeyOf(finalByte);
    if (code != kVkNone)
        out.enqueue(key(code));
    // ESC O P..S are F1..F4: ignored.
}

} // namespace platform
