// Decrypting a TLS 1.2 AES-128-GCM stream with the standard plug-in's probe, on one core: 16 MiB
// of server application data in 16 KiB records, each record in its own segment, sealed once with
// OpenSSL from a known master secret whose key line is published before timing.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <stdexcept>

#include "../tests/tls/TLSSessionWriter.hpp"
#include "QORModels/analysis/QORPlugInsController.hpp"
#include "QORModels/tls/TLSDecryptionProbeRegistry.hpp"
#include "QORModels/tls/TLSKeyIndex.hpp"
#include "QORPlatform/MainQueue.hpp"

namespace {

constexpr std::size_t kRecordBytes = 16 * 1024;
constexpr std::size_t kTotalBytes = 16 * 1024 * 1024;

struct Fixture {
    std::shared_ptr<const qor::TLSStreamDecrypting> decrypter;
    qor::TCPStream stream;
};

const Fixture& fixture() {
    static const Fixture built = [] {
        if (!std::getenv("QOR_BUILTIN_PLUGINS_DIR")) setenv("QOR_BUILTIN_PLUGINS_DIR", QOR_BUILD_PLUGINS_DIR, 1);
        qor::MainQueue::shared().bindCurrentThread();
        qor::QORPlugInsController::sharedManager()->activateAndPublish();
        Fixture f;
        f.decrypter = qor::TLSDecryptionProbeRegistry::shared().currentDecrypter();
        if (!f.decrypter) throw std::runtime_error("the standard plug-in registered no decrypter");

        qor::test::tls::TLSSessionWriter session(0xc02f);
        auto index = std::make_shared<qor::TLSKeyIndex>();
        for (auto& e : qor::KeylogEntry::parse(session.keyLog(), qor::KeylogSource::userFile("bench.keys"))) index->add(std::move(e));
        qor::TLSKeyIndex::publish(std::move(index));

        auto& s = f.stream;
        s.clientEndpoint = {"10.0.0.1", 40000};
        s.serverEndpoint = {"10.0.0.2", 443};
        s.key = qor::TCPStreamKey::between(s.clientEndpoint, s.serverEndpoint);
        std::string client, server;
        std::int64_t packet = 0;
        auto send = [&](bool fromClient, const std::string& bytes) {
            auto& data = fromClient ? client : server;
            auto& idx = fromClient ? s.clientByteIndex : s.serverByteIndex;
            const auto before = static_cast<std::int64_t>(data.size());
            data += bytes;
            ++packet;
            idx.spans.push_back({{before, static_cast<std::int64_t>(data.size())}, {packet}, static_cast<double>(packet)});
        };
        for (const auto& [fromClient, bytes] : session.handshake()) send(fromClient, bytes);
        send(true, session.sealed(true, "GET /large HTTP/1.1\r\n\r\n"));
        const std::string chunk(kRecordBytes, 'd');
        for (std::size_t sent = 0; sent < kTotalBytes; sent += kRecordBytes) send(false, session.sealed(false, chunk));
        s.clientToServerData = qor::Data::fromString(client);
        s.serverToClientData = qor::Data::fromString(server);
        if (f.decrypter->decrypt(s).plaintext->serverToClientData.size() != kTotalBytes)
            throw std::runtime_error("the benchmark stream does not decrypt");
        return f;
    }();
    return built;
}

void TLSDecryptionAES128GCM(benchmark::State& state) {
    const auto& f = fixture();
    for (auto _ : state) {
        auto decryption = f.decrypter->decrypt(f.stream);
        benchmark::DoNotOptimize(decryption);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotalBytes));
}
BENCHMARK(TLSDecryptionAES128GCM)->Unit(benchmark::kMillisecond);

}  // namespace
