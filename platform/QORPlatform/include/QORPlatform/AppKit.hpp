#pragma once
// Minimal stand-ins for the desktop toolkit's colours, fonts and identifiers.

#include <cstdint>
#include <optional>
#include <string>

namespace qor {

/// An sRGB colour with alpha, components 0...1.
struct NSColor {
    double red = 0, green = 0, blue = 0, alpha = 1;
    /// The system's control accent colour (the default blue).
    static NSColor controlAccentColor() { return {0.0, 0.478, 1.0, 1.0}; }
    friend bool operator==(const NSColor&, const NSColor&) = default;
};

/// A font by family name and point size.
struct NSFont {
    std::string fontName;
    double pointSize = 12;
    friend bool operator==(const NSFont&, const NSFont&) = default;
};

/// The identifier of a user-interface item (a table column, an outline row).
struct NSUserInterfaceItemIdentifier {
    std::string rawValue;
    friend bool operator==(const NSUserInterfaceItemIdentifier&, const NSUserInterfaceItemIdentifier&) = default;
};

/// Binding option keys under which a column's predicate options are stored.
inline constexpr const char* NSDisplayNameBindingOption = "NSDisplayName";
inline constexpr const char* NSPredicateFormatBindingOption = "NSPredicateFormat";

}  // namespace qor
