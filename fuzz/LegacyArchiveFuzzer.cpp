// Fuzz target: a legacy saved query (a keyed archive of a predicate) read from arbitrary bytes
// and converted into a filter tree, which must then write out and read back.

#include <cstddef>
#include <cstdint>
#include <span>

#include "QORModels/filters/FilterCoding.hpp"
#include "QORModels/queries/LegacyQORQueryMigrator.hpp"
#include "QORPlatform/NSKeyedUnarchiver.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const qor::FilterNode tree = qor::LegacyQORQueryMigrator::convert(std::as_bytes(std::span(data, size)));
        const std::string once = qor::encodeFilterNode(tree);
        if (qor::encodeFilterNode(qor::decodeFilterNode(once)) != once) __builtin_trap();
    } catch (const qor::NSKeyedUnarchiverError&) {
    } catch (const qor::LegacyMigrationError&) {
    }
    return 0;
}
