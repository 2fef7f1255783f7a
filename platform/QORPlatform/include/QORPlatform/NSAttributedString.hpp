#pragma once
// Styled text: a string whose ranges carry a font and a foreground colour.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "QORPlatform/AppKit.hpp"

namespace qor {

/// The display attributes of a run of text; an absent attribute leaves the view's default.
struct TextAttributes {
    std::optional<NSFont> font;
    std::optional<NSColor> foregroundColor;
    friend bool operator==(const TextAttributes&, const TextAttributes&) = default;
};

/// An immutable styled text. Positions and lengths count bytes of the UTF-8 text. Runs are kept
/// in order, cover the whole text, and neighbours with equal attributes are merged, so two
/// texts with the same characters and styling compare equal however they were put together.
class NSAttributedString {
public:
    struct Run {
        std::size_t location = 0;
        std::size_t length = 0;
        TextAttributes attributes;
        friend bool operator==(const Run&, const Run&) = default;
    };

    NSAttributedString() = default;
    explicit NSAttributedString(std::string string, TextAttributes attributes = {}) : string_(std::move(string)) {
        if (!string_.empty()) runs_.push_back({0, string_.size(), std::move(attributes)});
    }

    [[nodiscard]] const std::string& string() const noexcept { return string_; }
    [[nodiscard]] std::size_t length() const noexcept { return string_.size(); }
    [[nodiscard]] const std::vector<Run>& runs() const noexcept { return runs_; }
    /// The attributes at a byte position; none past the end.
    [[nodiscard]] std::optional<TextAttributes> attributesAt(std::size_t location) const {
        for (const Run& run : runs_) {
            if (location >= run.location && location < run.location + run.length) return run.attributes;
        }
        return std::nullopt;
    }

    /// This text followed by `other`, each keeping its attributes.
    [[nodiscard]] NSAttributedString appending(const NSAttributedString& other) const {
        NSAttributedString out = *this;
        for (const Run& run : other.runs_) {
            if (!out.runs_.empty() && out.runs_.back().attributes == run.attributes) {
                out.runs_.back().length += run.length;
            } else {
                out.runs_.push_back({out.string_.size() + run.location, run.length, run.attributes});
            }
        }
        out.string_ += other.string_;
        return out;
    }

    friend bool operator==(const NSAttributedString&, const NSAttributedString&) = default;

private:
    std::string string_;
    std::vector<Run> runs_;
};

}  // namespace qor
