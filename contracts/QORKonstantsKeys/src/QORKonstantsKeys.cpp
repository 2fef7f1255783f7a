#include "QORKonstantsKeys/QORKonstantsKeys.hpp"

namespace qor {

std::string_view stringValue(CaptureMethods method) {
    switch (method) {
        case CaptureMethods::file: return "file";
        case CaptureMethods::live: return "live";
    }
    return "file";
}

std::optional<CaptureMethods> captureMethodFromString(std::string_view text) {
    if (text == "file") return CaptureMethods::file;
    if (text == "live") return CaptureMethods::live;
    return std::nullopt;
}

}  // namespace qor
