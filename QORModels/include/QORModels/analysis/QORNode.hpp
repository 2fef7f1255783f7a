#pragma once
// A node of a packet's detail tree.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QORDependencies/QORNodeProtocol.hpp"
#include "QORPlatform/AppKit.hpp"
#include "QORPlatform/Data.hpp"
#include "QORPlatform/UUID.hpp"

namespace qor {

/// A named value in a detail tree, with the byte range it describes. A parent owns its
/// children; a child refers to its parent weakly, so a tree is released from its root. A node is
/// built on one thread and handed to others only once complete.
class QORNode final : public QORNodeProtocol {
public:
    QORNode();
    ~QORNode() override;

    static std::shared_ptr<QORNode> make() { return std::make_shared<QORNode>(); }
    /// A new node with that name.
    static std::shared_ptr<QORNode> nodeWithName(std::string name);
    /// A new node with that name and the value's text: text as it is, bytes as hexadecimal text
    /// without separators, anything else by its description (empty for none).
    static std::shared_ptr<QORNode> nodeWithName(std::string name, const Value& value);

    void addChild(const std::shared_ptr<QORNodeProtocol>& node);
    /// The child at `index`, which must lie within `children()`.
    [[nodiscard]] std::shared_ptr<QORNodeProtocol> child(std::size_t index) const;
    /// The first child named exactly `name`.
    [[nodiscard]] std::shared_ptr<QORNodeProtocol> getChild(std::string_view name) const;
    /// Only a `QORNode` is accepted; setting the current parent again changes nothing.
    void setMyParent(const std::shared_ptr<QORNodeProtocol>& node);

    // QORNodeProtocol
    [[nodiscard]] std::shared_ptr<QORNodeProtocol> parent() const override { return _parent.lock(); }
    void setParent(const std::shared_ptr<QORNodeProtocol>& parent) override { _parent = parent; }
    [[nodiscard]] const std::vector<std::shared_ptr<QORNodeProtocol>>& children() const override { return children_; }
    [[nodiscard]] const std::string& nodeName() const override { return nodeName_; }
    [[nodiscard]] const std::string& nodeValue() const override { return nodeValue_; }

    void setChildren(std::vector<std::shared_ptr<QORNodeProtocol>> c) { children_ = std::move(c); }
    void setNodeName(std::string n) { nodeName_ = std::move(n); }
    void setNodeValue(std::string v) { nodeValue_ = std::move(v); }
    /// The node's identity for views: the text of its UUID, or the one set. The UUID is drawn
    /// when the identity is first asked for and stays the node's from then on.
    [[nodiscard]] NSUserInterfaceItemIdentifier nodeID() const;
    void setNodeID(NSUserInterfaceItemIdentifier id) { setNodeID_ = std::make_unique<NSUserInterfaceItemIdentifier>(std::move(id)); }
    [[nodiscard]] std::uint16_t headerLength() const { return headerLength_; }
    void setHeaderLength(std::uint16_t v) { headerLength_ = v; }
    [[nodiscard]] std::uint16_t headerLocation() const { return headerLocation_; }
    void setHeaderLocation(std::uint16_t v) { headerLocation_ = v; }
    [[nodiscard]] bool isNested() const { return isNested_; }
    void setIsNested(bool v) { isNested_ = v; }
    [[nodiscard]] bool usePrintListIndention() const { return usePrintListIndention_; }
    void setUsePrintListIndention(bool v) { usePrintListIndention_ = v; }
    [[nodiscard]] const std::string& toolTip() const { return toolTip_; }
    void setToolTip(std::string t) { toolTip_ = std::move(t); }
    [[nodiscard]] const std::optional<Data>& payloadData() const { return payloadData_; }
    void setPayloadData(std::optional<Data> d) { payloadData_ = std::move(d); }

    [[nodiscard]] std::size_t childrenCount() const { return children_.size(); }
    [[nodiscard]] bool expandable() const { return !children_.empty(); }

    /// Sets the byte range the node describes and gives the node, for chained building.
    QORNode& at(std::size_t location, std::size_t length);

    [[nodiscard]] Value valueForKey(std::string_view key) const override;
    [[nodiscard]] std::string description() const override { return nodeName_ + ": " + nodeValue_; }
    [[nodiscard]] std::string_view className() const override { return "QORNode"; }

private:
    /// The UUID the node is known by, drawn the first time its identity is asked for: most nodes
    /// of a walk never are, and drawing one costs more than the rest of making a node.
    mutable std::once_flag uuidDrawn_;
    mutable std::optional<UUID> uuid_;
    std::unique_ptr<NSUserInterfaceItemIdentifier> setNodeID_;  ///< rare: an identity given by a caller
    std::vector<std::shared_ptr<QORNodeProtocol>> children_;
    std::uint16_t headerLength_ = 0;
    std::uint16_t headerLocation_ = 0;
    std::string nodeName_;
    std::string nodeValue_;
    bool isNested_ = false;
    bool usePrintListIndention_ = false;
    std::weak_ptr<QORNodeProtocol> _parent;
    std::string toolTip_;
    std::optional<Data> payloadData_ = Data::nothingSelected();
};

}  // namespace qor
