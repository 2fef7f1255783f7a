// Checking capture filter expressions with libpcap.

#include "QORModels/capturefilter/BPFFilterValidator.hpp"

#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

#include "BPFFilterTextTrimming.hpp"
#include "QORCommonTools/Pcap.hpp"

namespace qor::BPFFilterValidator {
namespace {

constexpr int kLinkType = DLT_EN10MB;  // 1, Ethernet
constexpr int kSnapshotLength = 65535;
constexpr int kOptimize = 0;
constexpr bpf_u_int32 kNetmask = PCAP_NETMASK_UNKNOWN;  // 0xFFFFFFFF

/// Whether the libpcap loaded at run time needs its compiler serialised.
///
/// Before 1.8 the filter compiler kept its parser and code generator state in globals (the
/// setjmp context, the lexer buffer, the block allocator), so two threads compiling at once could
/// corrupt each other. From 1.8 on the compiler keeps all of it in a per-call state and the lexer
/// and parser are reentrant; Debian 12 ships 1.10.3, which needs no lock. The version is read from
/// `pcap_lib_version()` ("libpcap version 1.10.3 (with TPACKET_V3)") because the library in use can
/// differ from the headers we were built with; a text we cannot read is treated as old.
bool compilerNeedsLock() {
    static const bool needsLock = [] {
        const char* version = pcap_lib_version();
        unsigned major = 0, minor = 0;
        if (version == nullptr || std::sscanf(version, "libpcap version %u.%u", &major, &minor) != 2) return true;
        return major < 1 || (major == 1 && minor < 8);
    }();
    return needsLock;
}

std::mutex& compilerLock() {
    static std::mutex lock;
    return lock;
}

struct HandleCloser {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
};

}  // namespace

std::string ValidationResult::description() const {
    switch (kind_) {
        case Kind::valid: return "valid";
        case Kind::empty: return "empty";
        case Kind::invalid: return "invalid: " + message_;
    }
    return {};
}

ValidationResult validate(std::string_view expression) {
    const std::string text(bpf_detail::trimmingBlanksAndLineBreaks(expression));
    if (text.empty()) return ValidationResult::empty();

    std::optional<std::unique_lock<std::mutex>> guard;
    if (compilerNeedsLock()) guard.emplace(compilerLock());

    const std::unique_ptr<pcap_t, HandleCloser> handle(pcap_open_dead(kLinkType, kSnapshotLength));
    if (!handle) return ValidationResult::invalid("pcap_open_dead failed");

    bpf_program program{};
    const int result = pcap_compile(handle.get(), &program, text.c_str(), kOptimize, kNetmask);
    if (result == 0) {
        pcap_freecode(&program);
        return ValidationResult::valid();
    }
    // Nothing was compiled, so there is no program to free.
    const char* error = pcap_geterr(handle.get());
    if (error == nullptr || *error == '\0') {
        return ValidationResult::invalid("pcap_compile failed (" + std::to_string(result) + ")");
    }
    return ValidationResult::invalid(error);
}

}  // namespace qor::BPFFilterValidator
