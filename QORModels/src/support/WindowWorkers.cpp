#include "QORModels/support/WindowWorkers.hpp"

#include <sched.h>

#include <algorithm>
#include <system_error>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace qor {

WindowWorkers::WindowWorkers(std::size_t grain, Body body) : grain_(std::max<std::size_t>(grain, 1)), body_(std::move(body)) {}

WindowWorkers::~WindowWorkers() {
    {
        // A job left unfinished (its caller is leaving by an exception) is not begun further;
        // the parts in progress end before the threads are joined.
        std::lock_guard lock(mutex_);
        stopping_ = true;
        next_ = count_;
    }
    jobReady_.notify_all();
    for (auto& helper : helpers_) helper.join();
}

std::size_t WindowWorkers::helperCount() {
    cpu_set_t cores;
    CPU_ZERO(&cores);
    std::size_t available = 0;
    if (::sched_getaffinity(0, sizeof(cores), &cores) == 0) available = static_cast<std::size_t>(CPU_COUNT(&cores));
    if (available == 0) available = std::max(1u, std::thread::hardware_concurrency());
    return available - 1;
}

namespace {
/// A pause in a spin (the processor's hint where it has one).
inline void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}
}  // namespace

template <class Done>
void WindowWorkers::watch(const Done& done) {
    const auto until = std::chrono::steady_clock::now() + kWatch;
    do {
        for (int i = 0; i < 32; ++i) {
            if (done()) return;
            relax();
        }
    } while (std::chrono::steady_clock::now() < until);
}

void WindowWorkers::start(std::size_t count) {
    if (helpers_.empty() && count > grain_) {
        // Threads are started by the first job worth sharing, and a failure to start one leaves
        // the job to the threads there are (the caller at least).
        const std::size_t wanted = helperCount();
        try {
            for (std::size_t i = 0; i < wanted; ++i) helpers_.emplace_back([this] { helperLoop(); });
        } catch (const std::system_error&) {
        }
    }
    {
        std::lock_guard lock(mutex_);
        count_ = count;
        next_ = 0;
        started_.fetch_add(1, std::memory_order_release);
    }
    // Only a job of more than one part needs a helper: the caller takes the first part that is
    // left when it waits.
    if (count > grain_) jobReady_.notify_all();
}

void WindowWorkers::wait() {
    std::unique_lock lock(mutex_);
    runParts(lock);
    if (inProgress_ != 0) {
        lock.unlock();
        watch([this] { return !busy_.load(std::memory_order_acquire); });
        lock.lock();
        partsDone_.wait(lock, [this] { return inProgress_ == 0; });
    }
    count_ = next_ = 0;
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void WindowWorkers::runParts(std::unique_lock<std::mutex>& lock) {
    while (next_ < count_) {
        const std::size_t begin = next_;
        const std::size_t end = std::min(count_, begin + grain_);
        next_ = end;
        if (failure_) continue;  // skipped: a part before failed
        if (inProgress_++ == 0) busy_.store(true, std::memory_order_relaxed);
        lock.unlock();
        std::exception_ptr failed;
        try {
            body_(begin, end);
        } catch (...) {
            failed = std::current_exception();
        }
        lock.lock();
        if (failed && !failure_) failure_ = std::move(failed);
        if (--inProgress_ == 0) {
            busy_.store(false, std::memory_order_release);
            if (next_ >= count_) partsDone_.notify_one();
        }
    }
}

void WindowWorkers::helperLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!stopping_ && next_ >= count_) {
            const std::uint64_t seen = started_.load(std::memory_order_relaxed);
            lock.unlock();
            watch([&] { return started_.load(std::memory_order_acquire) != seen; });
            lock.lock();
        }
        jobReady_.wait(lock, [this] { return stopping_ || next_ < count_; });
        if (stopping_) return;
        runParts(lock);
    }
}

}  // namespace qor
