#pragma once
// Ends a wait that has no time limit of its own after 20 s, by calling the
// rescue (type a key, close a pipe), unless it is destroyed first: the bound of
// a test whose wait should end for something else, which then fails on what
// the rescue left behind.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class WaitRescue
{
public:
    explicit WaitRescue(std::function<void()> rescue)
        : thread_([this, rescue] {
            std::unique_lock lock(mutex_);
            if (!done_.wait_for(lock, std::chrono::seconds(20), [this] { return finished_; }))
                rescue();
        })
    {
    }
    ~WaitRescue()
    {
        {
            const std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }
    WaitRescue(const WaitRescue &) = delete;
    WaitRescue &operator=(const WaitRescue &) = delete;

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_; // last: starts once the members it uses exist
};
