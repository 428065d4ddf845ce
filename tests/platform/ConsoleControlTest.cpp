#include "platform/ConsoleControl.h"
#include "platform/KeyInput.h"

#include <QElapsedTimer>
#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

std::atomic<int> interrupts{0};
std::atomic<int> breaks{0};

bool takeBoth(platform::ControlEvent event)
{
    (event == platform::ControlEvent::Interrupt ? interrupts : breaks).fetch_add(1);
    return true;
}

bool takeNone(platform::ControlEvent)
{
    return false;
}

void setDefault(int signal)
{
    struct sigaction action{};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
}

bool hasDefaultDisposition(int signal)
{
    struct sigaction action{};
    sigaction(signal, nullptr, &action);
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL;
}

class ControlEvents : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setDefault(SIGINT);
        setDefault(SIGQUIT);
        interrupts = 0;
        breaks = 0;
    }
    void TearDown() override { platform::setControlHandler(nullptr); }
};

TEST_F(ControlEvents, HandledEventsReachTheHandlerAndWakeTheKeyReader)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    platform::KeyInput keys(fds[0]);
    platform::setControlHandler(takeBoth);

    raise(SIGINT);
    raise(SIGQUIT);
    EXPECT_EQ(interrupts.load(), 1);
    EXPECT_EQ(breaks.load(), 1);

    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(keys.wait(60000));
    EXPECT_LT(clock.elapsed(), 30000);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(ControlEvents, RemovingTheHandlerGivesBackTheDefaultAction)
{
    platform::setControlHandler(takeBoth);
    EXPECT_FALSE(hasDefaultDisposition(SIGINT));
    EXPECT_FALSE(hasDefaultDisposition(SIGQUIT));
    platform::setControlHandler(nullptr);
    EXPECT_TRUE(hasDefaultDisposition(SIGINT));
    EXPECT_TRUE(hasDefaultDisposition(SIGQUIT));
}

TEST_F(ControlEvents, AnIgnoredSignalStaysIgnored)
{
    // A background job started without job control ignores Ctrl+C; we keep it so.
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGQUIT, &ignore, nullptr);
    platform::setControlHandler(takeBoth);
    struct sigaction now{};
    sigaction(SIGQUIT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    raise(SIGQUIT);
    EXPECT_EQ(breaks.load(), 0);
}

TEST_F(ControlEvents, AnEventTheHandlerDeclinesEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            platform::setControlHandler(takeNone);
            raise(SIGINT);
            std::_Exit(0);
        },
        ::testing::KilledBySignal(SIGINT), "");
    EXPECT_EXIT(
        {
            platform::setControlHandler(takeNone);
            raise(SIGQUIT);
            std::_Exit(0);
        },
        ::testing::KilledBySignal(SIGQUIT), "");
}

} // namespace
