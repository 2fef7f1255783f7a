#pragma once
// The detail-tree node interface.

#include <memory>
#include <string>
#include <vector>

#include "QORPlatform/NSObject.hpp"

namespace qor {

/// A node of a packet's detail tree: a name, a value text, children and a weak parent.
class QORNodeProtocol : public NSObject {
public:
    [[nodiscard]] virtual std::shared_ptr<QORNodeProtocol> parent() const = 0;
    virtual void setParent(const std::shared_ptr<QORNodeProtocol>& parent) = 0;
    [[nodiscard]] virtual const std::vector<std::shared_ptr<QORNodeProtocol>>& children() const = 0;
    [[nodiscard]] virtual const std::string& nodeName() const = 0;
    [[nodiscard]] virtual const std::string& nodeValue() const = 0;
};

using NodeList = std::vector<std::shared_ptr<QORNodeProtocol>>;

}  // namespace qor
