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
    /// Primary text (black, fully opaque).
    static NSColor labelColor() { return {0.0, 0.0, 0.0, 0.85}; }
    /// Secondary text: the label colour, lighter.
    static NSColor secondaryLabelColor() { return {0.0, 0.0, 0.0, 0.5}; }
    friend bool operator==(const NSColor&, const NSColor&) = default;
};

/// A font by family name and point size.
struct NSFont {
    std::string fontName;
    double pointSize = 12;
    /// The interface font at a size ("System").
    static NSFont systemFont(double size) { return {"System", size}; }
    /// The interface font at the size of ordinary controls (13 points).
    static double systemFontSize() { return 13; }
    /// The interface font at the size of small controls (11 points).
    static double smallSystemFontSize() { return 11; }
    friend bool operator==(const NSFont&, const NSFont&) = default;
};

/// An image from the application's resources, known by its name; drawing is the
/// application's business.
struct NSImage {
    std::string name;
    /// The image named `name` (the stand-in cannot tell whether the resource exists).
    static NSImage imageNamed(std::string name) { return {std::move(name)}; }
    friend bool operator==(const NSImage&, const NSImage&) = default;
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
