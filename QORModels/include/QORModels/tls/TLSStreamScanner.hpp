#pragma once
// Finding the TLS sessions of a capture's reassembled TCP streams.

#include <span>
#include <vector>

#include "QORModels/streams/TCPStream.hpp"
#include "QORModels/tls/TLSKeyInventory.hpp"

namespace qor {

/// Scans reassembled TCP streams (`TCPStreamReassembler`) for ClientHellos and places each one
/// in its stream, ready for `TLSKeyInventory::rows`.
///
/// A stream's client-to-server data is scanned first; the endpoint that received the
/// ClientHello is the server (`stream.serverEndpoint`). When that data holds no ClientHello the
/// server-to-client data is scanned instead: a capture that starts in mid-connection may have
/// put the client on the wrong side, and the placement's server is then `stream.clientEndpoint`.
/// `firstPacketId` is the packet id of the stream's first segment (0 for a stream without
/// segments).
class TLSStreamScanner {
public:
    TLSStreamScanner() = delete;

    /// The ClientHellos of one stream, in the order they occur. Pure; any thread.
    static std::vector<TLSKeyInventory::PlacedSighting> sightings(const TCPStream& stream);

    /// The ClientHellos of every stream: stream by stream in the order given, each stream's in
    /// the order they occur. The streams are scanned on all cores (oneTBB's workers); the call
    /// blocks until done and is meant for a background task. When the task it runs in is
    /// cancelled (`Task::cancel()`) it stops early and gives nothing.
    static std::vector<TLSKeyInventory::PlacedSighting> sightings(std::span<const TCPStream> streams);
};

}  // namespace qor
