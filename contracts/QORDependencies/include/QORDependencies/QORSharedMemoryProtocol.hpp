#pragma once
// The shared progress and stop state of long operations.

#include <cstdint>

namespace qor {

/// Progress of a long background operation and the user's wish to stop it. Thread-safe.
class QORSharedMemoryProtocol {
public:
    virtual ~QORSharedMemoryProtocol() = default;
    [[nodiscard]] virtual double progress() const = 0;
    virtual void setProgress(double value) = 0;
    [[nodiscard]] virtual bool shouldStop() const = 0;
    virtual void setShouldStop(bool value) = 0;
    virtual void reset() = 0;
};

}  // namespace qor
