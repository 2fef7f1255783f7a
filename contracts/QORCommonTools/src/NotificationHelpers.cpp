#include "QORCommonTools/NotificationHelpers.hpp"

#include "QORPlatform/MainQueue.hpp"

namespace qor {

ObserverToken addUnsafeObserver(NotificationCenter& center, std::string name, const NSObject* object, MainQueue* queue,
                                NotificationCenter::Block block) {
    if (!queue) return center.addObserver(std::move(name), object, std::move(block));
    return center.addObserver(std::move(name), object, [queue, block = std::move(block)](const Notification& n) {
        queue->async([block, n] { block(n); });
    });
}

}  // namespace qor
