#include "SessionEventStore.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace qor {
namespace {

/// The chunks of the runs are cut from blocks of this size; an event larger than a block gets
/// a block of its own.
constexpr std::size_t kBlockSize = std::size_t{4} << 20;
/// A run's first chunk; each next one is twice the last, up to `kLargestChunk`. A PPPoE
/// session's few dozen events fill a few small chunks; an L2TP tunnel's hundreds of thousands
/// fill large ones.
constexpr std::size_t kFirstChunk = 512, kLargestChunk = std::size_t{64} << 10;

/// The numbers of an event, copied as they are.
struct Fixed {
    std::int64_t packetId = 0;
    double timestamp = 0;
    std::int64_t byteCount = 0;
    std::uint32_t present = 0;  ///< one bit per optional value, `Bit`
    std::uint16_t sessionID = 0;
    std::uint16_t mru = 0;
    std::uint16_t l2tp[6] = {};  ///< tunnel, session, message type, result code, assigned session, assigned tunnel
    std::uint8_t direction = 0, phase = 0, transport = 0, authResult = 0, acctStatus = 0, radiusCode = 0,
                 radiusIdentifier = 0;
};
static_assert(std::is_trivially_copyable_v<Fixed>);

enum Bit : std::uint32_t {
    annotation, username, authResult, assignedIP, acName, serviceName, mru, ipPair, l2tpFirst,
    hostName = l2tpFirst + 6, radiusUserName, aaaPeer, nasIP, acctSessionID, acctStatus, radiusCode, radiusIdentifier,
};

/// The optional texts in the order they are packed after the four plain ones (MACs, protocol
/// name, label), with their presence bits.
template <class Event, class Visit>
void visitOptionalTexts(Event& e, const Visit& visit) {
    visit(Bit::annotation, e.annotation);
    visit(Bit::username, e.username);
    visit(Bit::assignedIP, e.assignedIP);
    visit(Bit::acName, e.acName);
    visit(Bit::serviceName, e.serviceName);
    visit(Bit::ipPair, e.ipPair);
    visit(Bit::hostName, e.hostName);
    visit(Bit::radiusUserName, e.radiusUserName);
    visit(Bit::aaaPeer, e.aaaPeer);
    visit(Bit::nasIP, e.nasIP);
    visit(Bit::acctSessionID, e.acctSessionID);
}

template <class Event, class Visit>
void visitL2TP(Event& e, const Visit& visit) {
    visit(0u, e.l2tpTunnelID);
    visit(1u, e.l2tpSessionID);
    visit(2u, e.l2tpMsgType);
    visit(3u, e.l2tpMsgCode);
    visit(4u, e.l2tpAssignedSessionID);
    visit(5u, e.l2tpAssignedTunnelID);
}

constexpr std::uint32_t bit(std::uint32_t b) { return std::uint32_t{1} << b; }

// Every field of an event is packed: a field added to `RawSessionEvent` changes its size and
// stops the build here until `pack` and `unpack` carry it too.
#if defined(__GLIBCXX__) && defined(__x86_64__)
static_assert(sizeof(RawSessionEvent) == 688, "pack and unpack every field of RawSessionEvent");
#endif

/// Lengths are written seven bits a byte, low bits first, the high bit set on all but the last.
std::size_t lengthSize(std::size_t n) {
    std::size_t size = 1;
    while (n >= 0x80) {
        n >>= 7;
        ++size;
    }
    return size;
}

/// Counts the bytes a packing takes, or writes them.
class Sink {
public:
    explicit Sink(std::byte* out) : out_(out) {}
    void raw(const void* bytes, std::size_t n) {
        if (out_) std::memcpy(out_ + size_, bytes, n);
        size_ += n;
    }
    void length(std::size_t n) {
        if (!out_) {
            size_ += lengthSize(n);
            return;
        }
        while (n >= 0x80) {
            out_[size_++] = static_cast<std::byte>((n & 0x7F) | 0x80);
            n >>= 7;
        }
        out_[size_++] = static_cast<std::byte>(n);
    }
    void text(std::string_view s) {
        length(s.size());
        raw(s.data(), s.size());
    }
    [[nodiscard]] std::size_t size() const { return size_; }

private:
    std::byte* out_;
    std::size_t size_ = 0;
};

void pack(const RawSessionEvent& e, Sink& sink) {
    Fixed f;
    f.packetId = e.packetId;
    f.timestamp = e.timestamp;
    f.byteCount = e.byteCount;
    f.sessionID = e.sessionID;
    f.direction = static_cast<std::uint8_t>(e.direction);
    f.phase = static_cast<std::uint8_t>(e.phase);
    f.transport = static_cast<std::uint8_t>(e.transport);
    // Each optional number is kept in its field, and its presence bit says whether it is there.
    auto keep = [&](Bit b, const auto& value, auto& field) {
        if (!value) return;
        f.present |= bit(b);
        field = static_cast<std::remove_reference_t<decltype(field)>>(*value);
    };
    keep(Bit::authResult, e.authResult, f.authResult);
    keep(Bit::acctStatus, e.acctStatus, f.acctStatus);
    keep(Bit::mru, e.mru, f.mru);
    keep(Bit::radiusCode, e.radiusCode, f.radiusCode);
    keep(Bit::radiusIdentifier, e.radiusIdentifier, f.radiusIdentifier);
    visitL2TP(e, [&](std::uint32_t i, const std::optional<std::uint16_t>& value) {
        keep(static_cast<Bit>(Bit::l2tpFirst + i), value, f.l2tp[i]);
    });
    visitOptionalTexts(e, [&](Bit b, const std::optional<std::string>& text) {
        if (text) f.present |= bit(b);
    });
    sink.raw(&f, sizeof f);
    // What grouping compares comes first, next to the numbers; the label, which it only copies,
    // after.
    sink.text(e.srcMAC);
    sink.text(e.dstMAC);
    sink.text(e.protocolName);
    sink.text(e.label);
    visitOptionalTexts(e, [&](Bit, const std::optional<std::string>& text) {
        if (text) sink.text(*text);
    });
    sink.length(e.detail.size());
    for (const auto& row : e.detail) {
        sink.length(static_cast<std::size_t>(static_cast<unsigned>(row.depth)));
        sink.text(row.name);
        sink.text(row.value);
    }
}

/// Reads back what `pack` wrote, from memory this store filled.
class Source {
public:
    explicit Source(const std::byte* in) : in_(in) {}
    void raw(void* bytes, std::size_t n) {
        std::memcpy(bytes, in_, n);
        in_ += n;
    }
    std::size_t length() {
        std::size_t n = 0;
        for (int shift = 0;; shift += 7) {
            const auto byte = static_cast<std::uint8_t>(*in_++);
            n |= static_cast<std::size_t>(byte & 0x7F) << shift;
            if (!(byte & 0x80)) return n;
        }
    }
    std::string_view text() {
        const std::size_t n = length();
        const std::string_view view(reinterpret_cast<const char*>(in_), n);
        in_ += n;
        return view;
    }
    [[nodiscard]] const std::byte* position() const { return in_; }

private:
    const std::byte* in_;
};

/// The presence bits of the optional texts, which are packed in the order of their bits.
constexpr std::uint32_t kTextBits = bit(Bit::annotation) | bit(Bit::username) | bit(Bit::assignedIP) |
                                    bit(Bit::acName) | bit(Bit::serviceName) | bit(Bit::ipPair) | bit(Bit::hostName) |
                                    bit(Bit::radiusUserName) | bit(Bit::aaaPeer) | bit(Bit::nasIP) |
                                    bit(Bit::acctSessionID);

}  // namespace

std::byte* SessionEventStore::reserve(std::size_t bytes, Run& run) {
    if (bytes > run.left_) {
        run.nextChunk_ = run.nextChunk_ == 0 ? kFirstChunk : std::min(2 * run.nextChunk_, kLargestChunk);
        const std::size_t chunk = std::max(bytes, run.nextChunk_);
        if (chunk > left_) {
            // What is left of the last block stays unused: at most one chunk's worth.
            const std::size_t size = std::max(chunk, kBlockSize);
            blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(size));
            free_ = blocks_.back().get();
            left_ = size;
        }
        run.free_ = free_;
        run.left_ = chunk;
        free_ += chunk;
        left_ -= chunk;
    }
    std::byte* at = run.free_;
    run.free_ += bytes;
    run.left_ -= bytes;
    return at;
}

std::size_t SessionEventStore::append(const RawSessionEvent& event, Run& run) {
    Sink measure(nullptr);
    pack(event, measure);
    std::byte* at = reserve(measure.size(), run);
    Sink write(at);
    pack(event, write);
    packedBytes_ += measure.size();
    events_.push_back(at);
    return events_.size() - 1;
}

void SessionEventStore::prefetch(std::size_t index) const {
    // The numbers and the texts that grouping compares: the first two cache lines.
    __builtin_prefetch(events_[index]);
    __builtin_prefetch(events_[index] + 64);
}

double SessionEventStore::timestamp(std::size_t index) const {
    double t;
    std::memcpy(&t, events_[index] + offsetof(Fixed, timestamp), sizeof t);
    return t;
}

PackedSessionEvent SessionEventStore::event(std::size_t index) const {
    Source source(events_[index]);
    Fixed f;
    source.raw(&f, sizeof f);
    auto has = [&](std::uint32_t b) { return (f.present & bit(b)) != 0; };
    PackedSessionEvent e;
    e.index = index;
    e.packetId = f.packetId;
    e.timestamp = f.timestamp;
    e.byteCount = f.byteCount;
    e.sessionID = f.sessionID;
    e.direction = static_cast<SessionDirection>(f.direction);
    e.phase = static_cast<SessionPhase>(f.phase);
    e.transport = static_cast<SessionTransport>(f.transport);
    if (has(Bit::authResult)) e.authResult = static_cast<AuthResult>(f.authResult);
    if (has(Bit::acctStatus)) e.acctStatus = static_cast<AcctStatus>(f.acctStatus);
    if (has(Bit::mru)) e.mru = f.mru;
    if (has(Bit::radiusCode)) e.radiusCode = f.radiusCode;
    if (has(Bit::radiusIdentifier)) e.radiusIdentifier = f.radiusIdentifier;
    visitL2TP(e, [&](std::uint32_t i, std::optional<std::uint16_t>& value) {
        if (has(Bit::l2tpFirst + i)) value = f.l2tp[i];
    });
    e.srcMAC = source.text();
    e.dstMAC = source.text();
    e.protocolName = source.text();
    e.label = source.text();
    e.present_ = f.present;
    e.optionalTexts_ = source.position();
    return e;
}

std::optional<std::string_view> PackedSessionEvent::optionalText(std::uint32_t b) const {
    if (!(present_ & bit(b))) return std::nullopt;
    Source source(optionalTexts_);
    for (std::uint32_t before = present_ & kTextBits & (bit(b) - 1); before != 0; before &= before - 1)
        source.text();
    return source.text();
}

std::optional<std::string_view> PackedSessionEvent::annotation() const { return optionalText(Bit::annotation); }
std::optional<std::string_view> PackedSessionEvent::username() const { return optionalText(Bit::username); }
std::optional<std::string_view> PackedSessionEvent::assignedIP() const { return optionalText(Bit::assignedIP); }
std::optional<std::string_view> PackedSessionEvent::acName() const { return optionalText(Bit::acName); }
std::optional<std::string_view> PackedSessionEvent::serviceName() const { return optionalText(Bit::serviceName); }
std::optional<std::string_view> PackedSessionEvent::ipPair() const { return optionalText(Bit::ipPair); }
std::optional<std::string_view> PackedSessionEvent::hostName() const { return optionalText(Bit::hostName); }
std::optional<std::string_view> PackedSessionEvent::radiusUserName() const { return optionalText(Bit::radiusUserName); }
std::optional<std::string_view> PackedSessionEvent::aaaPeer() const { return optionalText(Bit::aaaPeer); }
std::optional<std::string_view> PackedSessionEvent::nasIP() const { return optionalText(Bit::nasIP); }
std::optional<std::string_view> PackedSessionEvent::acctSessionID() const { return optionalText(Bit::acctSessionID); }

std::vector<SessionDetailRow> PackedSessionEvent::detail() const {
    Source source(optionalTexts_);
    for (std::uint32_t texts = present_ & kTextBits; texts != 0; texts &= texts - 1) source.text();
    std::vector<SessionDetailRow> rows(source.length());
    for (auto& row : rows) {
        row.depth = static_cast<int>(source.length());
        row.name = source.text();
        row.value = source.text();
    }
    return rows;
}

RawSessionEvent PackedSessionEvent::unpacked() const {
    RawSessionEvent e;
    e.packetId = packetId;
    e.timestamp = timestamp;
    e.byteCount = byteCount;
    e.sessionID = sessionID;
    e.direction = direction;
    e.phase = phase;
    e.transport = transport;
    e.authResult = authResult;
    e.acctStatus = acctStatus;
    e.mru = mru;
    e.radiusCode = radiusCode;
    e.radiusIdentifier = radiusIdentifier;
    e.l2tpTunnelID = l2tpTunnelID;
    e.l2tpSessionID = l2tpSessionID;
    e.l2tpMsgType = l2tpMsgType;
    e.l2tpMsgCode = l2tpMsgCode;
    e.l2tpAssignedSessionID = l2tpAssignedSessionID;
    e.l2tpAssignedTunnelID = l2tpAssignedTunnelID;
    e.label = label;
    e.srcMAC = srcMAC;
    e.dstMAC = dstMAC;
    e.protocolName = protocolName;
    visitOptionalTexts(e, [&](Bit b, std::optional<std::string>& text) {
        if (auto view = optionalText(b)) text.emplace(*view);
    });
    e.detail = detail();
    return e;
}

}  // namespace qor
