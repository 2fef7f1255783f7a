#include "QORModels/analysis/QORNode.hpp"

#include <algorithm>
#include <cassert>

#include "QORCommonTools/QORAnalyzingUtilities.hpp"

namespace qor {

QORNode::QORNode() = default;

NSUserInterfaceItemIdentifier QORNode::nodeID() const {
    if (setNodeID_) return *setNodeID_;
    std::call_once(uuidDrawn_, [this] { uuid_.emplace(); });
    return NSUserInterfaceItemIdentifier{uuid_->uuidString()};
}

QORNode::~QORNode() {
    _parent.reset();
    children_.clear();
}

std::shared_ptr<QORNode> QORNode::nodeWithName(std::string name) {
    auto node = make();
    node->nodeName_ = std::move(name);
    return node;
}

std::shared_ptr<QORNode> QORNode::nodeWithName(std::string name, const Value& value) {
    auto node = nodeWithName(std::move(name));
    if (auto s = value.stringPtr()) node->nodeValue_ = *s;
    else if (auto d = value.asData()) node->nodeValue_ = QORAnalyzingUtilities::hexStringFromData(*d, false);
    else node->nodeValue_ = value.description();
    return node;
}

void QORNode::addChild(const std::shared_ptr<QORNodeProtocol>& node) {
    if (!node) return;
    node->setParent(std::static_pointer_cast<QORNodeProtocol>(shared_from_this()));
    children_.push_back(node);
}

std::shared_ptr<QORNodeProtocol> QORNode::child(std::size_t index) const {
    assert(index < children_.size());
    return children_.at(index);
}

std::shared_ptr<QORNodeProtocol> QORNode::getChild(std::string_view name) const {
    auto it = std::find_if(children_.begin(), children_.end(), [&](auto& c) { return c->nodeName() == name; });
    return it == children_.end() ? nullptr : *it;
}

void QORNode::setMyParent(const std::shared_ptr<QORNodeProtocol>& node) {
    if (!std::dynamic_pointer_cast<QORNode>(node)) return;
    if (_parent.lock() == node) return;
    _parent = node;
}

QORNode& QORNode::at(std::size_t location, std::size_t length) {
    headerLocation_ = static_cast<std::uint16_t>(std::min<std::size_t>(location, UINT16_MAX));
    headerLength_ = static_cast<std::uint16_t>(std::min<std::size_t>(length, UINT16_MAX));
    return *this;
}

Value QORNode::valueForKey(std::string_view key) const {
    if (key == "nodeName") return nodeName_;
    if (key == "nodeValue") return nodeValue_;
    if (key == "nodeID") return nodeID().rawValue;
    if (key == "toolTip") return toolTip_;
    if (key == "headerLength") return headerLength_;
    if (key == "headerLocation") return headerLocation_;
    if (key == "isNested") return isNested_;
    if (key == "usePrintListIndention") return usePrintListIndention_;
    if (key == "childrenCount") return static_cast<std::uint64_t>(children_.size());
    if (key == "expandable") return expandable();
    if (key == "payloadData") return payloadData_ ? Value(*payloadData_) : Value();
    return NSObject::valueForKey(key);
}

}  // namespace qor
