// Fuzzes the HTTP stream interpreter of the standard plug-in with streams made from the input
// (support/StreamFromBytes.hpp): recognition, then the whole interpretation, whose ranges and
// pairings must stay inside the stream.

#include <cstddef>
#include <cstdint>

#include "support/StreamFromBytes.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return qor::fuzz::fuzzInterpreter("HTTP", data, size);
}
