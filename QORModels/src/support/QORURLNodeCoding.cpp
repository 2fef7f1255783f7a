// Writing and reading sidebar nodes in their keyed form, and file URL texts.

#include <array>
#include <cctype>

#include "QORModels/support/KeyedCoding.hpp"
#include "QORModels/support/QORURLNode.hpp"
#include "QORCommonTools/TextHelpers.hpp"

namespace qor {
namespace {

using json = nlohmann::json;
// Keeps the keys in the order they are written (nlohmann's default object sorts them).
using ordered_json = nlohmann::ordered_json;

ordered_json toJson(const QORURLNode& node) {
    ordered_json object = ordered_json::object();
    object["type"] = static_cast<int>(node.type());
    object["notLoaded"] = node.notLoaded();
    object["title"] = node.title();
    object["identifier"] = node.identifier();
    if (node.url()) object["url"] = fileURLString(*node.url());
    if (node.children()) {
        ordered_json children = ordered_json::array();
        for (const auto& child : *node.children()) children.push_back(toJson(*child));
        object["children"] = std::move(children);
    }
    return object;
}

/// Reads nodes, counting them against the limit; depth is refused while parsing.
class URLNodeDecoder : public KeyedDecoder {
public:
    std::shared_ptr<QORURLNode> node(const json& value) {
        if (!value.is_object()) mismatch("a dictionary", value);
        if (++nodes_ > QORURLNode::kMaxDecodingNodes) fail(Kind::dataCorrupted, "The document holds too many nodes.");
        const NodeType type = keyed(value, "type", [&](const json& v) { return nodeType(v); });
        const bool notLoaded = flag(value, "notLoaded");
        std::string title = text(value, "title");
        std::string identifier = text(value, "identifier");
        auto url = optionalKeyed(value, "url", [&](const json& v) {
            auto path = pathFromFileURLString(string(v));
            if (!path) fail(Kind::dataCorrupted, "Invalid URL string.");
            return *path;
        });
        auto children = optionalKeyed(value, "children", [&](const json& v) {
            auto list = items(v, [&](const json& item) { return node(item); });
            return QORURLNode::Children(std::make_move_iterator(list.begin()), std::make_move_iterator(list.end()));
        });
        auto out = std::make_shared<QORURLNode>(type, std::move(title), std::move(identifier), std::move(url), std::move(children));
        out->setNotLoaded(notLoaded);
        return out;
    }

private:
    NodeType nodeType(const json& v) {
        const std::int64_t raw = integer(v);
        if (raw < static_cast<int>(NodeType::root) || raw > static_cast<int>(NodeType::savedQuery)) {
            fail(Kind::dataCorrupted, "Cannot initialize NodeType from invalid Int value " + std::to_string(raw));
        }
        return static_cast<NodeType>(raw);
    }

    std::size_t nodes_ = 0;
};

bool keptInPath(unsigned char c) {
    if (std::isalnum(c)) return true;
    static constexpr std::string_view kept = "-._~/!$&'()*+,;=:@";
    return kept.find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

std::string fileURLString(const std::filesystem::path& path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "file://";
    for (const char ch : path.string()) {
        const auto c = static_cast<unsigned char>(ch);
        if (keptInPath(c)) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::optional<std::filesystem::path> pathFromFileURLString(std::string_view text) {
    constexpr std::string_view scheme = "file://";
    if (text.size() < scheme.size()) return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != scheme[i]) return std::nullopt;
    }
    text.remove_prefix(scheme.size());
    if (text.rfind("localhost/", 0) == 0) text.remove_prefix(9);
    if (text.empty() || text.front() != '/') return std::nullopt;
    if (const auto end = text.find_first_of("?#"); end != std::string_view::npos) text = text.substr(0, end);
    std::string path;
    path.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            path += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexDigitValue(text[i + 1]), low = hexDigitValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        const char decoded = static_cast<char>(high * 16 + low);
        if (decoded == '\0') return std::nullopt;
        path += decoded;
        i += 2;
    }
    return std::filesystem::path(std::move(path));
}

std::string encodeURLNode(const QORURLNode& node) {
    return toJson(node).dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

std::shared_ptr<QORURLNode> decodeURLNode(std::string_view text) {
    if (text.size() > QORURLNode::kMaxDecodingBytes) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, "", "The document is too large.");
    }
    // Each level of children is two levels of JSON: the children array and the node in it.
    const json document = parseKeyedDocument(text, 2 * QORURLNode::kMaxDecodingDepth + 1);
    return URLNodeDecoder().node(document);
}

}  // namespace qor
