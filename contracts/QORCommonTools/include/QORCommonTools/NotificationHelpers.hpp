#pragma once
// Notification-centre helpers.

#include <string>

#include "QORPlatform/NotificationCenter.hpp"

namespace qor {

class MainQueue;

/// Registers `block` for `name` on `center` and gives the observer token. `object` narrows the
/// posts observed; `queue`, when given, runs the block there instead of on the posting thread.
ObserverToken addUnsafeObserver(NotificationCenter& center, std::string name, const NSObject* object, MainQueue* queue,
                                NotificationCenter::Block block);

}  // namespace qor
