// A document's packet list.

#include "QORModels/analysis/PacketsProvider.hpp"

#include "QORPlatform/Localized.hpp"
#include "QORPlatform/MainQueue.hpp"

namespace qor {

std::optional<CaptureMethod> captureMethodFromRaw(std::int64_t raw) {
    if (raw == 1) return CaptureMethod::captureToFile;
    if (raw == 2) return CaptureMethod::captureLive;
    return std::nullopt;
}

std::string localizedValue(CaptureMethod m) {
    return m == CaptureMethod::captureToFile ? localized("File Capture", "Capture Method") : localized("Live Capture", "Capture Method");
}

PacketsProvider::PacketsProvider(std::filesystem::path url, PacketList packets)
    : fileURL_(std::move(url)), fileCache_(std::make_shared<QORDataCache>(fileURL_, false)), packets_(std::move(packets)) {}

PacketsProvider::~PacketsProvider() {
    runOnMain([cache = fileCache_] { cache->clearCache(); });
}

void PacketsProvider::willChange() const {
    std::vector<std::shared_ptr<Observer>> live;
    {
        std::lock_guard lock(observersLock_);
        for (const auto& w : observers_) {
            if (auto o = w.lock()) live.push_back(std::move(o));
        }
    }
    for (const auto& o : live) (*o)();
}

std::shared_ptr<const void> PacketsProvider::addPacketsWillChangeObserver(Observer block) {
    auto holder = std::make_shared<Observer>(std::move(block));
    std::lock_guard lock(observersLock_);
    std::erase_if(observers_, [](const auto& w) { return w.expired(); });
    observers_.push_back(holder);
    return holder;
}

PacketsProvider::PacketList PacketsProvider::packets() const { return safePackets(); }

PacketsProvider::PacketList PacketsProvider::safePackets() const {
    std::lock_guard lock(packetsLock_);
    return packets_;
}

std::size_t PacketsProvider::numberOfItems() const {
    std::lock_guard lock(packetsLock_);
    return packets_.size();
}

void PacketsProvider::setPackets(PacketList list) {
    willChange();
    PacketList old;
    std::lock_guard lock(packetsLock_);
    old.swap(packets_);
    packets_ = std::move(list);
}

void PacketsProvider::append(std::shared_ptr<QORPacket> packet) {
    willChange();
    std::lock_guard lock(packetsLock_);
    packets_.push_back(std::move(packet));
}

std::future<void> PacketsProvider::appendContentsOf(PacketList list) {
    auto task = std::make_shared<std::packaged_task<void()>>([this, list = std::move(list)]() mutable {
        willChange();
        std::lock_guard lock(packetsLock_);
        packets_.insert(packets_.end(), std::make_move_iterator(list.begin()), std::make_move_iterator(list.end()));
    });
    auto done = task->get_future();
    if (MainQueue::shared().isMainThread()) {
        (*task)();
    } else {
        runOnMain([task] { (*task)(); });
    }
    return done;
}

void PacketsProvider::resetObjects() {
    std::weak_ptr<NSObject> weakSelf = weak_from_this();
    runOnMain([weakSelf] {
        auto self = std::static_pointer_cast<PacketsProvider>(weakSelf.lock());
        if (!self) return;
        self->willChange();
        PacketList old;
        std::lock_guard lock(self->packetsLock_);
        old.swap(self->packets_);
    });
}

void PacketsProvider::attachCache(const std::shared_ptr<QORPacket>& packet) const {
    // The packet's data-cache slot has its own lock; this only fills an empty slot.
    if (packet && !packet->dataCache()) packet->setDataCache(fileCache_);
}

PacketsProvider::PacketList PacketsProvider::objects(std::size_t from, std::size_t to) const {
    PacketList out;
    std::lock_guard lock(packetsLock_);
    to = std::min(to, packets_.size());
    for (std::size_t i = from; i < to; ++i) {
        attachCache(packets_[i]);
        out.push_back(packets_[i]);
    }
    return out;
}

std::shared_ptr<QORPacket> PacketsProvider::object(std::int64_t index) const {
    std::lock_guard lock(packetsLock_);
    if (index < 0 || static_cast<std::uint64_t>(index) >= packets_.size()) return nullptr;
    const auto& p = packets_[static_cast<std::size_t>(index)];
    attachCache(p);
    return p;
}

std::optional<std::size_t> PacketsProvider::objectIndex(std::int64_t packetId) const {
    std::lock_guard lock(packetsLock_);
    for (std::size_t i = 0; i < packets_.size(); ++i) {
        if (packets_[i] && packets_[i]->packetId() == packetId) return i;
    }
    return std::nullopt;
}

}  // namespace qor
