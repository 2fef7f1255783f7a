// The process-wide registry of stream interpreter types.

#include "QORModels/analysis/QORStreamInterpreterRegistry.hpp"

#include "QORModels/analysis/QORPlugInsController.hpp"
#include "QORPlatform/MainQueue.hpp"

namespace qor {

std::shared_ptr<const QORStreamInterpreting> streamInterpreterOf(const AnalyzerClassRef& cls) {
    if (!cls) return nullptr;
    auto* interpreter = dynamic_cast<const QORStreamInterpreting*>(cls.get());
    if (!interpreter) return nullptr;
    return std::shared_ptr<const QORStreamInterpreting>(cls, interpreter);
}

QORStreamInterpreterRegistry& QORStreamInterpreterRegistry::shared() {
    static QORStreamInterpreterRegistry registry;
    return registry;
}

void QORStreamInterpreterRegistry::populate(std::vector<QORStreamInterpreterTypeBox> types) {
    std::vector<QORStreamInterpreterTypeBox> old;  // released outside the lock
    {
        std::lock_guard guard(lock_);
        old.swap(boxedTypes_);
        boxedTypes_ = std::move(types);
    }
}

std::vector<QORStreamInterpreterTypeBox> QORStreamInterpreterRegistry::snapshot() {
    std::vector<QORStreamInterpreterTypeBox> copy;
    {
        std::lock_guard guard(lock_);
        copy = boxedTypes_;
    }
    if (!copy.empty() || !MainQueue::shared().isMainThread()) return copy;
    copy = QORPlugInsController::sharedManager()->streamInterpreterTypes();
    populate(copy);
    return copy;
}

}  // namespace qor
