// The sidebar node: its properties, what is derived from them and their styled texts.

#include "QORModels/support/QORURLNode.hpp"

#include "QORDependencies/DefaultInjection.hpp"
#include "QORPlatform/UserDefaults.hpp"

namespace qor {
namespace {

/// The sidebar font the appearance provider gives, else the system font.
NSFont sidebarFont(bool heading) {
    std::optional<NSFont> font;
    if (auto appearance = QORAppearance::current()) {
        font = heading ? appearance->dataSourcesHeadFont() : appearance->dataSourcesListFont();
    }
    if (font) return *font;
    NSFont system = NSFont::systemFont(heading ? NSFont::smallSystemFontSize() : NSFont::systemFontSize());
    if (heading) system.fontName = "System-Bold";
    return system;
}

NSAttributedString secondaryText(std::string text) {
    return NSAttributedString(std::move(text), {NSFont::systemFont(NSFont::smallSystemFontSize()), NSColor::secondaryLabelColor()});
}

}  // namespace

QORURLNode::QORURLNode(NodeType type, std::string title, std::string identifier, std::optional<std::filesystem::path> url,
                       std::optional<Children> children)
    : type_(type), title_(std::move(title)), identifier_(std::move(identifier)), url_(std::move(url)), children_(std::move(children)) {}

template <class T>
void QORURLNode::assign(std::initializer_list<std::string_view> keys, T& field, T value) {
    changeValueForKeys(keys, [&] { return !(field == value); }, [&] { field = std::move(value); });
}

void QORURLNode::setSourceSidebarID(std::optional<UUID> value) { assign({"sourceSidebarID"}, sourceSidebarID_, std::move(value)); }
void QORURLNode::setType(NodeType value) { assign({"type", "nodeIcon"}, type_, value); }
void QORURLNode::setCaptureType(std::optional<CaptureMethods> value) {
    assign({"captureType", "captureMethod"}, captureType_, value);
}
void QORURLNode::setNotLoaded(bool value) { assign({"notLoaded"}, notLoaded_, value); }
void QORURLNode::setActive(bool value) { assign({"active"}, active_, value); }
void QORURLNode::setTitle(std::string value) { assign({"title"}, title_, std::move(value)); }
void QORURLNode::setIdentifier(std::string value) { assign({"identifier"}, identifier_, std::move(value)); }
void QORURLNode::setURL(std::optional<std::filesystem::path> value) { assign({"url"}, url_, std::move(value)); }
void QORURLNode::setChildren(std::optional<Children> value) {
    // Children are compared by identity: a new list of the same nodes is no change.
    assign({"children", "isLeaf"}, children_, std::move(value));
}

std::optional<std::string> QORURLNode::captureMethod() const {
    if (!captureType_) return std::nullopt;
    return std::string(stringValue(*captureType_));
}

std::string QORURLNode::captureInterface() const { return captureInterface(UserDefaults::standard()); }

std::string QORURLNode::captureInterface(const UserDefaults& defaults) {
    return defaults.stringForKey(std::string(kPrefCaptureInterfaceSelected)).value_or("");
}

NSImage QORURLNode::nodeIcon() const {
    return NSImage::imageNamed(type_ == NodeType::liveRecording ? "recordingtape" : "QORDocumentSmall");
}

NSAttributedString QORURLNode::titleAttributed() const {
    return NSAttributedString(title_, {sidebarFont(type_ == NodeType::root), NSColor::labelColor()});
}

NSAttributedString QORURLNode::captureMethodAttributed() const { return secondaryText(captureMethod().value_or("")); }

NSAttributedString QORURLNode::captureInterfaceAttributed() const { return secondaryText(captureInterface()); }

Value QORURLNode::valueForKey(std::string_view key) const {
    if (key == "id") return id_.uuidString();
    if (key == "sourceSidebarID") return sourceSidebarID_ ? Value(sourceSidebarID_->uuidString()) : Value();
    if (key == "type") return static_cast<int>(type_);
    if (key == "captureType" || key == "captureMethod") return captureMethod();
    if (key == "notLoaded") return notLoaded_;
    if (key == "active") return active_;
    if (key == "title") return title_;
    if (key == "identifier") return identifier_;
    if (key == "url") return url_ ? Value(url_->string()) : Value();
    if (key == "children") return children_ ? Value(Value::List(children_->begin(), children_->end())) : Value();
    if (key == "isLeaf") return isLeaf();
    if (key == "captureInterface") return captureInterface();
    if (key == "nodeIcon") return nodeIcon().name;
    return NSObject::valueForKey(key);
}

NSAttributedString lastPathComponentAttributed(const std::filesystem::path& url) {
    const std::filesystem::path name = url.has_filename() ? url.filename() : url.parent_path().filename();
    return NSAttributedString(name.string(), {sidebarFont(false), NSColor::labelColor()});
}

NSAttributedString pathAttributed(const std::filesystem::path& url) { return secondaryText(url.string()); }

}  // namespace qor
