#pragma once
// An analyzer class that also reads reassembled TCP streams (`QORStreamInterpreting`), so that
// the plug-in controller lists it among the stream interpreter types.

#include <memory>
#include <string>

#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"
#include "QORModels/analysis/QORStreamInterpreterRegistry.hpp"
#include "QORModels/streams/StreamMessage.hpp"

namespace qor::standard {

/// Makes `Analyzer`s like `AnalyzerClassOf<Analyzer>` and forwards the stream operations to
/// `Interpreter`'s static `streamDisplayName()`, `canInterpret(stream)` and `interpret(stream)`.
template <class Analyzer, class Interpreter>
class InterpretingAnalyzerClass final : public QORPluginAnalyzerClass, public QORStreamInterpreting {
public:
    explicit InterpretingAnalyzerClass(std::string name, const RuntimeClass* superclass = nullptr)
        : name_(std::move(name)), superclass_(superclass) {}

    [[nodiscard]] std::string_view name() const override { return name_; }
    [[nodiscard]] const RuntimeClass* superclass() const override { return superclass_; }
    [[nodiscard]] AnalyzerRef make(const Data& data, const PacketRef& packet) const override {
        return Analyzer::create(data, packet);
    }
    bool inspect(const Data& data, const PacketRef& packet, Visitor visit) const override {
        return Analyzer::inspect(data, packet, visit);
    }

    [[nodiscard]] std::string streamDisplayName() const override { return Interpreter::streamDisplayName(); }
    [[nodiscard]] bool canInterpret(const TCPStream& stream) const override { return Interpreter::canInterpret(stream); }
    [[nodiscard]] StreamInterpretation interpret(const TCPStream& stream) const override {
        return Interpreter::interpret(stream);
    }

private:
    std::string name_;
    const RuntimeClass* superclass_;
};

}  // namespace qor::standard
