#include "QORLog/QORLog.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace qor {
namespace {
std::mutex sinkMutex;
std::shared_ptr<const LogSink> currentSink;

void defaultSink(const LogLine& line) {
    static const bool enabled = [] {
        const char* v = std::getenv("QOR_LOG");
        return v && *v;
    }();
    if (!enabled) return;
    auto text = line.formatted();
    std::fwrite(text.data(), 1, text.size(), stderr);
}
}  // namespace

std::string LogLine::formatted() const {
    return filename + separator + function + separator + std::to_string(line) + separator + message + terminator;
}

void qorLog(std::string_view message, std::string_view filename, std::string_view function, int line,
            std::string_view separator, std::string_view terminator) {
    std::shared_ptr<const LogSink> sink;
    {
        std::lock_guard lock(sinkMutex);
        sink = currentSink;
    }
    LogLine l{std::string(message), std::string(filename), std::string(function), line, std::string(separator),
              std::string(terminator)};
    if (sink) (*sink)(l);
    else defaultSink(l);
}

void setLogSink(LogSink sink) {
    auto next = sink ? std::make_shared<const LogSink>(std::move(sink)) : nullptr;
    std::lock_guard lock(sinkMutex);
    currentSink = std::move(next);
}

}  // namespace qor
