#pragma once
// Block types and constants of the pcapng format, shared by its reader and writer.

#include <cstddef>
#include <cstdint>

namespace qor::pcapng {

constexpr std::uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescriptionBlock = 0x00000001;
constexpr std::uint32_t kEnhancedPacketBlock = 0x00000006;
constexpr std::uint32_t kDecryptionSecretsBlock = 0x0000000A;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
/// Decryption Secrets Block type of a TLS key log ("TLSK").
constexpr std::uint32_t kSecretsTypeTLSKeyLog = 0x544C534B;
/// Block type, total length and the trailing copy of the length.
constexpr std::size_t kBlockFraming = 12;

}  // namespace qor::pcapng
