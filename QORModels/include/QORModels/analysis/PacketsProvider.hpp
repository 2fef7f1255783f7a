#pragma once
// A document's packet list, its shared file cache, and how the document was captured.

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "QORModels/packets/QORDataCache.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/NSObject.hpp"
#include "QORPlatform/UUID.hpp"
#include "QORPlatform/UnfairLock.hpp"

namespace qor {

/// How a document's packets were captured. Raw values 1 and 2.
enum class CaptureMethod { captureToFile = 1, captureLive = 2 };
std::optional<CaptureMethod> captureMethodFromRaw(std::int64_t raw);
inline std::int64_t rawValue(CaptureMethod m) { return static_cast<std::int64_t>(m); }
/// The localized "File Capture" or "Live Capture".
std::string localizedValue(CaptureMethod m);
inline constexpr CaptureMethod kAllCaptureMethods[] = {CaptureMethod::captureToFile, CaptureMethod::captureLive};

/// A sort key of the packet table.
struct SortDescriptor {
    std::string key;
    bool ascending = true;
    friend bool operator==(const SortDescriptor&, const SortDescriptor&) = default;
};

/// An identifiable wrapper around an observable model, for user-interface lists.
template <class Model>
struct ModelWrapper {
    explicit ModelWrapper(std::shared_ptr<Model> model) : model(std::move(model)) {}
    UUID id;
    std::shared_ptr<Model> model;
};

/// The packet list of one document, with the document's shared file cache.
///
/// Thread safety: driven from the main thread; every write of the list (append, setPackets,
/// appendContentsOf, resetObjects) holds `packetsLock`, and `safePackets()` reads under it from
/// other threads. Observers registered with `addPacketsWillChangeObserver` run before each change,
/// on the writing thread, outside the lock.
class PacketsProvider final : public NSObject {
public:
    using PacketList = std::vector<std::shared_ptr<QORPacket>>;

    PacketsProvider(std::filesystem::path url, PacketList packets);
    ~PacketsProvider() override;

    [[nodiscard]] const UUID& id() const { return id_; }
    [[nodiscard]] const std::filesystem::path& fileURL() const { return fileURL_; }
    [[nodiscard]] const std::shared_ptr<QORDataCache>& fileCache() const { return fileCache_; }

    /// The list (main thread).
    [[nodiscard]] PacketList packets() const;
    void setPackets(PacketList list);
    [[nodiscard]] std::size_t numberOfItems() const;
    /// The list, from any thread.
    [[nodiscard]] PacketList safePackets() const;

    /// The packets of a range within the list (a range outside it is cut to the list), each
    /// given the provider's file cache when it has none.
    [[nodiscard]] PacketList objects(std::size_t from, std::size_t to) const;
    /// Nothing outside the list; otherwise the packet, with the file cache attached when it has none.
    [[nodiscard]] std::shared_ptr<QORPacket> object(std::int64_t index) const;
    /// The position of the first packet with this number.
    [[nodiscard]] std::optional<std::size_t> objectIndex(std::int64_t packetId) const;

    void append(std::shared_ptr<QORPacket> packet);
    /// Appends on the main thread (directly when already there); the future is ready once done.
    std::future<void> appendContentsOf(PacketList list);
    /// Empties the list in a task on the main thread.
    void resetObjects();

    std::vector<SortDescriptor> sortDescriptors{{"packetId", true}};

    using Observer = std::function<void()>;
    /// Registers a block that runs before `packets` changes; keep the token to stay registered.
    std::shared_ptr<const void> addPacketsWillChangeObserver(Observer block);
    [[nodiscard]] std::string_view className() const override { return "PacketsProvider"; }

private:
    void willChange() const;
    void attachCache(const std::shared_ptr<QORPacket>& packet) const;

    UUID id_;
    std::filesystem::path fileURL_;
    std::shared_ptr<QORDataCache> fileCache_;
    mutable std::mutex packetsLock_;
    PacketList packets_;
    mutable std::mutex observersLock_;
    std::vector<std::weak_ptr<Observer>> observers_;
};

}  // namespace qor
