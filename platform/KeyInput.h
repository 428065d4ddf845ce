#pragma once
// A source of key events: the stand-in for the console input handle. It reads
// a file descriptor (standard input, or a pipe in tests) without ever blocking
// for longer than asked, decodes the bytes (KeyDecoder) and keeps the keys in
// a queue until someone takes them, so keys typed or piped ahead of time are
// never lost between reads.
//
// One object per descriptor; standardInput() is the process's reader of
// standard input, used by the line editor and the continuous get. Not
// thread-safe: use it from one thread (the console's worker thread).
//
// An idle reader costs no wake-ups: waitHandlingEvents() sleeps in the
// thread's Qt event dispatcher, watching the descriptor and the wake-up pipe
// beside the dispatcher's own timers, queued calls and sockets.

#include "platform/KeyDecoder.h"
#include "platform/KeyEvent.h"

#include <QtGlobal>

namespace platform {

class KeyInput
{
public:
    explicit KeyInput(int fd); // does not take ownership of the descriptor
    KeyInput(const KeyInput &) = delete;
    KeyInput &operator=(const KeyInput &) = delete;

    static KeyInput &standardInput();
    bool isStandardInput() const;

    // Waits until keys are pending, the input ends, wakeKeyInput() is called
    // (a control event does so) or `timeoutMs` pass (no limit when negative);
    // reads and decodes what has arrived. Returns at once when keys are
    // already pending. True when keys are pending afterwards.
    bool wait(int timeoutMs);

    // Waits like wait() with no limit, but handles this thread's Qt events
    // meanwhile and returns once the dispatcher has handled any (a timer, a
    // queued call, a socket). Returns at once when keys are pending, the input
    // has ended or a wake-up came since the last wait, so that the caller, who
    // tested its flags before, tests them again before it sleeps. While the
    // rest of a cut escape sequence is awaited it waits at most until the
    // sequence is given up, without handling events. True when keys are
    // pending afterwards.
    bool waitHandlingEvents();

    // Reads what has arrived without waiting; true when keys are pending.
    bool readAvailable() { return wait(0); }

    // The pending keys, oldest first. Take from the head; whatever stays is
    // there for the next reader.
    KeyQueue &pending() { return pending_; }

    // Looks at the oldest pending key without removing it (reads first when
    // nothing is pending); false when there is none.
    bool peek(KeyEvent &key);
    // Removes and returns the oldest pending key; false when there is none.
    bool take(KeyEvent &key);

    // The input has ended (end of file, the terminal hung up, or a read error)
    // and every key was taken. A terminal never ends while it is open.
    bool atEnd() const { return ended_ && pending_.isEmpty(); }

private:
    void readOnce();
    // Milliseconds the rest of a cut escape sequence may still take; -1 when none is cut.
    qint64 partialWaitMs() const;

    int fd_;
    KeyDecoder decoder_;
    KeyQueue pending_;
    bool ended_ = false;
    qint64 lastByteMs_ = 0; // monotonic time of the last byte, for giving up cut sequences
    bool woken_ = false;    // a wait emptied the wake-up pipe
};

} // namespace platform
