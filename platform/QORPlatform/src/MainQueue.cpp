#include "QORPlatform/MainQueue.hpp"

#include <cstdio>
#include <cstdlib>

namespace qor {

MainQueue& MainQueue::shared() {
    static MainQueue queue;
    return queue;
}

MainQueue::MainQueue() : mainThread_(std::this_thread::get_id()) {}

void MainQueue::bindCurrentThread() {
    std::lock_guard lock(mutex_);
    mainThread_ = std::this_thread::get_id();
}

bool MainQueue::isMainThread() const {
    std::lock_guard lock(mutex_);
    return mainThread_ == std::this_thread::get_id();
}

void MainQueue::async(std::function<void()> block) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(block));
    }
    cv_.notify_all();
}

std::size_t MainQueue::drain() {
    assertMainThread("MainQueue::drain");
    std::size_t ran = 0;
    for (;;) {
        std::function<void()> block;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) return ran;
            block = std::move(queue_.front());
            queue_.pop_front();
        }
        block();
        ++ran;
    }
}

void MainQueue::runUntil(const std::function<bool()>& done) {
    assertMainThread("MainQueue::runUntil");
    while (!done()) {
        std::function<void()> block;
        {
            std::unique_lock lock(mutex_);
            cv_.wait_for(lock, std::chrono::milliseconds(10), [&] { return !queue_.empty(); });
            if (queue_.empty()) continue;
            block = std::move(queue_.front());
            queue_.pop_front();
        }
        block();
    }
}

void assertMainThread(const char* operation) {
    if (!MainQueue::shared().isMainThread()) {
        std::fprintf(stderr, "%s must be called on the main thread\n", operation);
        std::abort();
    }
}

}  // namespace qor
