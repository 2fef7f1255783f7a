#include "QORModels/packets/MappedFileDataCache.hpp"

#include "QORCommonTools/MappedFileGuard.hpp"
#include "QORPlatform/ThreadLocal.hpp"

namespace qor {
namespace {
std::atomic<std::uint64_t> nextCacheId{1};
}

MappedFileDataCache::MappedFileDataCache(Data fileBytes)
    : bytes_(std::move(fileBytes)), id_(nextCacheId.fetch_add(1, std::memory_order_relaxed)) {}

std::optional<Data> MappedFileDataCache::object(UInt32Range range) const {
    if (range.upperBound < range.lowerBound || range.upperBound > bytes_.size()) return std::nullopt;
    // The thread's own holder of the file's bytes: slices count their references on it.
    struct Recent {
        std::uint64_t cacheId = 0;
        std::weak_ptr<const Data> holder;
    };
    QOR_INITIAL_EXEC_TLS thread_local Recent recent;
    std::shared_ptr<const Data> holder;
    if (recent.cacheId == id_) holder = recent.holder.lock();
    if (!holder) {
        holder = std::make_shared<const Data>(bytes_);
        {
            std::lock_guard guard(holdersLock_);
            holders_.push_back(holder);
        }
        recent = Recent{id_, holder};
    }
    const auto span = bytes_.span().subspan(range.lowerBound, range.count());
    if (!MappedFileGuard::probe(span)) return std::nullopt;
    return Data::wrap(std::move(holder), span);
}

void MappedFileDataCache::prefetch(UInt32Range range) const noexcept {
    if (range.lowerBound >= bytes_.size() || range.upperBound <= range.lowerBound) return;
    const auto bytes = bytes_.span().subspan(range.lowerBound, std::min<std::size_t>(range.upperBound, bytes_.size()) - range.lowerBound);
    MappedFileGuard::prefetch(bytes, bytes_.span());
    if (bytes.size() > 64) __builtin_prefetch(bytes.data() + 64);
}

}  // namespace qor
