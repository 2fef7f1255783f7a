#pragma once
// Test helpers: fixture paths and captures built byte by byte.

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "QORPlatform/Data.hpp"

namespace qor::test {

/// A file of tests/fixtures/captures.
std::filesystem::path capturePath(std::string_view name);
/// A file of tests/fixtures.
std::filesystem::path fixturePath(std::string_view name);
/// The whole file's bytes.
Data readFile(const std::filesystem::path& path);
/// A fresh empty folder under the system's temporary folder, removed by the destructor.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::filesystem::path path;
    std::filesystem::path write(std::string_view name, const Data& bytes) const;
};

/// Appends integers in a chosen byte order; the building block of hand-made captures.
class Bytes {
public:
    explicit Bytes(bool bigEndian = false) : big_(bigEndian) {}
    Bytes& u8(std::uint8_t v);
    Bytes& u16(std::uint16_t v);
    Bytes& u32(std::uint32_t v);
    Bytes& u64(std::uint64_t v);
    Bytes& raw(std::initializer_list<int> bytes);
    Bytes& raw(std::string_view text);
    Bytes& raw(const Data& data);
    Bytes& zeros(std::size_t n);
    /// Zero bytes up to the next multiple of 4.
    Bytes& pad4();
    [[nodiscard]] std::size_t size() const { return bytes_.size(); }
    [[nodiscard]] Data data() const { return Data(bytes_); }
    [[nodiscard]] const std::vector<std::byte>& vector() const { return bytes_; }
    void patchU32(std::size_t offset, std::uint32_t v);

private:
    bool big_;
    std::vector<std::byte> bytes_;
};

/// A classic pcap file in memory.
class PcapBuilder {
public:
    explicit PcapBuilder(std::uint32_t linkType = 1, bool bigEndian = false, bool nanosecond = false);
    /// Adds a record; `caplen` defaults to the payload's size.
    PcapBuilder& record(std::uint32_t seconds, std::uint32_t fraction, const Data& payload, std::int64_t origLen = -1,
                        std::int64_t caplen = -1);
    [[nodiscard]] Data data() const { return bytes_.data(); }

private:
    Bytes bytes_;
};

/// A pcapng file in memory, block by block.
class PcapngBuilder {
public:
    explicit PcapngBuilder(bool bigEndian = false) : big_(bigEndian) {}
    struct Option {
        std::uint16_t code;
        Data value;
    };
    static Option text(std::uint16_t code, std::string_view value);
    static Option u32(std::uint16_t code, std::uint32_t value, bool bigEndian = false);
    static Option u64(std::uint16_t code, std::uint64_t value, bool bigEndian = false);
    static Option u8(std::uint16_t code, std::uint8_t value);

    PcapngBuilder& section(std::vector<Option> options = {});
    PcapngBuilder& interface(std::uint16_t linkType, std::vector<Option> options = {}, std::uint32_t snaplen = 262144);
    PcapngBuilder& packet(std::uint32_t interfaceId, std::uint64_t timestamp, const Data& payload, std::int64_t origLen = -1,
                          std::vector<Option> options = {});
    PcapngBuilder& secrets(std::uint32_t type, std::string_view text);
    /// Any block with a raw body (the body is padded to 4).
    PcapngBuilder& block(std::uint32_t type, const Data& body);
    [[nodiscard]] Data data() const { return bytes_.data(); }
    [[nodiscard]] std::size_t size() const { return bytes_.size(); }

private:
    Bytes options(const std::vector<Option>& opts) const;
    bool big_;
    Bytes bytes_{false};
};

}  // namespace qor::test
