#include "support/Fixtures.hpp"

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

namespace qor::test {

std::filesystem::path capturePath(std::string_view name) { return std::filesystem::path(QOR_FIXTURES_DIR) / "captures" / name; }
std::filesystem::path fixturePath(std::string_view name) { return std::filesystem::path(QOR_FIXTURES_DIR) / name; }

Data readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::byte> bytes(chars.size());
    if (!chars.empty()) std::memcpy(bytes.data(), chars.data(), chars.size());  // an empty file has no buffer
    return Data(std::move(bytes));
}

TempDir::TempDir() {
    std::random_device rd;
    path = std::filesystem::temp_directory_path() / ("qor-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(path);
}
TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}
std::filesystem::path TempDir::write(std::string_view name, const Data& bytes) const {
    auto p = path / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return p;
}

Bytes& Bytes::u8(std::uint8_t v) {
    bytes_.push_back(std::byte{v});
    return *this;
}
Bytes& Bytes::u16(std::uint16_t v) {
    if (big_) return u8(v >> 8).u8(v & 0xFF);
    return u8(v & 0xFF).u8(v >> 8);
}
Bytes& Bytes::u32(std::uint32_t v) {
    if (big_) return u16(static_cast<std::uint16_t>(v >> 16)).u16(static_cast<std::uint16_t>(v));
    return u16(static_cast<std::uint16_t>(v)).u16(static_cast<std::uint16_t>(v >> 16));
}
Bytes& Bytes::u64(std::uint64_t v) {
    if (big_) return u32(static_cast<std::uint32_t>(v >> 32)).u32(static_cast<std::uint32_t>(v));
    return u32(static_cast<std::uint32_t>(v)).u32(static_cast<std::uint32_t>(v >> 32));
}
Bytes& Bytes::raw(std::initializer_list<int> bytes) {
    for (int b : bytes) u8(static_cast<std::uint8_t>(b));
    return *this;
}
Bytes& Bytes::raw(std::string_view text) {
    for (char c : text) u8(static_cast<std::uint8_t>(c));
    return *this;
}
Bytes& Bytes::raw(const Data& data) {
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    return *this;
}
Bytes& Bytes::zeros(std::size_t n) {
    bytes_.insert(bytes_.end(), n, std::byte{0});
    return *this;
}
Bytes& Bytes::pad4() { return zeros((4 - bytes_.size() % 4) % 4); }
void Bytes::patchU32(std::size_t offset, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        int shift = big_ ? 24 - 8 * i : 8 * i;
        bytes_.at(offset + static_cast<std::size_t>(i)) = std::byte{static_cast<std::uint8_t>(v >> shift)};
    }
}

PcapBuilder::PcapBuilder(std::uint32_t linkType, bool bigEndian, bool nanosecond) : bytes_(bigEndian) {
    bytes_.u32(nanosecond ? 0xA1B23C4D : 0xA1B2C3D4).u16(2).u16(4).u32(0).u32(0).u32(262144).u32(linkType);
}

PcapBuilder& PcapBuilder::record(std::uint32_t seconds, std::uint32_t fraction, const Data& payload, std::int64_t origLen,
                                 std::int64_t caplen) {
    bytes_.u32(seconds).u32(fraction);
    bytes_.u32(static_cast<std::uint32_t>(caplen < 0 ? static_cast<std::int64_t>(payload.size()) : caplen));
    bytes_.u32(static_cast<std::uint32_t>(origLen < 0 ? static_cast<std::int64_t>(payload.size()) : origLen));
    bytes_.raw(payload);
    return *this;
}

PcapngBuilder::Option PcapngBuilder::text(std::uint16_t code, std::string_view value) { return {code, Data::fromString(value)}; }
PcapngBuilder::Option PcapngBuilder::u32(std::uint16_t code, std::uint32_t value, bool bigEndian) {
    return {code, Bytes(bigEndian).u32(value).data()};
}
PcapngBuilder::Option PcapngBuilder::u64(std::uint16_t code, std::uint64_t value, bool bigEndian) {
    return {code, Bytes(bigEndian).u64(value).data()};
}
PcapngBuilder::Option PcapngBuilder::u8(std::uint16_t code, std::uint8_t value) { return {code, Bytes().u8(value).data()}; }

Bytes PcapngBuilder::options(const std::vector<Option>& opts) const {
    Bytes b(big_);
    if (opts.empty()) return b;
    for (auto& o : opts) {
        b.u16(o.code).u16(static_cast<std::uint16_t>(o.value.size())).raw(o.value).pad4();
    }
    b.u16(0).u16(0);
    return b;
}

PcapngBuilder& PcapngBuilder::block(std::uint32_t type, const Data& body) {
    Bytes b(big_);
    std::uint32_t total = static_cast<std::uint32_t>(12 + (body.size() + 3) / 4 * 4);
    b.u32(type).u32(total).raw(body).pad4().u32(total);
    bytes_.raw(b.data());
    return *this;
}

PcapngBuilder& PcapngBuilder::section(std::vector<Option> opts) {
    Bytes body(big_);
    body.u32(0x1A2B3C4D).u16(1).u16(0).u64(~std::uint64_t{0}).raw(options(opts).data());
    return block(0x0A0D0D0A, body.data());
}

PcapngBuilder& PcapngBuilder::interface(std::uint16_t linkType, std::vector<Option> opts, std::uint32_t snaplen) {
    Bytes body(big_);
    body.u16(linkType).u16(0).u32(snaplen).raw(options(opts).data());
    return block(1, body.data());
}

PcapngBuilder& PcapngBuilder::packet(std::uint32_t interfaceId, std::uint64_t timestamp, const Data& payload,
                                     std::int64_t origLen, std::vector<Option> opts) {
    Bytes body(big_);
    body.u32(interfaceId).u32(static_cast<std::uint32_t>(timestamp >> 32)).u32(static_cast<std::uint32_t>(timestamp));
    body.u32(static_cast<std::uint32_t>(payload.size()));
    body.u32(static_cast<std::uint32_t>(origLen < 0 ? static_cast<std::int64_t>(payload.size()) : origLen));
    body.raw(payload).pad4().raw(options(opts).data());
    return block(6, body.data());
}

PcapngBuilder& PcapngBuilder::secrets(std::uint32_t type, std::string_view text) {
    Bytes body(big_);
    body.u32(type).u32(static_cast<std::uint32_t>(text.size())).raw(text).pad4();
    return block(0x0000000A, body.data());
}

}  // namespace qor::test
