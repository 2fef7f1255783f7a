#pragma once
// The library's shared error enumeration.

#include <stdexcept>
#include <string>
#include <string_view>

namespace qor {

enum class APIError { unknown, missingData, serialization, invalidData, auth, pcapOpenDead, pcapDumpOpen, pcapDump, user_cancelled };

std::string_view caseName(APIError e);

/// The exception that carries an `APIError`, with an optional detail text for people.
class APIErrorException : public std::runtime_error {
public:
    explicit APIErrorException(APIError code, std::string detail = {});
    [[nodiscard]] APIError code() const { return code_; }
    [[nodiscard]] const std::string& detail() const { return detail_; }
    friend bool operator==(const APIErrorException& a, const APIErrorException& b) { return a.code_ == b.code_; }

private:
    APIError code_;
    std::string detail_;
};

}  // namespace qor
