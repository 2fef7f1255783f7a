// Fuzz target: a file wrapper's serialised representation read from arbitrary bytes, written
// back and read again.

#include <cstddef>
#include <cstdint>

#include "QORPlatform/NSFileWrapper.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const qor::NSFileWrapper wrapper(
            qor::NSFileWrapper::SerializedRepresentation{qor::Data::copy({reinterpret_cast<const std::byte*>(data), size})});
        const qor::Data once = wrapper.serializedRepresentation();
        const qor::NSFileWrapper again(qor::NSFileWrapper::SerializedRepresentation{once});
        if (again.serializedRepresentation().toString() != once.toString()) __builtin_trap();
        if (const auto* children = wrapper.fileWrappers()) {
            for (const auto& [name, child] : *children) {
                if (!qor::isValidFileWrapperName(name) || !child) __builtin_trap();
            }
        }
    } catch (const qor::NSFileWrapperError&) {
        // Refused input is the expected outcome for most bytes.
    }
    return 0;
}
