#pragma once
// One node of the data-sources sidebar: a capture file, a live capture or a group of them.

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QORDependencies/Enumerations.hpp"
#include "QORKonstantsKeys/QORKonstantsKeys.hpp"
#include "QORPlatform/AppKit.hpp"
#include "QORPlatform/NSAttributedString.hpp"
#include "QORPlatform/NSObject.hpp"
#include "QORPlatform/UUID.hpp"

namespace qor {

class UserDefaults;

/// A sidebar node that the sidebar's outline view binds to.
///
/// Every property is reachable by key-value access under its own name ("id", "sourceSidebarID",
/// "type", "captureType", "notLoaded", "active", "title", "identifier", "url", "children",
/// "isLeaf", "captureMethod", "captureInterface", "nodeIcon", "description"), and each setter
/// announces the change to key-value observers (a change of "children" also announces
/// "isLeaf", one of "captureType" also "captureMethod"). As key values, `id` and
/// `sourceSidebarID` are UUID texts, `type` is the `NodeType` raw value, `captureType` the
/// capture method's text, `url` the file's path, `children` a list of the child nodes and
/// `nodeIcon` the image's name.
///
/// Used on the main thread only (the sidebar's thread), like the views bound to it.
class QORURLNode : public NSObject {
public:
    using Children = std::vector<std::shared_ptr<QORURLNode>>;

    QORURLNode() = default;
    QORURLNode(NodeType type, std::string title, std::string identifier, std::optional<std::filesystem::path> url = {},
               std::optional<Children> children = {});

    [[nodiscard]] const UUID& id() const noexcept { return id_; }
    [[nodiscard]] const std::optional<UUID>& sourceSidebarID() const noexcept { return sourceSidebarID_; }
    void setSourceSidebarID(std::optional<UUID> value);
    [[nodiscard]] NodeType type() const noexcept { return type_; }
    void setType(NodeType value);
    [[nodiscard]] const std::optional<CaptureMethods>& captureType() const noexcept { return captureType_; }
    void setCaptureType(std::optional<CaptureMethods> value);
    [[nodiscard]] bool notLoaded() const noexcept { return notLoaded_; }
    void setNotLoaded(bool value);
    [[nodiscard]] bool active() const noexcept { return active_; }
    void setActive(bool value);
    [[nodiscard]] const std::string& title() const noexcept { return title_; }
    void setTitle(std::string value);
    [[nodiscard]] const std::string& identifier() const noexcept { return identifier_; }
    void setIdentifier(std::string value);
    [[nodiscard]] const std::optional<std::filesystem::path>& url() const noexcept { return url_; }
    void setURL(std::optional<std::filesystem::path> value);
    [[nodiscard]] const std::optional<Children>& children() const noexcept { return children_; }
    void setChildren(std::optional<Children> value);

    /// True exactly when the node has a children list and it is empty.
    [[nodiscard]] bool isLeaf() const noexcept { return children_ && children_->empty(); }
    /// The capture method's text; nothing without a capture method.
    [[nodiscard]] std::optional<std::string> captureMethod() const;
    /// The capture interface chosen in the standard user defaults, or the empty text.
    [[nodiscard]] std::string captureInterface() const;
    /// The same, read from the given defaults.
    [[nodiscard]] static std::string captureInterface(const UserDefaults& defaults);
    /// "recordingtape" for a live recording, "QORDocumentSmall" for every other node.
    [[nodiscard]] NSImage nodeIcon() const;

    /// The title in the sidebar's font: the head font for the root (a group heading), the list
    /// font for every other node, each the appearance provider's font when it gives one and
    /// the system font otherwise (bold size 11 for headings, regular 13 for entries); the
    /// label colour.
    [[nodiscard]] NSAttributedString titleAttributed() const;
    /// The capture method's text in the small system font and the secondary label colour;
    /// empty without a capture method.
    [[nodiscard]] NSAttributedString captureMethodAttributed() const;
    /// The capture interface, styled like the capture method.
    [[nodiscard]] NSAttributedString captureInterfaceAttributed() const;

    [[nodiscard]] Value valueForKey(std::string_view key) const override;
    [[nodiscard]] std::string description() const override { return "QORURLNode"; }
    [[nodiscard]] std::string_view className() const override { return "QORURLNode"; }

    /// Limits of reading a serialised node: nesting of children and nodes in all.
    static constexpr std::size_t kMaxDecodingDepth = 64;
    static constexpr std::size_t kMaxDecodingNodes = 100000;
    static constexpr std::size_t kMaxDecodingBytes = 64u << 20;

private:
    template <class T>
    void assign(std::initializer_list<std::string_view> keys, T& field, T value);

    UUID id_;
    std::optional<UUID> sourceSidebarID_;
    NodeType type_ = NodeType::file;
    std::optional<CaptureMethods> captureType_;
    bool notLoaded_ = false;
    bool active_ = false;
    std::string title_;
    std::string identifier_;
    std::optional<std::filesystem::path> url_;
    std::optional<Children> children_;
};

/// The last component of a file's path in the sidebar's list font and the label colour.
NSAttributedString lastPathComponentAttributed(const std::filesystem::path& url);
/// The whole path in the small system font and the secondary label colour.
NSAttributedString pathAttributed(const std::filesystem::path& url);

/// The keyed serialised form of a node: a JSON object with the keys "type" (the `NodeType` raw
/// value), "notLoaded", "title", "identifier", "url" (a "file://" URL text, percent-encoded;
/// only when the node has a file) and "children" (an array of nodes; only when the node has a
/// children list), written in that order. `id`, `sourceSidebarID`, `captureType` and `active`
/// are not kept. Texts that are not UTF-8 are written with replacement characters.
std::string encodeURLNode(const QORURLNode& node);
/// Reads a node written by `encodeURLNode`; every node read gets a fresh `id`. Unknown keys are
/// ignored. Throws `DecodingError` for anything else, and for documents over
/// `kMaxDecodingBytes`, children nested `kMaxDecodingDepth` deep or more than
/// `kMaxDecodingNodes` nodes; "url" must be a "file://" URL with an absolute path.
std::shared_ptr<QORURLNode> decodeURLNode(std::string_view text);

/// A file URL's text: "file://" and the absolute path, percent-encoded except for unreserved
/// characters, "/" and the sub-delimiters a path may hold.
std::string fileURLString(const std::filesystem::path& path);
/// The path of a "file://" URL text (with an empty or "localhost" host); nothing otherwise.
std::optional<std::filesystem::path> pathFromFileURLString(std::string_view text);

}  // namespace qor
