#include "QORModels/support/QORFileWrapper.hpp"

#include "QORLog/QORLog.hpp"

namespace qor {
namespace {
constexpr std::string_view kLogTag = "QORModels/QORFileWrapper";
constexpr std::string_view kWriteSignature = "write(to:options:originalContentsURL:)";
}  // namespace

void QORFileWrapper::write(const std::filesystem::path& url, unsigned options,
                           const std::optional<std::filesystem::path>& originalContentsURL) {
    qorLog("started writing file wrapper", kLogTag, kWriteSignature, __LINE__);
    NSFileWrapper::write(url, options, originalContentsURL);
    qorLog("finished writing file wrapper", kLogTag, kWriteSignature, __LINE__);
}

}  // namespace qor
