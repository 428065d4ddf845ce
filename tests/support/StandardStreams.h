#pragma once
// Redirects this process's standard output and standard error (the file
// descriptors, so every writer is caught) into files while it lives, for tests
// of code that writes to them directly.

#include <QByteArray>
#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

class StandardStreams
{
public:
    StandardStreams()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        out_.open();
        err_.open();
        savedOut_ = ::dup(STDOUT_FILENO);
        savedErr_ = ::dup(STDERR_FILENO);
        ::dup2(out_.handle(), STDOUT_FILENO);
        ::dup2(err_.handle(), STDERR_FILENO);
    }
    ~StandardStreams() { restore(); }
    StandardStreams(const StandardStreams &) = delete;
    StandardStreams &operator=(const StandardStreams &) = delete;

    // Puts the streams back; out() and err() stay readable.
    void restore()
    {
        if (savedOut_ < 0)
            return;
        std::fflush(stdout);
        std::fflush(stderr);
        ::dup2(savedOut_, STDOUT_FILENO);
        ::dup2(savedErr_, STDERR_FILENO);
        ::close(savedOut_);
        ::close(savedErr_);
        savedOut_ = savedErr_ = -1;
    }

    QByteArray out() { return contents(out_); }
    QByteArray err() { return contents(err_); }

private:
    static QByteArray contents(QTemporaryFile &file)
    {
        file.seek(0);
        return file.readAll();
    }

    QTemporaryFile out_;
    QTemporaryFile err_;
    int savedOut_ = -1;
    int savedErr_ = -1;
};
