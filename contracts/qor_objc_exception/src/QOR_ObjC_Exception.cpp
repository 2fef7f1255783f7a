#include "qor_objc_exception/QOR_ObjC_Exception.hpp"

namespace qor {

bool QOR_ObjC_Exception::tryExecute(const std::function<void()>& block, std::optional<NSError>& error) {
    try {
        block();
        return true;
    } catch (const NSException& e) {
        NSError err{"QORObjCException", 1, e.userInfo()};
        err.userInfo[NSLocalizedDescriptionKey] = e.name();
        err.userInfo[NSLocalizedFailureReasonErrorKey] = e.reason();
        error = std::move(err);
        return false;
    }
}

}  // namespace qor
