// The process-wide decryption probe registry.

#include "QORModels/tls/TLSDecryptionProbeRegistry.hpp"

#include <mutex>
#include <utility>

namespace qor {

const char* rawValue(TLSDecryptionFailure failure) {
    switch (failure) {
        case TLSDecryptionFailure::noHandshake: return "noHandshake";
        case TLSDecryptionFailure::unsupportedVersion: return "unsupportedVersion";
        case TLSDecryptionFailure::noKeyMaterial: return "noKeyMaterial";
        case TLSDecryptionFailure::keyMismatch: return "keyMismatch";
        case TLSDecryptionFailure::recordDecryptionFailed: return "recordDecryptionFailed";
    }
    return "noHandshake";
}

TLSDecryptionProbeRegistry& TLSDecryptionProbeRegistry::shared() {
    static TLSDecryptionProbeRegistry registry;
    return registry;
}

void TLSDecryptionProbeRegistry::register_(std::shared_ptr<const TLSStreamDecryptionProbing> probe) {
    std::shared_ptr<const TLSStreamDecryptionProbing> replaced;
    {
        std::lock_guard guard(lock_);
        replaced = std::exchange(storedProbe_, std::move(probe));
    }
    // the replaced probe is released here, outside the lock
}

std::shared_ptr<const TLSStreamDecryptionProbing> TLSDecryptionProbeRegistry::currentProbe() {
    std::lock_guard guard(lock_);
    return storedProbe_;
}

std::shared_ptr<const TLSStreamDecrypting> TLSDecryptionProbeRegistry::currentDecrypter() {
    return std::dynamic_pointer_cast<const TLSStreamDecrypting>(currentProbe());
}

}  // namespace qor
