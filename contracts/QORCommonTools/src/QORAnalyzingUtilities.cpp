#include "QORCommonTools/QORAnalyzingUtilities.hpp"

#include <arpa/inet.h>
#include <mutex>
#include <netdb.h>
#include <sys/socket.h>
#include <unordered_map>

namespace qor {

std::string QORAnalyzingUtilities::hexStringFromData(const Data& data, bool withSeparator) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * (withSeparator ? 3 : 2));
    bool first = true;
    for (auto b : data) {
        if (withSeparator && !first) out.push_back(':');
        first = false;
        out.push_back(kHex[static_cast<unsigned>(b) >> 4]);
        out.push_back(kHex[static_cast<unsigned>(b) & 15]);
    }
    return out;
}

std::optional<std::string> QORAnalyzingUtilities::hostnameForIPString(std::string_view address, int version) {
    static std::mutex mutex;
    static std::unordered_map<std::string, std::optional<std::string>> answers;
    std::string key = std::to_string(version) + "/" + std::string(address);
    {
        std::lock_guard lock(mutex);
        if (auto it = answers.find(key); it != answers.end()) return it->second;
    }
    std::optional<std::string> result;
    std::string text(address);
    char host[NI_MAXHOST];
    if (version == 2) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        if (inet_pton(AF_INET, text.c_str(), &sa.sin_addr) == 1 &&
            getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD) == 0) {
            result = host;
        }
    } else if (version == 30) {
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        if (inet_pton(AF_INET6, text.c_str(), &sa.sin6_addr) == 1 &&
            getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD) == 0) {
            result = host;
        }
    }
    std::lock_guard lock(mutex);
    answers.emplace(std::move(key), result);
    return result;
}

}  // namespace qor
