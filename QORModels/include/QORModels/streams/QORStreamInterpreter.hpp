#pragma once
// Choosing the interpreter that reads a stream.

#include <memory>
#include <vector>

#include "QORModels/analysis/QORStreamInterpreterRegistry.hpp"

namespace qor {

struct TCPStream;

class QORStreamInterpreter {
public:
    QORStreamInterpreter() = delete;
    /// The first type of `types` (in the registry's order, which is the priority) that can
    /// interpret `stream`; null when none can. Boxes without a type are passed over.
    static std::shared_ptr<const QORStreamInterpreting> firstInterpreter(const TCPStream& stream,
                                                                         const std::vector<QORStreamInterpreterTypeBox>& types);
};

}  // namespace qor
