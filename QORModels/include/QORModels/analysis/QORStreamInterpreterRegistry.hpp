#pragma once
// Stream interpreter types that plug-ins offer, and the process-wide registry of them.

#include <memory>
#include <string>
#include <vector>

#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"
#include "QORPlatform/UnfairLock.hpp"

namespace qor {

struct TCPStream;
struct StreamInterpretation;

/// A class-level interface that an analyzer class implements (next to `QORPluginAnalyzerClass`)
/// to read reassembled streams as messages. Implementations are immutable and thread-safe.
class QORStreamInterpreting {
public:
    virtual ~QORStreamInterpreting() = default;
    [[nodiscard]] virtual std::string streamDisplayName() const = 0;
    [[nodiscard]] virtual bool canInterpret(const TCPStream& stream) const = 0;
    [[nodiscard]] virtual StreamInterpretation interpret(const TCPStream& stream) const = 0;
};

/// One registered interpreter type. `interpreterType` shares ownership with the analyzer class
/// that implements it, so the class lives as long as the box.
struct QORStreamInterpreterTypeBox {
    std::shared_ptr<const QORStreamInterpreting> interpreterType;
};

/// The interpreter type of an analyzer class, or null when the class interprets no streams.
std::shared_ptr<const QORStreamInterpreting> streamInterpreterOf(const AnalyzerClassRef& cls);

/// The process-wide list of stream interpreter types.
///
/// Thread safety: the list is guarded by its own lock, held only for a copy or a swap; the
/// plug-in controller is never called while it is held.
class QORStreamInterpreterRegistry {
public:
    static QORStreamInterpreterRegistry& shared();

    /// Replaces the list (an empty list empties it).
    void populate(std::vector<QORStreamInterpreterTypeBox> types);
    /// A copy of the list. An empty registry asked on the main thread fills itself from the
    /// plug-in controller first; asked on another thread it gives the empty list and stays empty.
    [[nodiscard]] std::vector<QORStreamInterpreterTypeBox> snapshot();

private:
    UnfairLock lock_;
    std::vector<QORStreamInterpreterTypeBox> boxedTypes_;
};

}  // namespace qor
