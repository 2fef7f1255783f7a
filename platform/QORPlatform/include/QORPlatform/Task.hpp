#pragma once
// Background tasks with cooperative cancellation.

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace qor {

/// Thrown by `Task::checkCancellation()`; the platform's cancellation error.
struct CancellationError : std::exception {
    const char* what() const noexcept override { return "The operation was cancelled."; }
};

/// A handle on work running on its own background thread.
///
/// The caller keeps the handle to `cancel()` the work; the work polls `Task::isCancelled()`
/// (the flag of the task it runs in) at its own safe points. Copies of the handle share the
/// task. The running body keeps the task alive, so dropping every handle does not stop or wait
/// for it; `wait()` joins.
class Task {
public:
    Task() = default;
    /// Starts `body` on a new thread.
    static Task detached(std::function<void()> body);

    void cancel() const;
    [[nodiscard]] bool cancelled() const;
    /// Blocks until the body has returned.
    void wait() const;
    [[nodiscard]] bool valid() const { return static_cast<bool>(state_); }

    /// Whether the task the calling thread runs in has been cancelled (false outside any task).
    static bool isCancelled();
    /// Throws `CancellationError` when the current task has been cancelled.
    static void checkCancellation();

    /// The cancellation flag of the task the calling thread runs in; null outside any task. Work
    /// that a task spreads over worker threads polls it (or hands it on with
    /// `runWithCancellationFlag`).
    static std::shared_ptr<std::atomic<bool>> currentCancellationFlag();
    /// Runs `body` on the calling thread as if inside a task whose flag is `flag`; used by
    /// parallel helpers that spread one task's work over worker threads.
    static void runWithCancellationFlag(const std::shared_ptr<std::atomic<bool>>& flag, const std::function<void()>& body);

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace qor
