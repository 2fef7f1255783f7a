#pragma once
// The one log function, with a replaceable sink.

#include <functional>
#include <string>
#include <string_view>

namespace qor {

/// One log line as handed to the sink.
struct LogLine {
    std::string message;
    std::string filename;  ///< "QORModels/" plus the source file's name
    std::string function;
    int line = 0;
    std::string separator;
    std::string terminator;
    /// "filename, function, line, message" joined by the separator, then the terminator.
    [[nodiscard]] std::string formatted() const;
};

using LogSink = std::function<void(const LogLine&)>;

/// Writes one log line through the current sink. There are no levels.
void qorLog(std::string_view message, std::string_view filename, std::string_view function, int line,
            std::string_view separator = ", ", std::string_view terminator = "\n");
/// Replaces the sink; an empty function restores the default sink, which writes to standard
/// error only when the environment variable QOR_LOG is set to a non-empty value.
void setLogSink(LogSink sink);

}  // namespace qor

/// Logs `message` tagged with `tag` (for example "QORModels/PcapngReader"), the enclosing
/// function and the line.
#define QOR_LOG(tag, message) ::qor::qorLog((message), (tag), __func__, __LINE__)
