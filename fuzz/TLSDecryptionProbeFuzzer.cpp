// Fuzzes the standard plug-in's TLS decryption probe: records made from the input follow a fixed
// handshake whose keys are published, sealed with those keys or put in the clear, so that both
// the failing and the authenticated paths (inner content types, handshake messages under
// encryption, key updates) see hostile content. With the top bit of the first byte set, the
// input is a stream's raw bytes instead, for the record walker and the hello parsers.
//
// Input: byte 0 picks the suite (low bits) and the mode (top bit). Then records, each a control
// byte, a length byte and up to that many content bytes. Control bits: 0 from the client; 1
// sealed; 2-3 content type (20, 21, 22, 23); 4 starts a new segment; 5-7 TLS 1.3 padding / 8.
// Checked: probe and decrypt agree (a key mismatch for one is one for the other; decrypt
// succeeding means probe succeeds), and a plaintext's byte indexes cover it exactly.

#include <array>
#include <cstdint>
#include <cstdlib>

#include "../tests/tls/TLSSessionWriter.hpp"
#include "QORModels/tls/TLSDecryptionProbeRegistry.hpp"
#include "QORModels/tls/TLSKeyIndex.hpp"
#include "support/StandardPlugIn.hpp"
#include "support/StreamFromBytes.hpp"

namespace {

using qor::TCPSegment;
using qor::test::tls::Octets;
using qor::test::tls::TLSSessionWriter;

constexpr std::array<unsigned, 8> suites = {0xc02f, 0xc030, 0xcca8, 0xc013, 0x003c, 0x1301, 0x1302, 0x1303};

char seedOf(std::size_t suite) { return static_cast<char>(0x21 + 3 * suite); }

const qor::TLSStreamDecrypting& decrypter() {
    static const std::shared_ptr<const qor::TLSStreamDecrypting> probe = [] {
        qor::fuzz::activateStandardPlugIn();
        auto index = std::make_shared<qor::TLSKeyIndex>();
        for (std::size_t s = 0; s < suites.size(); ++s)
            for (auto& entry : qor::KeylogEntry::parse(TLSSessionWriter(suites[s], seedOf(s)).keyLog(),
                                                       qor::KeylogSource::userFile("fuzz.keys")))
                index->add(std::move(entry));
        qor::TLSKeyIndex::publish(std::move(index));
        auto found = qor::TLSDecryptionProbeRegistry::shared().currentDecrypter();
        if (!found) std::abort();
        return found;
    }();
    return *probe;
}

/// A stream of segments, one packet each.
qor::TCPStream streamOf(const qor::test::tls::Segments& segments) {
    qor::TCPStream stream;
    stream.clientEndpoint = {"10.0.0.1", 40000};
    stream.serverEndpoint = {"10.0.0.2", 443};
    stream.key = qor::TCPStreamKey::between(stream.clientEndpoint, stream.serverEndpoint);
    Octets client, server;
    std::int64_t packet = 0;
    for (const auto& [fromClient, bytes] : segments) {
        auto& data = fromClient ? client : server;
        auto& index = fromClient ? stream.clientByteIndex : stream.serverByteIndex;
        const auto before = static_cast<std::int64_t>(data.size());
        data += bytes;
        ++packet;
        if (!bytes.empty()) index.spans.push_back({{before, static_cast<std::int64_t>(data.size())}, {packet}, static_cast<double>(packet)});
        stream.segments.push_back({packet, fromClient ? TCPSegment::Direction::clientToServer : TCPSegment::Direction::serverToClient,
                                   0, 0, {}, qor::Data::fromString(bytes), static_cast<double>(packet)});
    }
    stream.clientToServerData = qor::Data::fromString(client);
    stream.serverToClientData = qor::Data::fromString(server);
    stream.endTime = static_cast<double>(packet);
    return stream;
}

void checkCovers(const qor::ByteToSegmentIndex& index, const qor::Data& data) {
    std::int64_t at = 0;
    for (const auto& span : index.spans) {
        if (span.range.lowerBound != at || span.range.isEmpty() || span.packetIds.empty()) std::abort();
        at = span.range.upperBound;
    }
    if (at != static_cast<std::int64_t>(data.size())) std::abort();
}

void check(const qor::TCPStream& stream) {
    const auto& probe = decrypter();
    const auto outcome = probe.probe(stream);
    const auto decryption = probe.decrypt(stream);
    const auto mismatch = qor::TLSDecryptionOutcome::notDecrypted(qor::TLSDecryptionFailure::keyMismatch);
    if ((outcome == mismatch) != (decryption.outcome == mismatch)) std::abort();
    if (decryption.outcome.isDecrypted() && !outcome.isDecrypted()) std::abort();
    if (decryption.outcome.isDecrypted() != decryption.plaintext.has_value()) std::abort();
    if (decryption.plaintext) {
        checkCovers(decryption.plaintext->clientByteIndex, decryption.plaintext->clientToServerData);
        checkCovers(decryption.plaintext->serverByteIndex, decryption.plaintext->serverToClientData);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    if (data[0] & 0x80) {
        check(qor::fuzz::streamFromBytes(data + 1, size - 1));
        return 0;
    }
    const std::size_t suite = data[0] % suites.size();
    TLSSessionWriter session(suites[suite], seedOf(suite));
    auto segments = session.handshake();
    static constexpr std::uint8_t types[] = {20, 21, 22, 23};
    for (std::size_t at = 1; at + 2 <= size;) {
        const std::uint8_t control = data[at], length = data[at + 1];
        at += 2;
        const std::size_t take = std::min<std::size_t>(length, size - at);
        const Octets content(reinterpret_cast<const char*>(data + at), take);
        at += take;
        const bool fromClient = control & 1;
        const std::uint8_t type = types[control >> 2 & 3];
        const Octets record = (control & 2) ? session.sealed(fromClient, content, type, (control >> 5) * 8)
                                            : qor::test::tls::record(type, content);
        if ((control & 0x10) || segments.back().first != fromClient) segments.push_back({fromClient, record});
        else segments.back().second += record;
    }
    check(streamOf(segments));
    return 0;
}
