#include "QORPlatform/Task.hpp"

#include <mutex>

namespace qor {

struct Task::State {
    std::shared_ptr<std::atomic<bool>> cancelled = std::make_shared<std::atomic<bool>>(false);
    std::thread thread;
    std::once_flag joined;
    ~State() {
        if (thread.joinable()) {
            if (thread.get_id() == std::this_thread::get_id()) thread.detach();
            else thread.join();
        }
    }
};

namespace {
thread_local std::shared_ptr<std::atomic<bool>> currentFlag;
}

Task Task::detached(std::function<void()> body) {
    Task task;
    task.state_ = std::make_shared<State>();
    // The thread keeps its own reference to the state, so dropping every handle neither joins
    // (blocks) nor kills the work; the last owner joins, or detaches when it is the thread itself.
    auto keepAlive = task.state_;
    task.state_->thread = std::thread([keepAlive = std::move(keepAlive), body = std::move(body)]() mutable {
        currentFlag = keepAlive->cancelled;
        body();
        currentFlag.reset();
        keepAlive.reset();
    });
    return task;
}

void Task::cancel() const {
    if (state_) state_->cancelled->store(true);
}

bool Task::cancelled() const { return state_ && state_->cancelled->load(); }

void Task::wait() const {
    if (!state_) return;
    std::call_once(state_->joined, [this] {
        if (state_->thread.joinable() && state_->thread.get_id() != std::this_thread::get_id()) state_->thread.join();
    });
}

bool Task::isCancelled() { return currentFlag && currentFlag->load(std::memory_order_relaxed); }

void Task::checkCancellation() {
    if (isCancelled()) throw CancellationError();
}

std::shared_ptr<std::atomic<bool>> Task::currentCancellationFlag() { return currentFlag; }

void Task::runWithCancellationFlag(const std::shared_ptr<std::atomic<bool>>& flag, const std::function<void()>& body) {
    auto saved = currentFlag;
    currentFlag = flag;
    body();
    currentFlag = saved;
}

}  // namespace qor
