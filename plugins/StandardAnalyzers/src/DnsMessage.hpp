#pragma once
// A DNS message read from its bytes: header, questions, resource records, summary and detail tree.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QORModels/analysis/QORNode.hpp"
#include "QORPlatform/Data.hpp"

namespace qor::standard {

/// A DNS message (RFC 1035, section 4.1):
///
///     0  ID (2)   2  flags: QR(1) OPCODE(4) AA TC RD RA Z AD CD RCODE(4)
///     4  QDCOUNT  6  ANCOUNT  8  NSCOUNT  10 ARCOUNT (2 each)
///     12 questions: NAME, TYPE (2), CLASS (2)
///        answer, authority and additional records: NAME, TYPE, CLASS, TTL (4), RDLENGTH (2), RDATA
///
/// Names are labels (length byte, then that many bytes) ending with a zero byte, or with a
/// compression pointer (two bytes, top bits 11) to an earlier name; pointers are followed at most
/// `kMaxPointerJumps` times and a name stops at `kMaxNameLength` bytes, so a pointer loop ends.
/// At most `kMaxRecords` questions and records are read. Reading stops at the first question or
/// record that runs past the bytes; what was read before stays. Over TCP the message is preceded
/// by its 2-byte length (see `read`). A plain value; reading never throws.
struct DnsMessage {
    static constexpr std::size_t kHeaderSize = 12;
    static constexpr std::size_t kMaxPointerJumps = 64;
    static constexpr std::size_t kMaxNameLength = 255;
    static constexpr std::size_t kMaxRecords = 512;

    struct Header {
        std::uint16_t id = 0, flags = 0, qdcount = 0, ancount = 0, nscount = 0, arcount = 0;
        [[nodiscard]] bool isResponse() const { return flags & 0x8000; }
        [[nodiscard]] unsigned opcode() const { return (flags >> 11) & 0x0F; }
        [[nodiscard]] unsigned rcode() const { return flags & 0x0F; }
    };
    struct Question {
        std::string name;
        std::uint16_t type = 0, klass = 0;
        std::size_t offset = 0, length = 0;
    };
    struct Record {
        std::string name;
        std::uint16_t type = 0, klass = 0, rdlength = 0;
        std::uint32_t ttl = 0;
        std::string data;  ///< the RDATA as text ("93.184.216.34", a name, "10 mx.example.com")
        std::size_t offset = 0, length = 0;
        /// "A 93.184.216.34", as the summary line lists records.
        [[nodiscard]] std::string summary() const;
    };

    /// Bytes before the header (2 for the TCP length prefix, else 0).
    std::size_t prefix = 0;
    /// Where the message ends in the bytes given (clamped to them).
    std::size_t messageEnd = 0;
    std::optional<Header> header;
    std::vector<Question> questions;
    std::vector<Record> answers, authorities, additionals;
    /// Set when a question or record ran past the bytes, or a name was malformed.
    bool truncated = false;
    /// The questions read whole, whether or not they are kept.
    std::size_t questionsRead = 0;
    /// With `Detail::summary`, the summary line: "Standard query 0x1234 A example.com",
    /// "Standard query response 0x1234 A example.com A 93.184.216.34" (opcode, " response" for
    /// answers, the ID, the reply code when it is not "No error", each question and each record
    /// of every section read whole).
    std::string summaryText;
    /// How much of a message to read: everything; only where its parts lie (no question or
    /// record is kept, `questionsRead` counts them), which is all that finding the message's end
    /// needs; or only the summary line (`summaryText`), written as the records are walked, which
    /// is all a packet listing needs.
    enum class Detail { text, layout, summary };

    /// Reads a message; detects the TCP length prefix from the bytes.
    static DnsMessage read(const Data& bytes, Detail detail = Detail::text);
    /// Reads a message that starts `prefix` bytes into `bytes`.
    static DnsMessage readAt(const Data& bytes, std::size_t prefix, Detail detail = Detail::text);

    [[nodiscard]] std::shared_ptr<QORNode> detailTree() const;

    static std::string typeName(std::uint16_t type);
};

}  // namespace qor::standard
