// Finding a session's keys and decrypting each direction's records in order.

#include "tls/TLSDecryptionProbe.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>
#include <utility>

#include "QORModels/tls/TLSKeyIndex.hpp"
#include "tls/TLSCipherSuite.hpp"
#include "tls/TLSKeyDerivation.hpp"
#include "tls/TLSRecordDecryption.hpp"
#include "tls/TLSRecordLayer.hpp"

namespace qor::standard::tls {
namespace {

using Direction = TCPSegment::Direction;

constexpr std::uint16_t tls12 = 0x0303, tls13 = 0x0304;
constexpr std::size_t masterSecretLength = 48;

enum class Mode { probe, decrypt };

/// The secrets a TLS 1.3 session needs, in the order of `tls13Labels`.
constexpr std::array<std::string_view, 4> tls13Labels = {
    "CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET", "CLIENT_TRAFFIC_SECRET_0",
    "SERVER_TRAFFIC_SECRET_0"};

/// One candidate set of secrets: the master secret (TLS 1.2), or the four TLS 1.3 secrets.
using Secrets = std::vector<Bytes>;

/// The distinct secrets of `label` among the entries whose secret has `length` bytes.
std::vector<Bytes> secretsOf(const std::vector<KeylogEntry>& entries, std::string_view label, std::size_t length) {
    std::vector<Bytes> found;
    for (const auto& entry : entries) {
        if (entry.label != label) continue;
        auto secret = keyLogSecret(entry.line);
        if (secret && secret->size() == length && std::find(found.begin(), found.end(), *secret) == found.end())
            found.push_back(std::move(*secret));
    }
    return found;
}

/// The candidate secret sets, each tried in turn. TLS 1.3 sets take the i-th distinct value of
/// each label (the last one for a label with fewer values); empty when a label has none.
std::vector<Secrets> candidates(const std::vector<KeylogEntry>* entries, const TLSCipherSuite& suite) {
    std::vector<Secrets> sets;
    if (!entries) return sets;
    if (!suite.isTLS13) {
        for (auto& secret : secretsOf(*entries, "CLIENT_RANDOM", masterSecretLength)) sets.push_back({std::move(secret)});
        return sets;
    }
    std::array<std::vector<Bytes>, tls13Labels.size()> values;
    std::size_t most = 0;
    for (std::size_t i = 0; i < tls13Labels.size(); ++i) {
        values[i] = secretsOf(*entries, tls13Labels[i], hashLength(suite.prfHash));
        if (values[i].empty()) return {};
        most = std::max(most, values[i].size());
    }
    for (std::size_t k = 0; k < most; ++k) {
        Secrets set;
        for (const auto& v : values) set.push_back(v[std::min(k, v.size() - 1)]);
        sets.push_back(std::move(set));
    }
    return sets;
}

/// What became of one direction's records.
struct DirectionResult {
    bool authenticatedApplicationData = false;
    std::optional<TLSDecryptionFailure> failure;
    Data plaintext;  ///< application data only
    ByteToSegmentIndex index;
    /// Where the direction's next TLS session starts: a hello in the clear after this session's
    /// protected records (decrypting only).
    std::optional<std::size_t> nextSession;
};

/// The largest fragment a record can carry (its length field has 16 bits).
constexpr std::size_t largestFragment = 0xFFFF;

/// The client's TLS 1.3 early data (0-RTT): its records under the early traffic keys, which
/// end with an EndOfEarlyData message (when the server accepted them) or with the first record
/// under the handshake keys.
class EarlyData {
public:
    /// `secrets`: the key log's early traffic secrets for the session; null when the client
    /// offered no early data.
    EarlyData(const TLSCipherSuite& suite, const std::vector<Bytes>* secrets) : suite_(suite), secrets_(secrets), pending_(secrets) {}

    /// Whether the client's records may still be early data.
    [[nodiscard]] bool pending() const noexcept { return pending_; }
    /// The early records are over.
    void finish() noexcept { pending_ = false; }

    /// Opens `record` under the early keys into `out`: the first early record picks the secret
    /// that opens it among the key log's. Nothing when it does not open (no secret does, or
    /// the record is not early data); an EndOfEarlyData opened ends the early records.
    std::optional<TLSRecordDecryptor::Opened> open(const TLSRecord& record, std::span<std::byte> out) {
        if (!decryptor_) {
            if (tried_) return std::nullopt;
            tried_ = true;
            for (const auto& secret : *secrets_) {
                auto keys = tls13TrafficKeys(suite_, secret);
                if (!keys) continue;
                auto candidate = std::make_unique<TLSRecordDecryptor>(suite_, std::move(*keys));
                if (auto opened = candidate->open(record, 0, out)) {
                    decryptor_ = std::move(candidate);
                    sequence_ = 1;
                    return noted(*opened, out);
                }
            }
            return std::nullopt;
        }
        auto opened = decryptor_->open(record, sequence_, out);
        if (!opened) return std::nullopt;
        ++sequence_;
        return noted(*opened, out);
    }

private:
    /// `opened`, ending the early records when it is the EndOfEarlyData message.
    TLSRecordDecryptor::Opened noted(TLSRecordDecryptor::Opened opened, std::span<const std::byte> out) {
        if (opened.type == contentType(TLSContentType::handshake)) {
            handshake_.append(out.first(opened.length));
            while (auto message = handshake_.next())
                if (message->type == handshakeType::endOfEarlyData) pending_ = false;
        }
        return opened;
    }

    const TLSCipherSuite& suite_;
    const std::vector<Bytes>* secrets_;
    bool pending_;
    bool tried_ = false;
    std::unique_ptr<TLSRecordDecryptor> decryptor_;
    std::uint64_t sequence_ = 0;
    TLSHandshakeReassembly handshake_;
};

/// Walks one direction's records, opening the protected ones in order. Each record is opened
/// into one buffer, left uninitialised until written: after the application data kept so far
/// when decrypting (no record's content is longer than its fragment, so the buffer needs the
/// direction's size at most), at its start when probing (nothing is kept).
class DirectionDecryption {
public:
    /// The session whose records start at `from` in the direction's data.
    DirectionDecryption(const TCPStream& stream, Direction direction, const TLSCipherSuite& suite, Mode mode, std::size_t from)
        : stream_(stream), direction_(direction), suite_(suite), mode_(mode), from_(std::min(from, data().size())),
          capacity_(mode == Mode::decrypt ? data().size() - from_ : std::min(data().size() - from_, largestFragment)),
          buffer_(new std::byte[capacity_]) {}

    /// Where a TLS 1.2 walk stopped.
    enum class Stop { done, failed, renegotiated };

    /// Starts the TLS 1.2 walk under `keys`, or goes on under them from where a renegotiation
    /// stopped it (the walk runs with `tls12`).
    void startTLS12(const TLSCipherSuite& suite, TLSTrafficKeys keys) {
        decryptor12_ = std::make_unique<TLSRecordDecryptor>(suite, std::move(keys));
        sequence12_ = 0;
        if (!reader12_) reader12_.emplace(data(), from_);
    }

    /// Runs the TLS 1.2 walk from where it stands to the end of the session, a record that
    /// does not open, or the change_cipher_spec that ends a renegotiation under the current keys:
    /// the session's later records use the keys the new hellos (`renegotiatedRandom`,
    /// `renegotiatedSuite`) derive, given with `startTLS12` again.
    Stop tls12() {
        while (auto record = reader12_->next()) {
            if (!protectedRecords_) {
                protectedRecords_ = record->type == contentType(TLSContentType::changeCipherSpec);
                continue;
            }
            auto opened = decryptor12_->open(*record, sequence12_++, room());
            if (!opened) {
                if (openedAny_ && nextSessionAt(*record)) return Stop::done;
                markFailed();
                return Stop::failed;
            }
            openedAny_ = true;
            if (opened->type == contentType(TLSContentType::handshake)) {
                // A renegotiation: its hellos travel under the current keys.
                handshake12_.append(room().first(opened->length));
                while (auto message = handshake12_.next()) {
                    if (message->type != ownHello()) continue;
                    if (auto random = helloRandom(message->body)) renegotiatedRandom_ = Data::copy(*random);
                    if (direction_ == Direction::serverToClient) renegotiatedSuite_ = serverHelloSuite(message->body);
                }
            } else if (opened->type == contentType(TLSContentType::changeCipherSpec) && renegotiatedRandom_) {
                handshake12_ = {};
                return Stop::renegotiated;
            } else if (opened->type == contentType(TLSContentType::applicationData) && keepApplicationData(*record, opened->length)) {
                return Stop::done;
            }
        }
        return Stop::done;
    }
    /// What the hello of a renegotiation said: the direction's own random (the server's also
    /// the suite it chose); taken once read.
    std::optional<Data> takeRenegotiatedRandom() { return std::exchange(renegotiatedRandom_, std::nullopt); }
    std::optional<std::uint16_t> takeRenegotiatedSuite() { return std::exchange(renegotiatedSuite_, std::nullopt); }
    /// What the walk found.
    DirectionResult result() { return result_.failure ? std::move(result_) : finish(); }

    /// `early`: the early traffic secrets the key log holds, for the client's direction of a
    /// session whose ClientHello offered 0-RTT (null otherwise).
    ///
    /// Until a record opens under the handshake keys, the client's records may be early data:
    /// each is opened under the early keys when the key log has them (application data kept,
    /// an EndOfEarlyData ending the early records), else passed over, as a server that rejects
    /// early data passes it over. Records passed over with nothing opening under the handshake
    /// keys after them are a key mismatch.
    DirectionResult tls13(const Bytes& handshakeSecret, Bytes trafficSecret, const std::vector<Bytes>* early) {
        auto handshakeKeys = tls13TrafficKeys(suite_, handshakeSecret);
        if (!handshakeKeys) return fail();
        auto decryptor = std::make_unique<TLSRecordDecryptor>(suite_, std::move(*handshakeKeys));
        bool applicationKeys = false;
        std::uint64_t sequence = 0;
        TLSHandshakeReassembly handshake;
        EarlyData earlyData(suite_, early);
        bool passedOver = false;
        // Switches to the keys of `secret` for the records that follow.
        auto rekey = [&](const Bytes& secret) {
            auto keys = tls13TrafficKeys(suite_, secret);
            if (!keys) return false;
            decryptor = std::make_unique<TLSRecordDecryptor>(suite_, std::move(*keys));
            sequence = 0;
            handshake = {};
            return true;
        };
        for (TLSRecordReader records(data(), from_); auto record = records.next();) {
            // The hellos, change_cipher_spec and plaintext alerts travel unprotected.
            if (record->type != contentType(TLSContentType::applicationData)) {
                if (applicationKeys && nextSessionAt(*record)) break;
                continue;
            }
            if (earlyData.pending()) {
                if (auto opened = earlyData.open(*record, room())) {
                    if (opened->type == contentType(TLSContentType::applicationData)) keepApplicationData(*record, opened->length, true);
                    continue;
                }
            }
            auto opened = decryptor->open(*record, sequence, room());
            if (!opened) {
                if (!earlyData.pending()) return fail();
                passedOver = true;
                continue;
            }
            ++sequence;
            earlyData.finish();
            if (opened->type == contentType(TLSContentType::applicationData)) {
                if (keepApplicationData(*record, opened->length)) break;
                continue;
            }
            if (opened->type == contentType(TLSContentType::handshake)) handshake.append(room().first(opened->length));
            while (auto message = handshake.next()) {
                if (!applicationKeys && message->type == handshakeType::finished) {
                    // The direction's Finished is the last record under its handshake keys.
                    if (!rekey(trafficSecret)) return fail();
                    applicationKeys = true;
                } else if (applicationKeys && message->type == handshakeType::keyUpdate) {
                    auto next = tls13NextTrafficSecret(suite_, trafficSecret);
                    if (!next || !rekey(*next)) return fail();
                    trafficSecret = std::move(*next);
                }
            }
        }
        if (earlyData.pending() && passedOver) return fail();
        return finish();
    }

private:
    const Data& data() const {
        return direction_ == Direction::clientToServer ? stream_.clientToServerData : stream_.serverToClientData;
    }

    /// Whether `record`, which this session cannot open, is the hello in the clear that starts
    /// the direction's next session (noted).
    bool nextSessionAt(const TLSRecord& record) {
        if (!startsHello(record, ownHello())) return false;
        result_.nextSession = static_cast<std::size_t>(record.range.lowerBound);
        return true;
    }

    /// The hello this direction sends.
    std::uint8_t ownHello() const {
        return direction_ == Direction::clientToServer ? handshakeType::clientHello : handshakeType::serverHello;
    }

    /// Where the next record's content goes.
    std::span<std::byte> room() { return {buffer_.get() + kept_, capacity_ - kept_}; }

    void markFailed() {
        result_.failure = result_.authenticatedApplicationData ? TLSDecryptionFailure::recordDecryptionFailed
                                                               : TLSDecryptionFailure::keyMismatch;
    }
    DirectionResult fail() {
        markFailed();
        return std::move(result_);
    }

    DirectionResult finish() {
        result_.plaintext = Data::wrap(buffer_, {buffer_.get(), kept_});
        return std::move(result_);
    }

    /// Keeps the `length` bytes of application data that the record put in `room()` and
    /// indexes them; true when the walk may stop here (a probe needs only the first
    /// application-data record under the traffic keys). Early data (0-RTT) is kept in its
    /// place but proves nothing of the traffic keys.
    bool keepApplicationData(const TLSRecord& record, std::size_t length, bool early = false) {
        if (!early) result_.authenticatedApplicationData = true;
        if (mode_ == Mode::probe) return !early;
        if (length > 0) {
            auto location = stream_.locate(record.range, direction_);
            result_.index.spans.push_back({{static_cast<std::int64_t>(kept_), static_cast<std::int64_t>(kept_ + length)},
                                           std::move(location.packetIds), location.timestamp.value_or(0)});
            kept_ += length;
        }
        return false;
    }

    const TCPStream& stream_;
    Direction direction_;
    const TLSCipherSuite& suite_;
    Mode mode_;
    std::size_t from_;
    std::size_t capacity_;
    // The TLS 1.2 walk.
    std::optional<TLSRecordReader> reader12_;
    std::unique_ptr<TLSRecordDecryptor> decryptor12_;
    std::uint64_t sequence12_ = 0;
    bool protectedRecords_ = false, openedAny_ = false;
    TLSHandshakeReassembly handshake12_;
    std::optional<Data> renegotiatedRandom_;
    std::optional<std::uint16_t> renegotiatedSuite_;
    std::shared_ptr<std::byte[]> buffer_;
    std::size_t kept_ = 0;
    DirectionResult result_;
};

/// One TLS session of a stream decrypted, and where each direction's next session starts.
struct SessionDecryption {
    TLSDecryption decryption;
    std::optional<std::size_t> clientNext, serverNext;
};

SessionDecryption failed(TLSDecryptionFailure failure) { return {{TLSDecryptionOutcome::notDecrypted(failure), std::nullopt}, {}, {}}; }

/// Both directions of the session that starts at `from` (client, server) under one candidate
/// set of secrets (and, for a client that offered 0-RTT, the key log's early traffic secrets).
SessionDecryption decryptWith(const TCPStream& stream, std::pair<std::size_t, std::size_t> from, const TLSHelloSummary& hellos,
                              const TLSCipherSuite& suite, const Secrets& secrets, const std::vector<Bytes>& earlySecrets, Mode mode) {
    DirectionDecryption client(stream, Direction::clientToServer, suite, mode, from.first);
    DirectionDecryption server(stream, Direction::serverToClient, suite, mode, from.second);
    DirectionResult fromClient, fromServer;
    if (suite.isTLS13) {
        fromClient = client.tls13(secrets[0], secrets[2], hellos.earlyDataOffered ? &earlySecrets : nullptr);
        fromServer = server.tls13(secrets[1], secrets[3], nullptr);
    } else {
        auto keys = tls12SessionKeys(suite, secrets[0], hellos.serverRandom.span(), hellos.clientRandom.span());
        if (!keys) return failed(TLSDecryptionFailure::keyMismatch);
        client.startTLS12(suite, std::move(keys->client));
        server.startTLS12(suite, std::move(keys->server));
        // A renegotiation goes on under the keys of its own hellos once both directions reached
        // their change_cipher_spec; without the secret its client random names (or with a
        // suite the probe does not handle) the records after it are left out.
        for (;;) {
            const auto fromClientStop = client.tls12(), fromServerStop = server.tls12();
            if (fromClientStop != DirectionDecryption::Stop::renegotiated || fromServerStop != DirectionDecryption::Stop::renegotiated) break;
            const auto clientRandom = client.takeRenegotiatedRandom(), serverRandom = server.takeRenegotiatedRandom();
            const auto code = server.takeRenegotiatedSuite();
            const auto renegotiated = code ? tlsCipherSuite(*code) : std::nullopt;
            if (!clientRandom || !serverRandom || !renegotiated || renegotiated->isTLS13) break;
            const auto sets = candidates(TLSKeyIndex::current()->entries(clientRandom->span()), *renegotiated);
            auto next = sets.empty() ? std::nullopt : tls12SessionKeys(*renegotiated, sets.front()[0], serverRandom->span(), clientRandom->span());
            if (!next) break;
            client.startTLS12(*renegotiated, std::move(next->client));
            server.startTLS12(*renegotiated, std::move(next->server));
        }
        fromClient = client.result();
        fromServer = server.result();
    }
    for (auto failure : {TLSDecryptionFailure::keyMismatch, TLSDecryptionFailure::recordDecryptionFailed})
        if (fromClient.failure == failure || fromServer.failure == failure) return failed(failure);
    SessionDecryption session{{TLSDecryptionOutcome::decrypted(), std::nullopt}, fromClient.nextSession, fromServer.nextSession};
    TLSDecryption& decryption = session.decryption;
    if (mode == Mode::decrypt) {
        TCPStream plaintext = stream;
        plaintext.clientToServerData = std::move(fromClient.plaintext);
        plaintext.serverToClientData = std::move(fromServer.plaintext);
        plaintext.clientByteIndex = std::move(fromClient.index);
        plaintext.serverByteIndex = std::move(fromServer.index);
        decryption.plaintext = std::move(plaintext);
    }
    return session;
}

/// The session of `stream` whose records start at `from` (client, server).
SessionDecryption decryptSession(const TCPStream& stream, std::pair<std::size_t, std::size_t> from, Mode mode) {
    const auto hellos = readHellos(stream, from.first, from.second);
    if (!hellos) return failed(TLSDecryptionFailure::noHandshake);
    const auto suite = tlsCipherSuite(hellos->cipherSuite);
    if ((hellos->version != tls12 && hellos->version != tls13) || !suite || suite->isTLS13 != (hellos->version == tls13))
        return failed(TLSDecryptionFailure::unsupportedVersion);
    const auto index = TLSKeyIndex::current();
    const auto* entries = index->entries(hellos->clientRandom.span());
    const auto sets = candidates(entries, *suite);
    if (sets.empty()) return failed(TLSDecryptionFailure::noKeyMaterial);
    const auto earlySecrets = suite->isTLS13 && entries ? secretsOf(*entries, "CLIENT_EARLY_TRAFFIC_SECRET", hashLength(suite->prfHash))
                                                        : std::vector<Bytes>{};
    std::optional<SessionDecryption> first;
    for (const auto& secrets : sets) {
        auto session = decryptWith(stream, from, *hellos, *suite, secrets, earlySecrets, mode);
        if (session.decryption.outcome != TLSDecryptionOutcome::notDecrypted(TLSDecryptionFailure::keyMismatch))
            return session;
        if (!first) first = std::move(session);
    }
    return std::move(*first);
}

/// One direction's plaintext with the application data of the connection's later sessions
/// after it: the bytes are gathered as the sessions come and put in place once, so a connection
/// of many sessions costs one copy of its data.
class JoinedPlaintext {
public:
    JoinedPlaintext(Data& data, ByteToSegmentIndex& index) : data_(data), index_(index) {}
    /// `more` and its byte index after what is there.
    void add(const Data& more, const ByteToSegmentIndex& moreIndex) {
        if (more.empty()) return;
        if (bytes_.empty()) bytes_.assign(data_.begin(), data_.end());
        const auto shift = static_cast<std::int64_t>(bytes_.size());
        bytes_.insert(bytes_.end(), more.begin(), more.end());
        for (ByteSpan span : moreIndex.spans) {
            span.range.lowerBound += shift;
            span.range.upperBound += shift;
            index_.spans.push_back(std::move(span));
        }
    }
    /// Puts the joined bytes in place.
    void finish() {
        if (!bytes_.empty()) data_ = Data(std::move(bytes_));
    }

private:
    Data& data_;
    ByteToSegmentIndex& index_;
    std::vector<std::byte> bytes_;  ///< empty until a later session adds some
};

TLSDecryption run(const TCPStream& stream, Mode mode) {
    SessionDecryption session = decryptSession(stream, {0, 0}, mode);
    TLSDecryption result = std::move(session.decryption);
    if (mode == Mode::probe || !result.plaintext) return result;
    // Later sessions of the same connection, each where both directions' session before it
    // ended: the application data of each that decrypts follows; the first that does not ends
    // the plaintext. (Each starts past the one before, so the walk ends.)
    TCPStream& plaintext = *result.plaintext;
    JoinedPlaintext client(plaintext.clientToServerData, plaintext.clientByteIndex);
    JoinedPlaintext server(plaintext.serverToClientData, plaintext.serverByteIndex);
    while (session.clientNext && session.serverNext) {
        session = decryptSession(stream, {*session.clientNext, *session.serverNext}, mode);
        if (!session.decryption.plaintext) break;
        const TCPStream& more = *session.decryption.plaintext;
        client.add(more.clientToServerData, more.clientByteIndex);
        server.add(more.serverToClientData, more.serverByteIndex);
    }
    client.finish();
    server.finish();
    return result;
}

}  // namespace

TLSDecryptionOutcome TLSDecryptionProbe::probe(const TCPStream& stream) const { return run(stream, Mode::probe).outcome; }

TLSDecryption TLSDecryptionProbe::decrypt(const TCPStream& stream) const { return run(stream, Mode::decrypt); }

}  // namespace qor::standard::tls
