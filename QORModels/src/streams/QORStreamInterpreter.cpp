#include "QORModels/streams/QORStreamInterpreter.hpp"

namespace qor {

std::shared_ptr<const QORStreamInterpreting> QORStreamInterpreter::firstInterpreter(
    const TCPStream& stream, const std::vector<QORStreamInterpreterTypeBox>& types) {
    for (const auto& box : types) {
        if (box.interpreterType && box.interpreterType->canInterpret(stream)) return box.interpreterType;
    }
    return nullptr;
}

}  // namespace qor
