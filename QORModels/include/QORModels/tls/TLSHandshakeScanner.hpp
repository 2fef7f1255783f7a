#pragma once
// Finding the ClientHellos, or only their client randoms, in a byte stream of TLS records.

#include <vector>

#include "QORModels/tls/TLSHandshakeSighting.hpp"
#include "QORPlatform/Data.hpp"

namespace qor {

/// Reads the plaintext handshake records of one direction of a TLS connection (a TCP stream's
/// `clientToServerData`) and reports its ClientHellos. Decrypts nothing.
///
/// The records are walked from the start; the fragments of the handshake records (type 22) are
/// joined into one handshake buffer, so a message split over several records, or following
/// records of other types, is read whole. The buffer is a slice of the input when one record
/// holds every handshake byte, and is copied together only when there are several: its size
/// never exceeds the input's. A record or message whose length runs past the end of the data
/// ends the walk; a ClientHello whose extensions do not fit is still reported, without them.
///
/// Pure and stateless: may run on any thread. Never throws on content, never reads outside the
/// input.
class TLSHandshakeScanner {
public:
    TLSHandshakeScanner() = delete;

    /// Every ClientHello of `data`, in the order they occur.
    static std::vector<TLSHandshakeSighting> sightings(const Data& data);
};

/// The `clientRandom` of every sighting `TLSHandshakeScanner::sightings` gives, in the same
/// order. Pure; may run on any thread.
class TLSClientRandomExtractor {
public:
    TLSClientRandomExtractor() = delete;

    static std::vector<Data> clientRandoms(const Data& data);
};

}  // namespace qor
