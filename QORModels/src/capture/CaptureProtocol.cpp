#include "QORModels/capture/CaptureProtocol.hpp"

#include <cstring>
#include <limits>
#include <type_traits>

#include "QORCommonTools/TextHelpers.hpp"

namespace qor::capture {

namespace {

constexpr std::size_t kMaxText = std::numeric_limits<std::uint16_t>::max();

class Writer {
public:
    explicit Writer(std::vector<std::byte>& out) : out_(out) {}
    void u8(std::uint8_t v) { out_.push_back(static_cast<std::byte>(v)); }
    void u16(std::uint16_t v) { be(v, 2); }
    void u32(std::uint32_t v) { be(v, 4); }
    void u64(std::uint64_t v) { be(v, 8); }
    void str(std::string_view text) {
        if (text.size() > kMaxText) {
            std::size_t cut = kMaxText;
            while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
            text = text.substr(0, cut);
        }
        u16(static_cast<std::uint16_t>(text.size()));
        const auto* p = reinterpret_cast<const std::byte*>(text.data());
        out_.insert(out_.end(), p, p + text.size());
    }
    void bytes(std::span<const std::byte> b) { out_.insert(out_.end(), b.begin(), b.end()); }

private:
    void be(std::uint64_t v, int width) {
        for (int i = width - 1; i >= 0; --i) out_.push_back(static_cast<std::byte>(v >> (8 * i)));
    }
    std::vector<std::byte>& out_;
};

/// Reads fields from a body; the first missing or bad field sets the error and every later read
/// gives zeros, so decoders check `error` once at the end.
class Reader {
public:
    explicit Reader(std::span<const std::byte> body) : body_(body) {}
    std::uint8_t u8() { return static_cast<std::uint8_t>(be(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(be(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(be(4)); }
    std::uint64_t u64() { return be(8); }
    std::string str(const char* field) {
        const std::size_t n = u16();
        if (!take(n, field)) return {};
        std::string text(reinterpret_cast<const char*>(body_.data() + at_ - n), n);
        if (text.find('\0') != std::string::npos) fail(std::string(field) + " holds a NUL character");
        else if (!isValidUTF8(text)) fail(std::string(field) + " is not UTF-8");
        return text;
    }
    [[nodiscard]] std::size_t remaining() const { return body_.size() - at_; }
    std::span<const std::byte> rest() {
        auto r = body_.subspan(at_);
        at_ = body_.size();
        return r;
    }
    void fail(std::string reason) {
        if (error.empty()) error = std::move(reason);
    }
    /// Fails when bytes are left over.
    void end() {
        if (error.empty() && at_ != body_.size()) error = std::to_string(body_.size() - at_) + " unexpected bytes after the fields";
    }
    std::string error;

private:
    bool take(std::size_t n, const char* field = "a field") {
        if (!error.empty()) return false;
        if (body_.size() - at_ < n) {
            fail(std::string("message cut short in ") + field);
            return false;
        }
        at_ += n;
        return true;
    }
    std::uint64_t be(std::size_t width) {
        if (!take(width)) return 0;
        std::uint64_t v = 0;
        for (std::size_t i = at_ - width; i < at_; ++i) v = (v << 8) | static_cast<std::uint8_t>(body_[i]);
        return v;
    }
    std::span<const std::byte> body_;
    std::size_t at_ = 0;
};

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

void appendPayload(Writer& w, const Message& message) {
    std::visit(Overloaded{
                   [&](const StartCaptureRequest& r) {
                       w.str(r.interface);
                       w.str(r.filter);
                       w.u32(r.snapLength);
                       w.u64(r.maxPackets);
                       w.u32(r.durationMillis);
                       w.u8(r.promiscuous ? 1 : 0);
                   },
                   [&](const VersionReply& r) { w.str(r.version); },
                   [&](const InterfacesReply& r) {
                       w.u32(static_cast<std::uint32_t>(r.interfaces.size()));
                       for (const auto& i : r.interfaces) {
                           w.str(i.name);
                           w.str(i.description);
                           w.u32(i.flags);
                       }
                   },
                   [&](const CaptureStartedReply& r) {
                       w.u32(r.linkType);
                       w.u32(r.snapLength);
                   },
                   [&](const PacketReply& r) {
                       w.u64(r.timestampMicros);
                       w.u32(r.originalLength);
                       w.bytes(r.bytes);
                   },
                   [&](const CaptureEndedReply& r) {
                       w.u8(static_cast<std::uint8_t>(r.reason));
                       w.u64(r.counters.received);
                       w.u64(r.counters.dropped);
                       w.u64(r.counters.interfaceDropped);
                       w.u64(r.counters.delivered);
                       w.str(r.detail);
                   },
                   [&](const ErrorReply& r) {
                       w.u16(static_cast<std::uint16_t>(r.code));
                       w.str(r.message);
                   },
                   [](const auto&) {},  // requests and replies without fields
               },
               message);
}

/// The smallest encoded interface: two empty texts and the flags.
constexpr std::size_t kMinInterfaceBytes = 2 + 2 + 4;

std::optional<Message> decodePayload(MessageType type, Reader& r) {
    switch (type) {
    case MessageType::getVersion: return GetVersionRequest{};
    case MessageType::connectToAuthSystem: return ConnectToAuthSystemRequest{};
    case MessageType::quitDaemon: return QuitDaemonRequest{};
    case MessageType::listInterfaces: return ListInterfacesRequest{};
    case MessageType::stopCapture: return StopCaptureRequest{};
    case MessageType::ok: return OkReply{};
    case MessageType::startCapture: {
        StartCaptureRequest q;
        q.interface = r.str("the interface name");
        q.filter = r.str("the capture filter");
        q.snapLength = r.u32();
        q.maxPackets = r.u64();
        q.durationMillis = r.u32();
        const std::uint8_t flags = r.u8();
        q.promiscuous = (flags & 1) != 0;
        if (flags & ~1u) r.fail("unknown capture flags");
        if (q.interface.empty()) r.fail("no interface named");
        if (q.snapLength > kMaxSnapLength) r.fail("snapshot length above " + std::to_string(kMaxSnapLength));
        return q;
    }
    case MessageType::version: return VersionReply{r.str("the version")};
    case MessageType::interfaces: {
        InterfacesReply reply;
        const std::uint32_t count = r.u32();
        // Each entry takes at least kMinInterfaceBytes: a count the body cannot hold is refused
        // before anything is reserved.
        if (count > r.remaining() / kMinInterfaceBytes) {
            r.fail("interface count " + std::to_string(count) + " exceeds the message");
            return reply;
        }
        reply.interfaces.reserve(count);
        for (std::uint32_t i = 0; i < count && r.error.empty(); ++i) {
            InterfaceInfo info;
            info.name = r.str("an interface name");
            info.description = r.str("an interface description");
            info.flags = r.u32();
            reply.interfaces.push_back(std::move(info));
        }
        return reply;
    }
    case MessageType::captureStarted: {
        CaptureStartedReply s;
        s.linkType = r.u32();
        s.snapLength = r.u32();
        if (s.snapLength > kMaxSnapLength) r.fail("snapshot length above " + std::to_string(kMaxSnapLength));
        return s;
    }
    case MessageType::packet: {
        PacketReply p;
        p.timestampMicros = r.u64();
        p.originalLength = r.u32();
        if (!r.error.empty()) return p;
        const auto bytes = r.rest();
        if (bytes.size() > kMaxSnapLength) r.fail("packet longer than " + std::to_string(kMaxSnapLength) + " bytes");
        else if (bytes.size() > p.originalLength) r.fail("captured bytes exceed the original length");
        else p.bytes.assign(bytes.begin(), bytes.end());
        return p;
    }
    case MessageType::captureEnded: {
        CaptureEndedReply e;
        const std::uint8_t reason = r.u8();
        if (reason > static_cast<std::uint8_t>(CaptureEndReason::failed)) r.fail("unknown end reason");
        e.reason = static_cast<CaptureEndReason>(reason);
        e.counters.received = r.u64();
        e.counters.dropped = r.u64();
        e.counters.interfaceDropped = r.u64();
        e.counters.delivered = r.u64();
        e.detail = r.str("the detail");
        return e;
    }
    case MessageType::error: {
        ErrorReply e;
        const std::uint16_t code = r.u16();
        if (code < static_cast<std::uint16_t>(ProtocolErrorCode::malformed) ||
            code > static_cast<std::uint16_t>(ProtocolErrorCode::unexpected))
            r.fail("unknown error code " + std::to_string(code));
        e.code = static_cast<ProtocolErrorCode>(code);
        e.message = r.str("the error message");
        return e;
    }
    }
    r.fail("unknown message type " + messageTypeName(static_cast<std::uint8_t>(type)));
    return std::nullopt;
}

}  // namespace

MessageType messageType(const Message& message) {
    static constexpr MessageType kTypes[] = {
        MessageType::getVersion,     MessageType::connectToAuthSystem, MessageType::quitDaemon,
        MessageType::listInterfaces, MessageType::startCapture,        MessageType::stopCapture,
        MessageType::version,        MessageType::ok,                  MessageType::interfaces,
        MessageType::captureStarted, MessageType::packet,              MessageType::captureEnded,
        MessageType::error,
    };
    static_assert(std::size(kTypes) == std::variant_size_v<Message>);
    return kTypes[message.index()];
}

void appendFrame(std::vector<std::byte>& out, const Message& message) {
    const std::size_t start = out.size();
    Writer w(out);
    w.u32(0);  // patched below
    w.u8(static_cast<std::uint8_t>(messageType(message)));
    appendPayload(w, message);
    const auto length = static_cast<std::uint32_t>(out.size() - start - kFrameHeaderSize);
    for (int i = 0; i < 4; ++i) out[start + static_cast<std::size_t>(i)] = static_cast<std::byte>(length >> (8 * (3 - i)));
}

void appendPacketFrame(std::vector<std::byte>& out, std::uint64_t timestampMicros, std::uint32_t originalLength,
                       std::span<const std::byte> bytes) {
    Writer w(out);
    w.u32(static_cast<std::uint32_t>(1 + 8 + 4 + bytes.size()));
    w.u8(static_cast<std::uint8_t>(MessageType::packet));
    w.u64(timestampMicros);
    w.u32(originalLength);
    w.bytes(bytes);
}

std::vector<std::byte> encodeFrame(const Message& message) {
    std::vector<std::byte> out;
    appendFrame(out, message);
    return out;
}

DecodeResult decodeBody(std::span<const std::byte> body) {
    if (body.empty()) return {std::nullopt, "empty message"};
    const auto type = static_cast<MessageType>(static_cast<std::uint8_t>(body[0]));
    Reader r(body.subspan(1));
    std::optional<Message> message = decodePayload(type, r);
    r.end();
    if (!r.error.empty() || !message) {
        return {std::nullopt, r.error.empty() ? "unknown message type " + messageTypeName(static_cast<std::uint8_t>(type))
                                              : r.error};
    }
    return {std::move(message), {}};
}

void FrameReader::append(std::span<const std::byte> bytes) {
    if (failed()) return;
    if (consumed_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
        consumed_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Message> FrameReader::next() {
    if (failed()) return std::nullopt;
    const std::size_t available = buffer_.size() - consumed_;
    if (available < kFrameHeaderSize) {
        if (available == 0) {
            buffer_.clear();
            consumed_ = 0;
        }
        return std::nullopt;
    }
    const std::byte* head = buffer_.data() + consumed_;
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < kFrameHeaderSize; ++i) length = (length << 8) | static_cast<std::uint8_t>(head[i]);
    if (length == 0 || length > maxFrame_) {
        error_ = "frame length " + std::to_string(length) + " outside 1.." + std::to_string(maxFrame_);
        buffer_.clear();
        buffer_.shrink_to_fit();
        consumed_ = 0;
        return std::nullopt;
    }
    if (available - kFrameHeaderSize < length) return std::nullopt;
    DecodeResult decoded = decodeBody({head + kFrameHeaderSize, length});
    consumed_ += kFrameHeaderSize + length;
    if (!decoded.message) {
        error_ = decoded.error;
        buffer_.clear();
        buffer_.shrink_to_fit();
        consumed_ = 0;
        return std::nullopt;
    }
    if (consumed_ == buffer_.size()) {
        buffer_.clear();
        consumed_ = 0;
    }
    return std::move(decoded.message);
}

std::string messageTypeName(std::uint8_t type) {
    switch (static_cast<MessageType>(type)) {
    case MessageType::getVersion: return "getVersion";
    case MessageType::connectToAuthSystem: return "connectToAuthSystem";
    case MessageType::quitDaemon: return "quitDaemon";
    case MessageType::listInterfaces: return "listInterfaces";
    case MessageType::startCapture: return "startCapture";
    case MessageType::stopCapture: return "stopCapture";
    case MessageType::version: return "version";
    case MessageType::ok: return "ok";
    case MessageType::interfaces: return "interfaces";
    case MessageType::captureStarted: return "captureStarted";
    case MessageType::packet: return "packet";
    case MessageType::captureEnded: return "captureEnded";
    case MessageType::error: return "error";
    }
    static const char* kHex = "0123456789ABCDEF";
    return std::string("0x") + kHex[type >> 4] + kHex[type & 15];
}

}  // namespace qor::capture
