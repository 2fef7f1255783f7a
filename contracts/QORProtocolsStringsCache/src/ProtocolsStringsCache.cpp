#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"

#include <charconv>
#include <mutex>

#include "QORPlatform/ThreadLocal.hpp"

namespace qor {

ProtocolsStringsCache& ProtocolsStringsCache::sharedCache() {
    static ProtocolsStringsCache cache;
    return cache;
}

// LINKTYPE_* numbers from the tcpdump.org link-layer header types registry.
ProtocolsStringsCache::ProtocolsStringsCache()
    : linkTypes_{
          {0, "NULL"},        // BSD loopback, host byte order family
          {1, "ETH"},         // Ethernet II / 802.3
          {6, "TOKENRING"},   //
          {9, "PPP"},         // PPP (RFC 1661 framing without HDLC)
          {10, "FDDI"},       //
          {12, "RAW"},        // raw IP (some BSDs)
          {14, "RAW"},        // raw IP (OpenBSD)
          {50, "PPP"},        // PPP in HDLC-like framing
          {101, "RAW"},       // LINKTYPE_RAW: IPv4 or IPv6 by version nibble
          {104, "CHDLC"},     // Cisco HDLC
          {105, "WLAN"},      // IEEE 802.11
          {108, "LOOP"},      // OpenBSD loopback, network byte order family
          {113, "SLL"},       // Linux cooked capture v1
          {127, "RADIOTAP"},  // 802.11 with radiotap header
          {143, "DOCSIS"},    //
          {192, "PPI"},       //
          {195, "IEEE802154"},
          {228, "RAW"},       // LINKTYPE_IPV4
          {229, "RAW"},       // LINKTYPE_IPV6
          {249, "NETLINK"},   //
          {276, "SLL2"},      // Linux cooked capture v2
      },
      etherTypes_{
          {0x0800, "IP"},     {0x0806, "ARP"},    {0x8035, "RARP"},  {0x8100, "VLAN"},  {0x86DD, "IPv6"},
          {0x8847, "MPLS"},   {0x8848, "MPLS"},   {0x8863, "PPPoED"}, {0x8864, "PPPoES"}, {0x888E, "EAPOL"},
          {0x88A8, "VLAN"},   {0x88CC, "LLDP"},   {0x88E5, "MACsec"}, {0x9100, "VLAN"},
      },
      builtInLinkTypes_(linkTypes_),
      builtInEtherTypes_(etherTypes_) {}

std::optional<std::string> ProtocolsStringsCache::linkTypeStringForKey(std::string_view key) const {
    std::uint32_t value = 0;
    auto [ptr, ec] = std::from_chars(key.data(), key.data() + key.size(), value);
    if (ec != std::errc() || ptr != key.data() + key.size()) return std::nullopt;
    return lookup(linkTypes_, value);
}

std::optional<std::string> ProtocolsStringsCache::etherTypeString(std::uint32_t etherType) const {
    return lookup(etherTypes_, etherType);
}

std::optional<std::string> ProtocolsStringsCache::lookup(const std::unordered_map<std::uint32_t, std::string>& table,
                                                         std::uint32_t key) const {
    struct Recent {
        const void* table = nullptr;
        std::uint64_t generation = 0;
        std::uint32_t key = 0;
        std::optional<std::string> value;
    };
    constexpr std::size_t kSlots = 16;  // per table: the few link and ether types of a capture
    QOR_INITIAL_EXEC_TLS thread_local Recent recent[2][kSlots];
    Recent& last = recent[&table == &linkTypes_ ? 0 : 1][(key * 0x9E3779B1u) >> 28];  // 16 slots
    const std::uint64_t generation = generation_.load(std::memory_order_acquire);
    if (last.table == &table && last.generation == generation && last.key == key) return last.value;
    std::optional<std::string> value;
    {
        std::shared_lock lock(mutex_);
        if (auto it = table.find(key); it != table.end()) value = it->second;
    }
    last = Recent{&table, generation, key, value};
    return value;
}

std::map<std::uint32_t, std::string> ProtocolsStringsCache::linkTypes() const {
    std::shared_lock lock(mutex_);
    return {linkTypes_.begin(), linkTypes_.end()};
}

void ProtocolsStringsCache::addAnalyzerProtocol(std::string_view name, std::uint32_t linkType) {
    std::unique_lock lock(mutex_);
    generation_.fetch_add(1, std::memory_order_release);
    linkTypes_[linkType] = std::string(name);
}

void ProtocolsStringsCache::addAnalyzerProtocolForEtherType(std::string_view name, std::uint32_t etherType) {
    std::unique_lock lock(mutex_);
    generation_.fetch_add(1, std::memory_order_release);
    etherTypes_[etherType] = std::string(name);
}

void ProtocolsStringsCache::removeAnalyzerProtocol(std::string_view name, std::uint32_t linkType) {
    std::unique_lock lock(mutex_);
    restoreBuiltIn(linkTypes_, builtInLinkTypes_, name, linkType);
}

void ProtocolsStringsCache::removeAnalyzerProtocolForEtherType(std::string_view name, std::uint32_t etherType) {
    std::unique_lock lock(mutex_);
    restoreBuiltIn(etherTypes_, builtInEtherTypes_, name, etherType);
}

void ProtocolsStringsCache::restoreBuiltIn(std::unordered_map<std::uint32_t, std::string>& table,
                                           const std::unordered_map<std::uint32_t, std::string>& builtIn,
                                           std::string_view name, std::uint32_t key) {
    auto it = table.find(key);
    if (it == table.end() || it->second != name) return;
    generation_.fetch_add(1, std::memory_order_release);
    if (auto original = builtIn.find(key); original != builtIn.end()) {
        it->second = original->second;
    } else {
        table.erase(it);
    }
}

std::map<std::string, std::string> ProtocolsStringsCache::portsServiceList() const {
    // IANA service names (service-names-port-numbers registry) for commonly seen ports.
    static const std::map<std::string, std::string> services{
        {"7", "echo"},           {"20", "ftp-data"},     {"21", "ftp"},          {"22", "ssh"},
        {"23", "telnet"},        {"25", "smtp"},         {"37", "time"},         {"43", "whois"},
        {"49", "tacacs"},        {"53", "domain"},       {"67", "bootps"},       {"68", "bootpc"},
        {"69", "tftp"},          {"70", "gopher"},       {"79", "finger"},       {"80", "http"},
        {"88", "kerberos"},      {"110", "pop3"},        {"111", "sunrpc"},      {"113", "auth"},
        {"119", "nntp"},         {"123", "ntp"},         {"135", "epmap"},       {"137", "netbios-ns"},
        {"138", "netbios-dgm"},  {"139", "netbios-ssn"}, {"143", "imap"},        {"161", "snmp"},
        {"162", "snmptrap"},     {"179", "bgp"},         {"194", "irc"},         {"389", "ldap"},
        {"443", "https"},        {"445", "microsoft-ds"}, {"464", "kpasswd"},    {"465", "submissions"},
        {"500", "isakmp"},       {"514", "syslog"},      {"515", "printer"},     {"520", "router"},
        {"546", "dhcpv6-client"}, {"547", "dhcpv6-server"}, {"554", "rtsp"},     {"587", "submission"},
        {"631", "ipp"},          {"636", "ldaps"},       {"853", "domain-s"},    {"873", "rsync"},
        {"989", "ftps-data"},    {"990", "ftps"},        {"993", "imaps"},       {"995", "pop3s"},
        {"1080", "socks"},       {"1194", "openvpn"},    {"1433", "ms-sql-s"},   {"1645", "radius"},
        {"1646", "radacct"},     {"1701", "l2tp"},       {"1723", "pptp"},       {"1812", "radius"},
        {"1813", "radius-acct"}, {"1883", "mqtt"},       {"1900", "ssdp"},       {"2049", "nfs"},
        {"3306", "mysql"},       {"3389", "ms-wbt-server"}, {"3478", "stun"},    {"4500", "ipsec-nat-t"},
        {"5060", "sip"},         {"5061", "sips"},       {"5222", "xmpp-client"}, {"5353", "mdns"},
        {"5432", "postgresql"},  {"5900", "rfb"},        {"6379", "redis"},      {"6443", "sun-sr-https"},
        {"8080", "http-alt"},    {"8443", "pcsync-https"}, {"9100", "jetdirect"}, {"11211", "memcache"},
    };
    return services;
}

}  // namespace qor
