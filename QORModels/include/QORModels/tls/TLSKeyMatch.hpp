#pragma once
// The key-log entries of one source for one client random.

#include <cstddef>
#include <string>
#include <vector>

#include "QORCommonTools/Keylog.hpp"

namespace qor {

/// All entries of one `source` for one client random, in entry order.
struct TLSKeyMatch {
    KeylogSource source;
    /// The source is the key store of the trace now open.
    bool isCurrentTrace = false;
    std::vector<std::string> labels;  ///< the entries' labels
    std::vector<std::string> lines;   ///< the entries' whole key-log lines

    friend bool operator==(const TLSKeyMatch&, const TLSKeyMatch&) = default;
};

struct TLSKeyMatchHash {
    std::size_t operator()(const TLSKeyMatch& match) const noexcept;
};

}  // namespace qor
