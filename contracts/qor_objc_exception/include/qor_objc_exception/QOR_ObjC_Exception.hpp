#pragma once
// Runs a block and turns a platform exception it raises into an error object.

#include <functional>
#include <optional>

#include "QORPlatform/NSError.hpp"

namespace qor {

class QOR_ObjC_Exception {
public:
    /// Runs `block`. Gives true when it finished; false, with `error` set, when it raised an
    /// `NSException` (the exception's reason goes under `NSLocalizedFailureReasonErrorKey`, its
    /// name under `NSLocalizedDescriptionKey`). Other exceptions are not the catcher's business
    /// and pass through.
    static bool tryExecute(const std::function<void()>& block, std::optional<NSError>& error);
};

}  // namespace qor
