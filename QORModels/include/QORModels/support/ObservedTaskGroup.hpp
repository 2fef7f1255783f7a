#pragma once
// A task group whose hand-overs race checkers see.

#include <tbb/task_group.h>

#include <atomic>
#include <cstddef>
#include <utility>

namespace qor {

/// `tbb::task_group` for one caller that runs tasks and waits for them, with its two hand-overs
/// said again in atomics of this library, as `observedParallelFor` says a loop's: oneTBB starts
/// and joins its tasks inside its own library, which race checkers do not watch. A task
/// acquires what the caller released when it ran the task, and `wait` acquires what every task
/// released when it ended.
///
/// Destroyed, the group waits for its tasks, so that a scope left by an exception leaves no task
/// using its locals; a task's own failure is dropped there (the exception leaving the scope is
/// the one that propagates). Declare it after the locals its tasks use.
class ObservedTaskGroup {
public:
    ObservedTaskGroup() = default;
    ~ObservedTaskGroup() {
        try {
            wait();
        } catch (...) {  // see the class comment
        }
    }
    ObservedTaskGroup(const ObservedTaskGroup&) = delete;
    ObservedTaskGroup& operator=(const ObservedTaskGroup&) = delete;

    /// Runs `task()` on a worker (or on the caller, when it waits).
    template <class Task>
    void run(Task task) {
        launched_.fetch_add(1, std::memory_order_release);
        group_.run([this, task = std::move(task)] {
            (void)launched_.load(std::memory_order_acquire);
            struct Finished {
                std::atomic<std::size_t>& count;
                ~Finished() { count.fetch_add(1, std::memory_order_release); }
            } finishedOnExit{finished_};
            task();
        });
    }

    /// Waits for every task run so far; rethrows the failure of one that failed.
    void wait() {
        group_.wait();
        (void)finished_.load(std::memory_order_acquire);
    }

private:
    tbb::task_group group_;
    std::atomic<std::size_t> launched_{0};
    std::atomic<std::size_t> finished_{0};
};

}  // namespace qor
