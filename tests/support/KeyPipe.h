#pragma once
// A pipe whose read end feeds a platform::KeyInput: a test types by writing
// bytes, and ends the input by closing the writing end.

#include "platform/KeyInput.h"

#include <QByteArray>
#include <gtest/gtest.h>
#include <optional>
#include <unistd.h>

class KeyPipe
{
public:
    KeyPipe()
    {
        EXPECT_EQ(::pipe(fds_), 0);
        keys_.emplace(fds_[0]);
    }
    ~KeyPipe()
    {
        keys_.reset();
        ::close(fds_[0]);
        closeWriter();
    }
    KeyPipe(const KeyPipe &) = delete;
    KeyPipe &operator=(const KeyPipe &) = delete;

    platform::KeyInput &keys() { return *keys_; }

    void send(const QByteArray &bytes)
    {
        EXPECT_EQ(::write(fds_[1], bytes.constData(), size_t(bytes.size())), bytes.size());
    }
    void closeWriter()
    {
        if (fds_[1] >= 0)
            ::close(fds_[1]);
        fds_[1] = -1;
    }

private:
    int fds_[2] = {-1, -1};
    std::optional<platform::KeyInput> keys_;
};
