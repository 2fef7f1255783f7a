#pragma once
// The document's file wrapper.

#include <filesystem>
#include <optional>

#include "QORPlatform/NSFileWrapper.hpp"

namespace qor {

/// The file wrapper a document saves through: the platform's file wrapper with all its
/// constructors, whose write is logged ("started writing file wrapper" before the write,
/// "finished writing file wrapper" after it; a write that throws logs only the first line).
class QORFileWrapper : public NSFileWrapper {
public:
    using NSFileWrapper::NSFileWrapper;

    void write(const std::filesystem::path& url, unsigned options,
               const std::optional<std::filesystem::path>& originalContentsURL) override;

    [[nodiscard]] std::string_view className() const override { return "QORFileWrapper"; }
};

}  // namespace qor
