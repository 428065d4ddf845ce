// Writes straight to a link's handle: a socket whose peer has gone gives a
// failed write, never a signal that ends the program.
#include "platform/LinkIo.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

TEST(LinkWrite, ASocketWhosePeerWentFailsTheWriteAndTheProgramLivesOn)
{
    // The disposition a program has before anything of ours changed it.
    struct sigaction action{};
    action.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &action, nullptr);

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    close(pair[1]);
    const char bytes[] = "\xFF\xFF\xFD\x00";
    // A dead process here is the fault.
    EXPECT_EQ(platform::writeLinkNow(pair[0], bytes, 4), -1);
    EXPECT_EQ(platform::writeLinkNow(pair[0], bytes, 4), -1);
    close(pair[0]);
}
