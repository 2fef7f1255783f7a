// A DNS message read from its bytes.

#include "DnsMessage.hpp"

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard {
namespace {

constexpr CodeName kTypes[] = {
    {1, "A"},       {2, "NS"},      {5, "CNAME"},  {6, "SOA"},    {12, "PTR"},   {13, "HINFO"},  {15, "MX"},
    {16, "TXT"},    {28, "AAAA"},   {33, "SRV"},   {35, "NAPTR"}, {39, "DNAME"}, {41, "OPT"},    {43, "DS"},
    {46, "RRSIG"},  {47, "NSEC"},   {48, "DNSKEY"}, {50, "NSEC3"}, {52, "TLSA"},  {64, "SVCB"},   {65, "HTTPS"},
    {99, "SPF"},    {251, "IXFR"},  {252, "AXFR"}, {255, "ANY"},  {257, "CAA"},
};
constexpr CodeName kClasses[] = {{1, "IN"}, {3, "CH"}, {4, "HS"}, {254, "NONE"}, {255, "ANY"}};
constexpr CodeName kOpcodes[] = {
    {0, "Standard query"}, {1, "Inverse query"}, {2, "Server status request"}, {4, "Zone change notification"},
    {5, "Dynamic update"},
};
constexpr CodeName kRcodes[] = {
    {0, "No error"}, {1, "Format error"}, {2, "Server failure"}, {3, "No such name"}, {4, "Not implemented"},
    {5, "Refused"}, {6, "Name exists"}, {7, "RRset exists"}, {8, "RRset does not exist"}, {9, "Not authoritative"},
    {10, "Name out of zone"},
};
constexpr std::uint8_t kPointerBits = 0xC0;
/// The offset bits of a two-byte compression pointer.
constexpr std::uint16_t kPointerOffsetMask = 0x3FFF;
constexpr std::size_t kTcpPrefixSize = 2;
/// Room made for a summary line at once: most lines (a question and a few records) fit.
constexpr std::size_t kSummaryRoom = 160;

/// Reads a name at `offset` of `message` (the bytes from the DNS header on) and gives the offset
/// just after it in the record (after the first pointer, if any); nothing when the name runs past
/// the bytes, loops or is malformed. The name's text ("<Root>" for the root name) is appended to
/// `text` when one is given, and only when the name reads whole.
std::optional<std::size_t> readName(const Data& message, std::size_t offset, std::string* text) {
    const std::size_t start = text ? text->size() : 0;
    auto fail = [&]() -> std::optional<std::size_t> {
        if (text) text->resize(start);
        return std::nullopt;
    };
    std::size_t length = 0, jumps = 0;
    std::optional<std::size_t> after;
    std::size_t at = offset;
    ByteReader r(message);
    while (true) {
        auto labelLength = r.load<std::uint8_t>(at, false);
        if (!labelLength) return fail();
        if ((*labelLength & kPointerBits) == kPointerBits) {
            // A compression pointer: 14 bits of offset after the two marker bits.
            auto pointer = r.load<std::uint16_t>(at, std::endian::native != std::endian::big);
            if (!pointer || ++jumps > DnsMessage::kMaxPointerJumps) return fail();
            if (!after) after = at + 2;
            at = *pointer & kPointerOffsetMask;
            continue;
        }
        if (*labelLength & kPointerBits) return fail();  // extended label types (RFC 6891 obsoleted)
        if (*labelLength == 0) {
            if (!after) after = at + 1;
            break;
        }
        auto label = r.bytesAt(at + 1, *labelLength);
        if (!label) return fail();
        length += *labelLength + 1u;
        if (length > DnsMessage::kMaxNameLength) return fail();
        at += 1 + *labelLength;
        if (!text) continue;
        std::string& name = *text;
        if (name.size() != start) name += '.';
        // Printable runs are appended whole; other bytes as "\DDD".
        const char* chars = reinterpret_cast<const char*>(label->data());
        std::size_t run = 0;
        for (std::size_t i = 0; i < label->size(); ++i) {
            auto c = static_cast<unsigned char>(chars[i]);
            if (c > 0x20 && c < 0x7F) continue;
            name.append(chars + run, i - run);
            name += fmt::format("\\{:03}", c);
            run = i + 1;
        }
        name.append(chars + run, label->size() - run);
    }
    if (text && text->size() == start) *text += "<Root>";
    return *after;
}

/// Appends the RDATA of a record as text.
void appendRdata(std::string& out, const Data& message, std::uint16_t type, std::size_t offset, std::size_t length) {
    auto rdata = message.checkedSlice(offset, length).value_or(Data());
    ByteReader r(rdata);
    const std::size_t start = out.size();
    switch (type) {
        case 1:
            if (auto t = ipv4Text(rdata.span())) return void(out += *t);
            break;
        case 28:
            if (auto t = ipv6Text(rdata.span())) return void(out += *t);
            break;
        case 2: case 5: case 6: case 12: case 39:
            if (readName(message, offset, &out)) return;
            break;
        case 15:
            if (auto pref = r.peekU16be(0)) {
                appendDecimal(out, *pref);
                out += ' ';
                if (readName(message, offset + 2, &out)) return;
            }
            break;
        case 33:
            if (r.canRead(6)) {
                for (std::size_t at : {0, 2, 4}) {
                    appendDecimal(out, *r.peekU16be(at));
                    out += ' ';
                }
                if (readName(message, offset + 6, &out)) return;
            }
            break;
        case 16:
            while (auto len = r.readU8()) {
                auto text = r.readString(*len);
                if (!text) break;
                if (out.size() != start) out += ' ';
                out += *text;
            }
            return;
        default: break;
    }
    out.resize(start);
    out += hexBytes(rdata.span());
}

/// Whether the summary line shows a record's data after its type.
bool summaryShowsData(std::uint16_t type) {
    switch (type) {
        case 1: case 2: case 5: case 6: case 12: case 15: case 28: case 33: case 39: return true;
        default: return false;
    }
}

void appendTypeName(std::string& out, std::uint16_t type) {
    if (auto name = lookupName(kTypes, type)) out += *name;
    else appendDecimal(out, type);
}

/// What the message is: "Standard query", "Standard query response".
void appendOperation(std::string& out, const DnsMessage::Header& h) {
    out += lookupName(kOpcodes, h.opcode()).value_or("Unknown operation");
    if (h.isResponse()) out += " response";
}

/// The summary line's start: "Standard query response 0x1234 No such name".
void appendHeaderSummary(std::string& out, const DnsMessage::Header& h) {
    appendOperation(out, h);
    out += ' ';
    appendHexText(out, h.id, 4);
    if (h.isResponse() && h.rcode() != 0) {
        out += ' ';
        out += nameFor(kRcodes, h.rcode());
    }
}

/// The summary line's part for a record ("A 93.184.216.34"); `appendData(out)` appends its data
/// as text when the line shows it.
template <class AppendData>
void appendRecordSummary(std::string& out, std::uint16_t type, AppendData appendData) {
    appendTypeName(out, type);
    if (!summaryShowsData(type)) return;
    out += ' ';
    appendData(out);
}

}  // namespace

std::string DnsMessage::typeName(std::uint16_t type) {
    std::string out;
    appendTypeName(out, type);
    return out;
}

std::string DnsMessage::Record::summary() const {
    std::string out;
    appendRecordSummary(out, type, [&](std::string& text) { text += data; });
    return out;
}

DnsMessage DnsMessage::read(const Data& bytes, Detail detail) {
    // A bare message that reads cleanly is the common case and costs one reading.
    auto length = ByteReader(bytes).peekU16be(0);
    bool mayBePrefixed = length && bytes.size() >= kTcpPrefixSize + kHeaderSize;
    std::size_t following = bytes.size() - std::min(bytes.size(), kTcpPrefixSize);
    if (mayBePrefixed && *length == following) {
        auto framed = readAt(bytes, kTcpPrefixSize, detail);
        if (framed.header && !framed.truncated) return framed;
    }
    auto bare = readAt(bytes, 0, detail);
    if (bare.header && !bare.truncated) return bare;
    // The first segment of a message split over TCP segments: the prefix promises more bytes.
    if (mayBePrefixed && *length > following) {
        auto framed = readAt(bytes, kTcpPrefixSize, detail);
        if (framed.header && framed.header->qdcount > 0 && framed.questionsRead > 0) return framed;
    }
    return bare;
}

DnsMessage DnsMessage::readAt(const Data& bytes, std::size_t prefix, Detail detail) {
    const bool text = detail == Detail::text;
    DnsMessage m;
    m.prefix = prefix;
    m.messageEnd = bytes.size();
    if (prefix) {
        auto length = ByteReader(bytes).peekU16be(0);
        if (length) m.messageEnd = std::min(bytes.size(), prefix + *length);
    }
    Data message = bytes.slice(std::min(prefix, bytes.size()), m.messageEnd - std::min(prefix, m.messageEnd));
    ByteReader r(message);
    if (!r.canRead(kHeaderSize)) {
        m.truncated = true;
        return m;
    }
    Header h;
    h.id = *r.readU16be();
    h.flags = *r.readU16be();
    h.qdcount = *r.readU16be();
    h.ancount = *r.readU16be();
    h.nscount = *r.readU16be();
    h.arcount = *r.readU16be();
    m.header = h;

    // The summary line is written as the parts are read; a part that does not read whole
    // takes back what it wrote.
    std::string* line = detail == Detail::summary ? &m.summaryText : nullptr;
    if (line) {
        line->reserve(kSummaryRoom);
        appendHeaderSummary(*line, h);
    }

    std::size_t at = kHeaderSize, count = 0;
    for (std::size_t i = 0; i < h.qdcount; ++i) {
        if (++count > kMaxRecords) return m;
        std::string name;
        const std::size_t mark = line ? line->size() : 0;
        if (line) *line += ' ';
        auto after = readName(message, at, text ? &name : line);
        ByteReader q(message);
        if (!after || !q.seek(*after) || !q.canRead(4)) {
            if (line) line->resize(mark);
            m.truncated = true;
            return m;
        }
        ++m.questionsRead;
        const std::uint16_t type = *q.readU16be(), klass = *q.readU16be();
        if (text) m.questions.push_back(Question{std::move(name), type, klass, prefix + at, *after + 4 - at});
        if (line) {
            // The line shows the type before the name: "A example.com".
            std::string typeText;
            appendTypeName(typeText, type);
            typeText += ' ';
            line->insert(mark + 1, typeText);
        }
        at = *after + 4;
    }
    for (auto* section : {&m.answers, &m.authorities, &m.additionals}) {
        std::uint16_t wanted = section == &m.answers ? h.ancount : section == &m.authorities ? h.nscount : h.arcount;
        for (std::size_t i = 0; i < wanted; ++i) {
            if (++count > kMaxRecords) return m;
            std::string name;
            auto after = readName(message, at, text ? &name : nullptr);
            ByteReader q(message);
            if (!after || !q.seek(*after) || !q.canRead(10)) {
                m.truncated = true;
                return m;
            }
            const std::uint16_t type = *q.readU16be(), klass = *q.readU16be();
            const std::uint32_t ttl = *q.readU32be();
            const std::uint16_t rdlength = *q.readU16be();
            if (!q.canRead(rdlength)) {
                m.truncated = true;
                return m;
            }
            const std::size_t rdata = q.offset();
            if (text) {
                Record rr{std::move(name), type, klass, rdlength, ttl, std::string(), prefix + at, rdata + rdlength - at};
                appendRdata(rr.data, message, type, rdata, rdlength);
                section->push_back(std::move(rr));
            }
            if (line) {
                *line += ' ';
                appendRecordSummary(*line, type, [&](std::string& out) { appendRdata(out, message, type, rdata, rdlength); });
            }
            at = rdata + rdlength;
        }
    }
    m.messageEnd = std::min(m.messageEnd, prefix + at);
    if (prefix) m.messageEnd = std::min(bytes.size(), prefix + *ByteReader(bytes).peekU16be(0));
    return m;
}

std::shared_ptr<QORNode> DnsMessage::detailTree() const {
    auto root = field("Domain Name System", "", 0, messageEnd);
    if (prefix) addField(root, "Length", std::to_string(messageEnd - prefix), 0, prefix);
    if (!header) {
        root->setNodeValue("[Truncated]");
        return root;
    }
    root->setNodeValue(header->isResponse() ? "response" : "query");
    const auto& h = *header;
    addField(root, "Transaction ID", hexText(h.id, 4), prefix, 2);
    std::string flagsText = hexText(h.flags, 4) + " ";
    appendOperation(flagsText, h);
    auto flags = addField(root, "Flags", flagsText, prefix + 2, 2);
    addField(flags, "Response", h.isResponse() ? "Message is a response" : "Message is a query", prefix + 2, 1);
    addField(flags, "Opcode", nameWithCode(kOpcodes, h.opcode()), prefix + 2, 1);
    if (h.isResponse()) addField(flags, "Authoritative", (h.flags & 0x0400) ? "Yes" : "No", prefix + 2, 1);
    addField(flags, "Truncated", (h.flags & 0x0200) ? "Yes" : "No", prefix + 2, 1);
    addField(flags, "Recursion desired", (h.flags & 0x0100) ? "Yes" : "No", prefix + 2, 1);
    if (h.isResponse()) {
        addField(flags, "Recursion available", (h.flags & 0x0080) ? "Yes" : "No", prefix + 3, 1);
        addField(flags, "Reply code", nameWithCode(kRcodes, h.rcode()), prefix + 3, 1);
    }
    addField(root, "Questions", std::to_string(h.qdcount), prefix + 4, 2);
    addField(root, "Answer RRs", std::to_string(h.ancount), prefix + 6, 2);
    addField(root, "Authority RRs", std::to_string(h.nscount), prefix + 8, 2);
    addField(root, "Additional RRs", std::to_string(h.arcount), prefix + 10, 2);
    if (!questions.empty()) {
        auto node = addField(root, "Queries", "", prefix + kHeaderSize, 0);
        for (const auto& q : questions) {
            auto qn = addField(node, q.name, fmt::format("type {}, class {}", typeName(q.type), nameFor(kClasses, q.klass & 0x7FFF)),
                               q.offset, q.length);
            addField(qn, "Name", q.name, q.offset, q.length - 4);
            addField(qn, "Type", fmt::format("{} ({})", typeName(q.type), q.type), q.offset + q.length - 4, 2);
            addField(qn, "Class", fmt::format("{} ({})", nameFor(kClasses, q.klass & 0x7FFF), hexText(q.klass, 4)), q.offset + q.length - 2, 2);
        }
    }
    auto addSection = [&](const char* title, const std::vector<Record>& records) {
        if (records.empty()) return;
        auto node = addField(root, title, "", records.front().offset, 0);
        for (const auto& rr : records) {
            auto rn = addField(node, rr.name, fmt::format("type {}, class {}{}", typeName(rr.type), nameFor(kClasses, rr.klass & 0x7FFF),
                                                          rr.data.empty() ? "" : ", " + rr.data),
                               rr.offset, rr.length);
            addField(rn, "Time to live", std::to_string(rr.ttl), rr.offset, rr.length);
            addField(rn, "Data length", std::to_string(rr.rdlength), rr.offset, rr.length);
        }
    };
    addSection("Answers", answers);
    addSection("Authoritative nameservers", authorities);
    addSection("Additional records", additionals);
    if (truncated) addField(root, "Expert Info", "Message cut short or malformed", messageEnd, 0);
    return root;
}

}  // namespace qor::standard
