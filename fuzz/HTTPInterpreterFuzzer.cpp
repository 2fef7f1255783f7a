// Fuzzes the HTTP stream interpreter of the standard plug-in with streams made from the input
// (support/StreamFromBytes.hpp): recognition, then the whole interpretation, whose ranges and
// pairings must stay inside the stream.

#include <cstddef>
#include <cstdint>

#include "support/StreamFromBytes.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto interpreter = qor::fuzz::interpreterNamed("HTTP");
    auto stream = qor::fuzz::streamFromBytes(data, size);
    volatile bool recognised = interpreter->canInterpret(stream);
    (void)recognised;
    qor::fuzz::checkInterpretation(stream, interpreter->interpret(stream));
    return 0;
}
