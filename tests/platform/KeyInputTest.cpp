#include "platform/ConsoleControl.h"
#include "platform/KeyInput.h"
#include "tests/support/KeyPipe.h"
#include "tests/support/WaitRescue.h"

#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace {

// A KeyInput on the read end of a pipe that the test writes keys into.
class PipeKeys : public ::testing::Test
{
protected:
    void send(const QByteArray &bytes) { pipe_.send(bytes); }
    void closeWriter() { pipe_.closeWriter(); }
    QString takeText()
    {
        QString text;
        platform::KeyEvent key;
        while (keys_->take(key))
            text += QChar(char16_t(key.character));
        return text;
    }

    KeyPipe pipe_;
    platform::KeyInput *keys_ = &pipe_.keys();
};

TEST_F(PipeKeys, KeepsEveryKeyOfOneReadQueuedUntilTaken)
{
    send("ab\r\ncd\n");
    ASSERT_TRUE(keys_->wait(10000));
    platform::KeyEvent key;
    ASSERT_TRUE(keys_->peek(key));
    EXPECT_EQ(key.character, U'a');
    ASSERT_TRUE(keys_->peek(key)); // peeking twice still shows the same key
    EXPECT_EQ(key.character, U'a');
    EXPECT_EQ(takeText(), QStringLiteral("ab\rcd\n"));
    EXPECT_FALSE(keys_->peek(key));
    EXPECT_FALSE(keys_->atEnd());
}

TEST_F(PipeKeys, ReportsTheEndOnlyAfterTheLastKeyWasTaken)
{
    send("x\x1b[");
    closeWriter();
    ASSERT_TRUE(keys_->wait(10000));
    EXPECT_FALSE(keys_->atEnd());
    EXPECT_EQ(takeText(), QStringLiteral("x"));
    EXPECT_FALSE(keys_->wait(10000)); // the end is read here; the cut sequence yields nothing
    EXPECT_TRUE(keys_->atEnd());
    EXPECT_FALSE(keys_->wait(10000));
}

TEST_F(PipeKeys, GivesUpALoneEscOnceTheInputStaysQuiet)
{
    send("\x1b");
    EXPECT_FALSE(keys_->wait(200));
    EXPECT_FALSE(keys_->wait(200));
    send("[D");
    ASSERT_TRUE(keys_->wait(10000));
    EXPECT_EQ(takeText(), QStringLiteral("[D")); // text now, not the Left key
}

TEST_F(PipeKeys, WakeUpEndsAWaitWithoutKeys)
{
    platform::wakeKeyInput();
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(keys_->wait(60000));
    EXPECT_LT(clock.elapsed(), 30000); // woken, not timed out
    send("k");
    EXPECT_TRUE(keys_->wait(10000));
}

TEST_F(PipeKeys, AWaitHandlingEventsSleepsUntilQtWorkAndHandlesIt)
{
    QObject context;
    const struct
    {
        const char *name;
        std::function<std::thread(bool *ran)> arrange; // the thread it starts, if any
    } cases[] = {
        {"a timer of this thread",
         [&](bool *ran) {
             QTimer::singleShot(20, &context, [ran] { *ran = true; });
             return std::thread();
         }},
        {"a queued call from another thread",
         [&](bool *ran) {
             return std::thread([&context, ran] {
                 std::this_thread::sleep_for(std::chrono::milliseconds(20));
                 QMetaObject::invokeMethod(&context, [ran] { *ran = true; }, Qt::QueuedConnection);
             });
         }},
    };
    for (const auto &c : cases) {
        bool ran = false;
        std::thread caller = c.arrange(&ran);
        {
            const WaitRescue rescue([this] { send("r"); });
            while (!ran && !keys_->waitHandlingEvents()) {
            }
        }
        if (caller.joinable())
            caller.join();
        EXPECT_TRUE(ran) << c.name << ": the wait slept through it until the rescue typed";
        EXPECT_EQ(takeText(), QString()) << c.name;
    }
}

TEST_F(PipeKeys, AWaitHandlingEventsEndsForKeysWakeUpsAndACutSequence)
{
    // Typed before the wait and while it sleeps.
    send("a");
    EXPECT_TRUE(keys_->waitHandlingEvents());
    EXPECT_EQ(takeText(), QStringLiteral("a"));
    std::thread typist([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        send("b");
    });
    {
        const WaitRescue rescue([this] { send("r"); });
        while (!keys_->waitHandlingEvents()) {
        }
    }
    typist.join();
    EXPECT_EQ(takeText(), QStringLiteral("b"));

    // A wake-up before the wait (after the caller tested its flags) ends it at once.
    platform::wakeKeyInput();
    {
        const WaitRescue rescue([this] { send("r"); });
        EXPECT_FALSE(keys_->waitHandlingEvents()) << "the wait missed the wake-up";
    }
    // A wake-up while it sleeps.
    std::thread waker([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        platform::wakeKeyInput();
    });
    {
        const WaitRescue rescue([this] { send("r"); });
        EXPECT_FALSE(keys_->waitHandlingEvents()) << "the wait slept through the wake-up";
    }
    waker.join();

    // A lone ESC is given up after its short wait, not kept until the next key.
    send("\x1b");
    {
        const WaitRescue rescue([this] { send("r"); });
        while (!keys_->waitHandlingEvents()) {
            send("[D");
        }
    }
    EXPECT_EQ(takeText(), QStringLiteral("[D"));
}

TEST_F(PipeKeys, AWaitHandlingEventsOnAThreadWithoutEventLoopWaitsForKeys)
{
    bool got = false;
    std::thread reader([&] {
        const WaitRescue rescue([this] { closeWriter(); });
        got = keys_->waitHandlingEvents();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    send("k");
    reader.join();
    EXPECT_TRUE(got) << "the wait ended for the end of input only";
    EXPECT_EQ(takeText(), QStringLiteral("k"));
}

} // namespace
