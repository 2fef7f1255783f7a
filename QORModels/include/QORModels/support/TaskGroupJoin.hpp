#pragma once
// Waiting for a task group's tasks when a scope is left, however it is left.

#include <tbb/task_group.h>

namespace qor {

/// Waits for every task of `group` when it goes out of scope, so that a scope left by an
/// exception leaves no task using its locals. A task's own failure is dropped there: the
/// exception that is leaving the scope is the one that propagates. Declare it after the locals
/// the tasks use, so that it is destroyed before them.
class TaskGroupJoin {
public:
    explicit TaskGroupJoin(tbb::task_group& group) noexcept : group_(group) {}
    ~TaskGroupJoin() {
        try {
            group_.wait();
        } catch (...) {  // see the class comment
        }
    }
    TaskGroupJoin(const TaskGroupJoin&) = delete;
    TaskGroupJoin& operator=(const TaskGroupJoin&) = delete;

private:
    tbb::task_group& group_;
};

}  // namespace qor
