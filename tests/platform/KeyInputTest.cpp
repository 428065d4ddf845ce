#include "platform/ConsoleControl.h"
#include "platform/KeyInput.h"
#include "tests/support/KeyPipe.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

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

} // namespace
