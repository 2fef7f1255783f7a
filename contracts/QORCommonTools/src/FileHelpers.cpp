#include "QORCommonTools/FileHelpers.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
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
struct Mapping {
    void* address = nullptr;
    std::size_t length = 0;
    ~Mapping() {
        if (address && length) ::munmap(address, length);
    }
};
}  // namespace

std::optional<Data> mapFile(const std::filesystem::path& path, std::string* error) {
    auto fail = [&](const char* what) -> std::optional<Data> {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        return std::nullopt;
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("cannot open");
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return fail("cannot stat");
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return fail("cannot read");
    }
    auto mapping = std::make_shared<Mapping>();
    if (st.st_size > 0) {
        mapping->length = static_cast<std::size_t>(st.st_size);
        // MAP_POPULATE faults the whole file in with one call; readers walk every byte anyway,
        // and one populate is far cheaper than a page fault per 4 KiB.
        mapping->address = ::mmap(nullptr, mapping->length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (mapping->address == MAP_FAILED) {
            mapping->address = nullptr;
            ::close(fd);
            return fail("cannot map");
        }
        ::madvise(mapping->address, mapping->length, MADV_SEQUENTIAL | MADV_WILLNEED);
    }
    ::close(fd);
    auto span = std::span<const std::byte>(static_cast<const std::byte*>(mapping->address), mapping->length);
    return Data::wrap(std::move(mapping), span);
}

}  // namespace qor
