#include "QORCommonTools/FileHelpers.hpp"

#include "QORCommonTools/MappedFileGuard.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unordered_set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qor {

std::int64_t fileSize(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return static_cast<std::int64_t>(st.st_size);
}

std::optional<std::uint64_t> systemFileNumber(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_ino);
}

namespace {
/// A read-only mapping of a whole file. The file stays open for the mapping's life so that
/// sequential readers can pull its bytes with pread instead of faulting the mapping in.
struct Mapping {
    void* address = nullptr;
    std::size_t length = 0;
    int fd = -1;
    int guard = -1;  // its entry in the bus-error guard (see MappedFileGuard)
    ~Mapping();
};

/// The live mappings, so that `mappedFileRegion` can tell a mapping owner from any other owner.
struct MappingRegistry {
    std::mutex mutex;
    std::unordered_set<const void*> live;
    static MappingRegistry& shared() {
        static auto* registry = new MappingRegistry;  // outlives every static Data
        return *registry;
    }
};

Mapping::~Mapping() {
    {
        auto& registry = MappingRegistry::shared();
        std::lock_guard lock(registry.mutex);
        registry.live.erase(this);
    }
    MappedFileGuard::remove(guard);
    if (address && length) ::munmap(address, length);
    if (fd >= 0) ::close(fd);
}
}  // namespace

std::optional<Data> mapFile(const std::filesystem::path& path, std::string* error) {
    auto fail = [&](const char* what) -> std::optional<Data> {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        return std::nullopt;
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("cannot open");
    auto mapping = std::make_shared<Mapping>();
    mapping->fd = fd;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail("cannot stat");
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return fail("cannot read");
    }
    if (st.st_size > 0) {
        // Pages are mapped lazily: readers walk the file's headers with pread (see
        // `mappedFileRegion`) and only the packet bytes someone looks at are ever faulted in.
        mapping->address = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapping->address == MAP_FAILED) {
            mapping->address = nullptr;
            return fail("cannot map");
        }
        mapping->length = static_cast<std::size_t>(st.st_size);
        // The file may shrink while it is mapped: reading a lost page then gives zeros and a
        // mark instead of a bus error (see `MappedFileGuard`).
        mapping->guard = MappedFileGuard::add(mapping->address, mapping->length, fd);
        ::madvise(mapping->address, mapping->length, MADV_WILLNEED);
    }
    {
        auto& registry = MappingRegistry::shared();
        std::lock_guard lock(registry.mutex);
        registry.live.insert(mapping.get());
    }
    auto span = std::span<const std::byte>(static_cast<const std::byte*>(mapping->address), mapping->length);
    return Data::wrap(std::move(mapping), span);
}

std::optional<MappedFileRegion> mappedFileRegion(const Data& data) {
    const void* owner = data.owner().get();
    if (!owner || data.empty()) return std::nullopt;
    {
        auto& registry = MappingRegistry::shared();
        std::lock_guard lock(registry.mutex);
        if (!registry.live.contains(owner)) return std::nullopt;
    }
    // `data` keeps the mapping alive for the rest of this call.
    const auto* mapping = static_cast<const Mapping*>(owner);
    auto base = static_cast<const std::byte*>(mapping->address);
    if (data.data() < base || data.data() + data.size() > base + mapping->length) return std::nullopt;
    return MappedFileRegion{mapping->fd, static_cast<std::uint64_t>(data.data() - base), {base, mapping->length}};
}

}  // namespace qor
