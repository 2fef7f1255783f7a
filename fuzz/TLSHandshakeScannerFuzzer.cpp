// Fuzz target for the TLS handshake scanner: arbitrary bytes read as one direction of a TLS
// connection.
//
// Invariants: every client random is 32 bytes; every server name and ALPN name is valid UTF-8;
// a ClientHello takes at least 38 handshake bytes, so there are never more sightings than that
// allows; the client-random extractor gives the sightings' randoms in order; scanning is
// deterministic.

#include <cstdint>
#include <cstdlib>

#include "QORCommonTools/TextHelpers.hpp"
#include "QORModels/tls/TLSHandshakeScanner.hpp"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const qor::Data data = qor::Data::copy({reinterpret_cast<const std::byte*>(bytes), size});
    const auto sightings = qor::TLSHandshakeScanner::sightings(data);
    check(sightings.size() * 38 <= size);
    for (const auto& s : sightings) {
        check(s.clientRandom.size() == 32);
        check(!s.offeredVersions.empty());
        if (s.serverName) check(qor::isValidUTF8(*s.serverName));
        for (const auto& name : s.alpnProtocols) check(qor::isValidUTF8(name));
        (void)qor::TLSHandshakeSightingHash{}(s);
    }
    const auto randoms = qor::TLSClientRandomExtractor::clientRandoms(data);
    check(randoms.size() == sightings.size());
    for (std::size_t i = 0; i < randoms.size(); ++i) check(randoms[i] == sightings[i].clientRandom);
    check(qor::TLSHandshakeScanner::sightings(data) == sightings);
    return 0;
}
