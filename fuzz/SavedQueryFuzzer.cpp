// Fuzz target: a saved-query file read from arbitrary bytes, written back and read again.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "QORModels/queries/SavedQueryCoding.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    try {
        const qor::SavedQuery query = qor::decodeSavedQuery(input);
        // A query that was read writes back (unless a text is not UTF-8) and reads again equal.
        std::string once;
        try {
            once = qor::encodeSavedQuery(query);
        } catch (const std::invalid_argument&) {
            return 0;
        }
        if (!(qor::decodeSavedQuery(once) == query)) __builtin_trap();
    } catch (const qor::DecodingError&) {
        // Refused input is the expected outcome for most bytes.
    }
    return 0;
}
