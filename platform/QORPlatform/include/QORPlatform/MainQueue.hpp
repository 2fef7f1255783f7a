#pragma once
// The main-thread executor: work that must run on the main thread hops here.

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace qor {

/// A serial queue bound to one thread, the main thread.
///
/// The main thread is the thread that first used the queue unless `bindCurrentThread()` says
/// otherwise; that thread drives queued work with `drain()` (runs what is queued) or
/// `runUntil(predicate)`. `async` may be called from any thread; `sync` from a background thread
/// blocks until the main thread has run the block (from the main thread it runs at once).
class MainQueue {
public:
    static MainQueue& shared();

    void bindCurrentThread();
    [[nodiscard]] bool isMainThread() const;
    void async(std::function<void()> block);
    template <class F>
    auto sync(F&& f) -> decltype(f()) {
        if (isMainThread()) return f();
        std::packaged_task<decltype(f())()> task(std::forward<F>(f));
        auto future = task.get_future();
        async([&task] { task(); });
        return future.get();
    }
    /// Runs queued blocks until the queue is empty. Main thread only.
    std::size_t drain();
    /// Runs queued blocks, waiting for new ones, until `done()` is true. Main thread only.
    void runUntil(const std::function<bool()>& done);

private:
    MainQueue();
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
    std::thread::id mainThread_;
};

/// Queues `block` on the main thread.
inline void runOnMain(std::function<void()> block) { MainQueue::shared().async(std::move(block)); }
/// Stops the program when called off the main thread: a broken caller invariant.
void assertMainThread(const char* operation);

}  // namespace qor
