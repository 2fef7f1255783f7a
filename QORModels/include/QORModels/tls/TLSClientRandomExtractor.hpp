#pragma once
// The client randoms of the ClientHellos in a byte stream of TLS records.

#include <vector>

#include "QORPlatform/Data.hpp"

namespace qor {

/// The `clientRandom` of every sighting `TLSHandshakeScanner::sightings` gives, in the same
/// order. Pure; may run on any thread.
class TLSClientRandomExtractor {
public:
    TLSClientRandomExtractor() = delete;

    static std::vector<Data> clientRandoms(const Data& data);
};

}  // namespace qor
