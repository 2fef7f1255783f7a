#pragma once
// The messages that the capture daemon and its clients exchange over the daemon's Unix socket.
//
// Framing. Every message is one frame:
//
//     length   u32, big-endian: the byte count of what follows (type + payload), at least 1
//     type     u8: the message type below
//     payload  `length - 1` bytes, laid out per type
//
// Integers are big-endian. A text ("str") is a u16 byte count followed by that many bytes of
// UTF-8 (not NUL-terminated; a NUL inside is refused). A reader refuses a frame whose length
// exceeds its cap before reading the body (requests: `kMaxRequestFrame`; replies:
// `kMaxReplyFrame`), so a hostile length prefix never makes anyone allocate.
//
// Requests (client to daemon), each answered as shown:
//
//     0x01 getVersion            (empty)                      -> version
//     0x02 connectToAuthSystem   (empty)                      -> ok, or error
//     0x03 quitDaemon            (empty)                      -> ok; the daemon then exits
//     0x04 listInterfaces        (empty)                      -> interfaces, or error
//     0x05 startCapture          str interface, str filter,   -> captureStarted, then packet*,
//                                u32 snapLength (0: default),    then captureEnded; or error
//                                u64 maxPackets (0: no limit),
//                                u32 durationMillis (0: none),
//                                u8 flags (bit 0: promiscuous)
//     0x06 stopCapture           (empty; only during a capture: the daemon ends it with captureEnded)
//
// Replies (daemon to client):
//
//     0x81 version               str version (the daemon's project version, "0.1.0")
//     0x82 ok                    (empty)
//     0x83 interfaces            u32 count, then per interface: str name, str description, u32 flags
//                                (libpcap's PCAP_IF_* bits)
//     0x84 captureStarted        u32 linkType, u32 snapLength
//     0x85 packet                u64 timestamp (microseconds since 1970), u32 originalLength,
//                                the captured bytes (the rest of the frame; at most
//                                `kMaxSnapLength`, never more than originalLength)
//     0x86 captureEnded          u8 reason (`CaptureEndReason`), u64 received, u64 dropped,
//                                u64 interfaceDropped (libpcap's counters), u64 delivered
//                                (packets sent to this client), str detail
//     0xFF error                 u16 code (`ProtocolErrorCode`), str message
//
// One connection carries any number of requests one after another; a capture occupies the
// connection until its captureEnded. Anything not laid out as above is malformed, and a daemon
// answers it with an error frame and closes the connection.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace qor::capture {

/// The most bytes of one packet a capture delivers, and the largest snapshot length accepted.
inline constexpr std::uint32_t kMaxSnapLength = 262144;
/// The snapshot length a capture uses when the request gives 0.
inline constexpr std::uint32_t kDefaultSnapLength = 262144;
/// Largest frame (type and payload) a daemon reads from a client: requests are small.
inline constexpr std::uint32_t kMaxRequestFrame = 64 * 1024;
/// Largest frame a client reads from a daemon: a packet of the largest snapshot plus its header,
/// or a long interface list.
inline constexpr std::uint32_t kMaxReplyFrame = 1024 * 1024;
/// Bytes of the length prefix.
inline constexpr std::size_t kFrameHeaderSize = 4;

enum class MessageType : std::uint8_t {
    getVersion = 0x01,
    connectToAuthSystem = 0x02,
    quitDaemon = 0x03,
    listInterfaces = 0x04,
    startCapture = 0x05,
    stopCapture = 0x06,
    version = 0x81,
    ok = 0x82,
    interfaces = 0x83,
    captureStarted = 0x84,
    packet = 0x85,
    captureEnded = 0x86,
    error = 0xFF,
};

/// Why a capture ended.
enum class CaptureEndReason : std::uint8_t {
    countReached = 0,     ///< the requested number of packets was delivered
    durationReached = 1,  ///< the requested duration passed
    stopped = 2,          ///< the client asked (stopCapture, or its own stop)
    failed = 3,           ///< libpcap reported an error (the detail says which), or the daemon is quitting
};

/// The codes of an error reply.
enum class ProtocolErrorCode : std::uint16_t {
    malformed = 1,         ///< the request could not be decoded; the connection is closed
    permissionDenied = 2,  ///< the peer is not allowed to use the daemon, or cannot capture
    invalidFilter = 3,     ///< the capture filter does not compile
    captureFailed = 4,     ///< the interface could not be opened or the capture broke
    busy = 5,              ///< too many clients are connected
    unexpected = 6,        ///< a request that is not valid at this point (stopCapture outside a capture)
};

struct GetVersionRequest {
    friend bool operator==(const GetVersionRequest&, const GetVersionRequest&) = default;
};
struct ConnectToAuthSystemRequest {
    friend bool operator==(const ConnectToAuthSystemRequest&, const ConnectToAuthSystemRequest&) = default;
};
struct QuitDaemonRequest {
    friend bool operator==(const QuitDaemonRequest&, const QuitDaemonRequest&) = default;
};
struct ListInterfacesRequest {
    friend bool operator==(const ListInterfacesRequest&, const ListInterfacesRequest&) = default;
};
struct StartCaptureRequest {
    std::string interface;
    std::string filter;
    std::uint32_t snapLength = 0;
    std::uint64_t maxPackets = 0;
    std::uint32_t durationMillis = 0;
    bool promiscuous = false;
    friend bool operator==(const StartCaptureRequest&, const StartCaptureRequest&) = default;
};
struct StopCaptureRequest {
    friend bool operator==(const StopCaptureRequest&, const StopCaptureRequest&) = default;
};

struct VersionReply {
    std::string version;
    friend bool operator==(const VersionReply&, const VersionReply&) = default;
};
struct OkReply {
    friend bool operator==(const OkReply&, const OkReply&) = default;
};
/// One capture interface as libpcap lists it.
struct InterfaceInfo {
    std::string name;
    std::string description;
    std::uint32_t flags = 0;
    friend bool operator==(const InterfaceInfo&, const InterfaceInfo&) = default;
};
struct InterfacesReply {
    std::vector<InterfaceInfo> interfaces;
    friend bool operator==(const InterfacesReply&, const InterfacesReply&) = default;
};
struct CaptureStartedReply {
    std::uint32_t linkType = 0;
    std::uint32_t snapLength = 0;
    friend bool operator==(const CaptureStartedReply&, const CaptureStartedReply&) = default;
};
struct PacketReply {
    std::uint64_t timestampMicros = 0;
    std::uint32_t originalLength = 0;
    std::vector<std::byte> bytes;
    friend bool operator==(const PacketReply&, const PacketReply&) = default;
};
/// libpcap's counters at the end of a capture, and what the capture handed on.
struct CaptureCounters {
    std::uint64_t received = 0;          ///< pcap_stats ps_recv
    std::uint64_t dropped = 0;           ///< ps_drop: no room in the kernel buffer
    std::uint64_t interfaceDropped = 0;  ///< ps_ifdrop: dropped by the interface or its driver
    std::uint64_t delivered = 0;         ///< packets handed to the consumer
    friend bool operator==(const CaptureCounters&, const CaptureCounters&) = default;
};
struct CaptureEndedReply {
    CaptureEndReason reason = CaptureEndReason::stopped;
    CaptureCounters counters;
    std::string detail;
    friend bool operator==(const CaptureEndedReply&, const CaptureEndedReply&) = default;
};
struct ErrorReply {
    ProtocolErrorCode code = ProtocolErrorCode::malformed;
    std::string message;
    friend bool operator==(const ErrorReply&, const ErrorReply&) = default;
};

using Message = std::variant<GetVersionRequest, ConnectToAuthSystemRequest, QuitDaemonRequest, ListInterfacesRequest,
                             StartCaptureRequest, StopCaptureRequest, VersionReply, OkReply, InterfacesReply,
                             CaptureStartedReply, PacketReply, CaptureEndedReply, ErrorReply>;

/// The message's type byte.
MessageType messageType(const Message& message);

/// Appends the whole frame of `message` (length prefix included) to `out`. Texts longer than
/// 65535 bytes are cut to that length (at a character boundary); a packet's bytes are sent as
/// given, so callers keep them within `kMaxSnapLength`.
void appendFrame(std::vector<std::byte>& out, const Message& message);
/// The whole frame of `message`.
std::vector<std::byte> encodeFrame(const Message& message);
/// Appends the frame of a packet reply straight from the captured bytes (what `appendFrame` of a
/// `PacketReply` gives, without copying the bytes into one first).
void appendPacketFrame(std::vector<std::byte>& out, std::uint64_t timestampMicros, std::uint32_t originalLength,
                       std::span<const std::byte> bytes);

/// The message a frame body (type byte and payload, without the length prefix) holds, or the
/// reason it is malformed: unknown type, a field cut short, bytes left over, a text with a NUL or
/// invalid UTF-8, a snapshot length above `kMaxSnapLength`, a packet longer than its original
/// length or than `kMaxSnapLength`, an unknown end reason or error code.
struct DecodeResult {
    std::optional<Message> message;
    std::string error;  ///< empty when `message` is set
};
DecodeResult decodeBody(std::span<const std::byte> body);

/// Splits a byte stream into messages, for a reader that receives it in arbitrary pieces.
///
/// `append` the bytes as they arrive, then call `next` until it gives nothing. A length prefix of
/// 0 or above `maxFrame`, or a malformed body, puts the reader in the failed state (`failed()`,
/// `error()`) for good; it never buffers more than one frame's header and body. `midFrame()` says
/// whether a frame has begun but not completed, which a daemon times out.
class FrameReader {
public:
    explicit FrameReader(std::uint32_t maxFrame) : maxFrame_(maxFrame) {}
    void append(std::span<const std::byte> bytes);
    /// The next complete message, or nothing when more bytes are needed or the reader failed.
    std::optional<Message> next();
    [[nodiscard]] bool failed() const { return !error_.empty(); }
    [[nodiscard]] const std::string& error() const { return error_; }
    [[nodiscard]] bool midFrame() const { return buffer_.size() > consumed_; }

private:
    std::uint32_t maxFrame_;
    std::vector<std::byte> buffer_;
    std::size_t consumed_ = 0;
    std::string error_;
};

/// A text for people naming a message type ("getVersion", "packet", ...; "0xNN" for others).
std::string messageTypeName(std::uint8_t type);

}  // namespace qor::capture
