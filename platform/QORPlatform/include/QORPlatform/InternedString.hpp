#pragma once
// Text that many objects share: stored once for the process, referred to by one pointer.

#include <optional>
#include <string>
#include <string_view>

namespace qor {

/// A handle on interned text: equal texts share one process-wide copy, so a field that holds
/// one of few distinct values (a protocol name, a protocol history) costs one pointer. The null
/// handle stands for "no text". Interned texts are never freed. Thread-safe.
class InternedString {
public:
    InternedString() = default;
    explicit InternedString(std::string_view text) : text_(intern(text)) {}
    /// The interned empty text (not the null handle).
    static InternedString emptyText() {
        static const InternedString empty{std::string_view()};
        return empty;
    }
    static InternedString from(const std::optional<std::string>& text) {
        return text ? InternedString(*text) : InternedString();
    }
    [[nodiscard]] bool hasValue() const noexcept { return text_ != nullptr; }
    [[nodiscard]] std::optional<std::string> value() const {
        return text_ ? std::optional<std::string>(*text_) : std::nullopt;
    }
    [[nodiscard]] std::string_view view() const noexcept { return text_ ? std::string_view(*text_) : std::string_view(); }
    friend bool operator==(InternedString a, InternedString b) noexcept { return a.text_ == b.text_; }
    /// The interned text of `head`, `separator` and `tail` joined (the other alone when one is
    /// absent; an empty `head` still gets the separator). Remembers recent joins per thread by the two handles, so building a
    /// protocol history one name at a time hashes no text once the thread has met the history.
    static InternedString joined(InternedString head, char separator, InternedString tail);
    /// An identity for hashing, and the handle it came from.
    [[nodiscard]] const void* identity() const noexcept { return text_; }
    static InternedString fromIdentity(const void* identity) noexcept {
        InternedString s;
        s.text_ = static_cast<const std::string*>(identity);
        return s;
    }

private:
    static const std::string* intern(std::string_view text);
    const std::string* text_ = nullptr;
};

}  // namespace qor
