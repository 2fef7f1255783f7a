#pragma once
// How deeply a JSON text nests, found in one pass before the text is parsed.

#include <cstddef>
#include <string_view>

namespace qor {

/// Whether an array or object of `text` opens inside `maxDepth` others (the outermost one has
/// none around it). One linear pass that skips strings and their escapes; exact for valid JSON,
/// and text that is not JSON fails its parse anyway. Used to refuse hostile documents before
/// they are built in memory: the JSON library's own parse callback does linear work at the
/// end of every object, which makes wide documents quadratic.
constexpr bool jsonNestsDeeperThan(std::string_view text, std::size_t maxDepth) noexcept {
    std::size_t depth = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        switch (c) {
            case '"': inString = true; break;
            case '[':
            case '{':
                if (depth >= maxDepth) return true;
                ++depth;
                break;
            case ']':
            case '}':
                if (depth > 0) --depth;
                break;
            default: break;
        }
    }
    return false;
}

}  // namespace qor
