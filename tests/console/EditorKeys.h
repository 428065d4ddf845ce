#pragma once
// Synthetic key events and an editor on a pipe, for the line editor tests.

#include "console/io/InputManager.h"
#include "tests/support/KeyPipe.h"
#include "tests/support/OutputCapture.h"

#include <QList>
#include <gtest/gtest.h>
#include <optional>

namespace editor_keys {

using platform::KeyEvent;
using Keys = QList<KeyEvent>;

inline KeyEvent vk(int code) { return KeyEvent{0, code, false}; }
inline const KeyEvent kLeft = vk(platform::kVkLeft), kRight = vk(platform::kVkRight), kUp = vk(platform::kVkUp),
                      kDown = vk(platform::kVkDown), kHome = vk(platform::kVkHome), kEnd = vk(platform::kVkEnd),
                      kDelete = vk(platform::kVkDelete);
inline const KeyEvent kBackspace{0x08, platform::kVkBack, false};
inline const KeyEvent kTab{U'\t', platform::kVkTab, false};
inline const KeyEvent kEnter{U'\r', platform::kVkReturn, false};
inline const KeyEvent kCtrlC{0x03, platform::kVkC, true};

// Keys of printable ASCII text, as a keyboard sends them.
inline Keys text(const char *typed)
{
    Keys keys;
    for (const char *c = typed; *c; ++c) {
        const char upper = (*c >= 'a' && *c <= 'z') ? char(*c - 'a' + 'A') : *c;
        const bool keyed = (upper >= 'A' && upper <= 'Z') || (upper >= '0' && upper <= '9');
        keys.append(KeyEvent{char32_t(*c), keyed ? int(upper) : platform::kVkNone, false});
    }
    return keys;
}

inline Keys keys(std::initializer_list<KeyEvent> list)
{
    return Keys(list);
}
inline Keys operator+(Keys a, const Keys &b)
{
    a.append(b);
    return a;
}
inline Keys operator+(Keys a, const KeyEvent &b)
{
    a.append(b);
    return a;
}

inline platform::KeyQueue queueOf(const Keys &keys)
{
    platform::KeyQueue queue;
    for (const KeyEvent &key : keys)
        queue.enqueue(key);
    return queue;
}

// An editor whose keys come from a pipe the test writes to, with its output captured.
class EditorTest : public ::testing::Test
{
protected:
    void SetUp() override { editor_.emplace(&prompt_, input_.keys()); }
    void TearDown() override { editor_.reset(); }

    // Begins a fresh line as a read does (cursor at 0), through an empty read.
    void startLine()
    {
        send("\n");
        ASSERT_EQ(editor_->readLine(true), QString());
        output_.take();
    }

    // Applies keys to `line` as one batch; returns whether they ended the line.
    bool press(QString &line, const Keys &keys, bool simple = false)
    {
        platform::KeyQueue queue = queueOf(keys);
        return editor_->processConsoleInput(queue, line, simple);
    }
    void send(const QByteArray &bytes) { input_.send(bytes); }
    void closeInput() { input_.closeWriter(); }

    QString prompt_ = QStringLiteral(">>> ");
    KeyPipe input_;
    std::optional<InputManager> editor_;
    OutputCapture output_;
};

} // namespace editor_keys
