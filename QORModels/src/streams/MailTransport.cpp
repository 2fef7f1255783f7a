#include "QORModels/streams/MailTransport.hpp"

#include <cstring>
#include <vector>

namespace qor::MailTransport {

std::string latin1Text(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<Line> line(const Data& data, std::size_t offset) {
    if (offset >= data.size()) return std::nullopt;
    auto all = data.stringView();
    auto feed = all.find('\n', offset);
    if (feed == std::string_view::npos) return std::nullopt;
    auto text = all.substr(offset, feed - offset);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    return Line{feed + 1 - offset, latin1Text(text)};
}

Data dotUnstuff(const Data& data) {
    auto all = data.stringView();
    std::vector<std::byte> out;
    out.reserve(all.size());
    bool lineStart = true;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const char c = all[i];
        const bool dropped = lineStart && c == '.' && i + 1 < all.size();
        if (!dropped) out.push_back(static_cast<std::byte>(c));
        lineStart = c == '\n';
    }
    return Data(std::move(out));
}

}  // namespace qor::MailTransport
