#pragma once
// The threads that work on the windows of a streamed pass while its caller reads on.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qor {

/// A job of `count` items split into parts of `grain` items, run by `body(begin, end)` on threads
/// of its own while the caller goes on with something else, then finished with the caller's help.
/// One job at a time: `start` hands it over and returns at once; `wait` takes the parts nobody has
/// begun on the caller, waits for the parts in progress, and rethrows the first failure of a part
/// (once a part fails, the parts not yet begun are skipped).
///
/// The threads are one fewer than the cores this process may run on (none on one core, where
/// `wait` runs the whole job), started by the first job and joined when the workers are
/// destroyed. A streamed pass hands over a few thousand windows of a few hundred items each, a
/// fraction of a millisecond apart: a thread that has run out of parts, and a caller waiting for
/// parts in progress, first watch for a while (`kWatch`) and only then sleep, since waking a
/// sleeping thread takes longer than the gap between two windows. A mutex guards the hand-over
/// and the taking of each part, which race checkers see as they are, and a pass that runs no job
/// starts no thread. oneTBB is not used here: its first use maps its own allocator's pools, which
/// a streamed listing would keep resident for nothing.
///
/// Not thread-safe: one caller starts jobs, waits for them and destroys the workers.
class WindowWorkers {
public:
    using Body = std::function<void(std::size_t begin, std::size_t end)>;

    WindowWorkers(std::size_t grain, Body body);
    ~WindowWorkers();
    WindowWorkers(const WindowWorkers&) = delete;
    WindowWorkers& operator=(const WindowWorkers&) = delete;

    /// Hands over the job of items [0, `count`); the job before must have been waited for.
    void start(std::size_t count);
    /// Finishes the job started last (nothing when there is none): see the class comment.
    void wait();

private:
    /// How long a thread out of work watches for more before it sleeps.
    static constexpr std::chrono::microseconds kWatch{100};

    /// The threads a job runs on beside its caller: the cores of this process's affinity, less one.
    static std::size_t helperCount();
    /// Spins until `done()` or for `kWatch`, whichever comes first.
    template <class Done>
    static void watch(const Done& done);
    /// Runs parts of the job on the calling thread until none is left to begin; `lock` is held on
    /// entry and exit.
    void runParts(std::unique_lock<std::mutex>& lock);
    void helperLoop();

    const std::size_t grain_;
    const Body body_;
    std::mutex mutex_;
    std::condition_variable jobReady_;
    std::condition_variable partsDone_;
    std::size_t count_ = 0;
    std::size_t next_ = 0;
    std::size_t inProgress_ = 0;
    /// Jobs started so far, and whether parts are in progress: written under the mutex, watched
    /// without it.
    std::atomic<std::uint64_t> started_{0};
    std::atomic<bool> busy_{false};
    std::exception_ptr failure_;
    bool stopping_ = false;
    std::vector<std::thread> helpers_;
};

}  // namespace qor
