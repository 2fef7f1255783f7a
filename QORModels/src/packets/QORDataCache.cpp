#include "QORModels/packets/QORDataCache.hpp"

#include "QORCommonTools/FileHelpers.hpp"
#include "QORCommonTools/MappedFileGuard.hpp"

namespace qor {

QORDataCache::QORDataCache(const std::filesystem::path& url, bool liveCapturing) : _fileCache(std::make_shared<MemoryCache>()) {
    _fileCache->setCountLimit(liveCapturing ? 0 : fileSize(url));
}

QORDataCache::QORDataCache() : _fileCache(std::make_shared<MemoryCache>()) {}

std::optional<Data> QORDataCache::object(UInt32Range range) const {
    if (!_fileCache) return std::nullopt;
    auto bytes = _fileCache->getBytes(range);
    // Bytes of a mapped file that has shrunk since are not the file's any more: unavailable.
    if (bytes && !MappedFileGuard::probe(bytes->span())) return std::nullopt;
    return bytes;
}

std::optional<Data> QORDataCache::storedObject(UInt32Range range) const {
    if (!_fileCache) return std::nullopt;
    return _fileCache->getBytes(range);
}

void QORDataCache::set(const Data& data, UInt32Range range) {
    if (_fileCache) _fileCache->setBytes(data, range);
}

void QORDataCache::clearCache() {
    if (_fileCache) _fileCache->clear();
}

void QORDataCache::reserve(std::size_t count) {
    if (_fileCache) _fileCache->reserve(count);
}

}  // namespace qor
