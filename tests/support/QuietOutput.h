#pragma once
// Points standard output at /dev/null while it lives. For traffic that prints
// a line per chunk (the TCP bridge): a capture of it would grow with the
// traffic, and a terminal would slow it down.

#include <fcntl.h>
#include <unistd.h>

class QuietOutput
{
public:
    QuietOutput()
        : saved_(::dup(STDOUT_FILENO))
    {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ~QuietOutput()
    {
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }
    QuietOutput(const QuietOutput &) = delete;
    QuietOutput &operator=(const QuietOutput &) = delete;

private:
    int saved_;
};
