#pragma once
// Names of link types, ether types and port services.

#include <cstdint>
#include <map>
#include <optional>
#include <atomic>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qor {

/// The process-wide name tables. The built-in link-type and ether-type names are the protocol
/// names under which the standard analyzers register ("ETH" for Ethernet, "SLL" for Linux cooked
/// capture, "IP" for the ether type 0x0800 and so on), so a link type's name is also the name of
/// the analyzer that starts its chain. Plug-ins add or replace names when they register.
/// Thread-safe: lookups take a shared lock, registrations an exclusive one.
class ProtocolsStringsCache {
public:
    static ProtocolsStringsCache& sharedCache();

    /// Display name of a link type given as decimal text ("1" gives "ETH"); nothing when unknown.
    [[nodiscard]] std::optional<std::string> linkTypeStringForKey(std::string_view key) const;
    /// Name of an ether type (0x0800 gives "IP"); nothing when unknown.
    [[nodiscard]] std::optional<std::string> etherTypeString(std::uint32_t etherType) const;
    /// Well-known services by port: decimal port text to service name (the same list serves TCP
    /// and UDP).
    [[nodiscard]] std::map<std::string, std::string> portsServiceList() const;
    /// Every known link type with its name, by number.
    [[nodiscard]] std::map<std::uint32_t, std::string> linkTypes() const;

    /// A number that every change of the tables increases: a caller that keeps a name it looked
    /// up knows the name is still current while the number is the same.
    [[nodiscard]] std::uint64_t generation() const noexcept { return generation_.load(std::memory_order_acquire); }

    void addAnalyzerProtocol(std::string_view name, std::uint32_t linkType);
    void addAnalyzerProtocolForEtherType(std::string_view name, std::uint32_t etherType);
    /// Takes back a name that a plug-in added: when the link type (ether type) is still named
    /// `name`, it gets its built-in name again, or none when it had none. A name that another
    /// plug-in put there since is left alone.
    void removeAnalyzerProtocol(std::string_view name, std::uint32_t linkType);
    void removeAnalyzerProtocolForEtherType(std::string_view name, std::uint32_t etherType);

private:
    ProtocolsStringsCache();
    /// One name lookup, remembered per thread: analysis asks for the same link type or ether type
    /// for packet after packet on several threads, and answering from the thread's last lookup
    /// (while no name was added since) keeps those calls off the shared lock.
    std::optional<std::string> lookup(const std::unordered_map<std::uint32_t, std::string>& table, std::uint32_t key) const;
    void restoreBuiltIn(std::unordered_map<std::uint32_t, std::string>& table,
                        const std::unordered_map<std::uint32_t, std::string>& builtIn, std::string_view name,
                        std::uint32_t key);

    mutable std::shared_mutex mutex_;
    std::atomic<std::uint64_t> generation_{0};  // bumped by every change of the tables
    std::unordered_map<std::uint32_t, std::string> linkTypes_;
    std::unordered_map<std::uint32_t, std::string> etherTypes_;
    const std::unordered_map<std::uint32_t, std::string> builtInLinkTypes_;
    const std::unordered_map<std::uint32_t, std::string> builtInEtherTypes_;
};

}  // namespace qor
