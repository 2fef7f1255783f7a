#include "QORPlatform/AtomicFileWriting.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <optional>

namespace qor {
namespace {

constexpr std::array<int, 3> kInterruptSignals{SIGINT, SIGTERM, SIGHUP};

/// The temporary file of the write that asked for removal on interrupt. A fixed buffer, so that
/// the handler touches nothing but async-signal-safe calls; one write at a time uses it.
char gInterruptedTemporary[4096];
volatile std::sig_atomic_t gInterruptedTemporaryActive = 0;
std::mutex gInterruptSlot;

extern "C" void removeTemporaryAndReraise(int signal) {
    if (gInterruptedTemporaryActive) ::unlink(gInterruptedTemporary);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

/// Installs the removing handlers for its lifetime and restores the previous ones after.
class InterruptGuard {
public:
    InterruptGuard() {
        struct sigaction action {};
        action.sa_handler = removeTemporaryAndReraise;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kInterruptSignals.size(); ++i) sigaction(kInterruptSignals[i], &action, &previous_[i]);
    }
    ~InterruptGuard() {
        gInterruptedTemporaryActive = 0;
        for (std::size_t i = 0; i < kInterruptSignals.size(); ++i) sigaction(kInterruptSignals[i], &previous_[i], nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    std::array<struct sigaction, kInterruptSignals.size()> previous_{};
};

/// mkstemp on `pattern` (rewritten in place to the name made). With `guarded`, the name goes
/// into the handler's slot and the signals are blocked meanwhile, so that the handler never
/// sees a half-made name.
int makeTemporary(std::string& pattern, bool guarded) {
    if (!guarded) return ::mkstemp(pattern.data());
    sigset_t block, old;
    sigemptyset(&block);
    for (int s : kInterruptSignals) sigaddset(&block, s);
    sigprocmask(SIG_BLOCK, &block, &old);
    std::memcpy(gInterruptedTemporary, pattern.c_str(), pattern.size() + 1);
    const int fd = ::mkstemp(gInterruptedTemporary);
    if (fd >= 0) {
        gInterruptedTemporaryActive = 1;
        pattern = gInterruptedTemporary;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return fd;
}

/// The mode a new file gets from the umask, or the existing target's.
mode_t targetMode(const std::filesystem::path& target) {
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) return existing.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

bool writeAll(int fd, std::span<const std::byte> bytes) {
    const std::byte* at = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, at, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        at += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool writeFileAtomically(const std::filesystem::path& path, const AtomicWriteContent& content,
                         const AtomicWriteOptions& options, std::string* error) {
    const std::filesystem::path dir = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
    auto fail = [&](const std::string& what, int code) {
        if (error) *error = what + ": " + std::strerror(code);
        return false;
    };
    if (options.createParentDirectories) {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
    }
    std::string temporary = (dir / ("." + path.filename().string() + ".qor-XXXXXX")).string();
    if (options.removeOnInterrupt && temporary.size() >= sizeof gInterruptedTemporary) {
        return fail("cannot create a file in " + dir.string(), ENAMETOOLONG);
    }

    std::unique_lock<std::mutex> slot;
    std::optional<InterruptGuard> guard;
    if (options.removeOnInterrupt) {
        slot = std::unique_lock(gInterruptSlot);
        guard.emplace();
    }
    const int fd = makeTemporary(temporary, options.removeOnInterrupt);
    if (fd < 0) return fail("cannot create a file in " + dir.string(), errno);
    // From here on every failure removes the temporary file; the guard's destructor (after this
    // one) then stops watching it.
    auto abandon = [&](const std::string& what, int code) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return fail(what, code);
    };

    if (::fchmod(fd, targetMode(path)) != 0) return abandon("cannot set permissions", errno);
    if (options.expectedSize > 0 && ::fallocate(fd, 0, 0, static_cast<off_t>(options.expectedSize)) != 0 &&
        errno == ENOSPC) {
        return abandon("cannot write", ENOSPC);
    }
    std::uint64_t written = 0;
    int writeError = 0;
    bool produced = false;
    try {
        produced = content([&](std::span<const std::byte> chunk) {
            if (writeError) return false;
            if (!writeAll(fd, chunk)) {
                writeError = errno;
                return false;
            }
            written += chunk.size();
            return true;
        });
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    if (writeError) return abandon("cannot write", writeError);
    if (!produced) return abandon("cannot write", ECANCELED);
    if (::ftruncate(fd, static_cast<off_t>(written)) != 0) return abandon("cannot write", errno);
    if (options.synchronize && ::fsync(fd) != 0) return abandon("cannot write", errno);
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(temporary.c_str());
        return fail("cannot write", code);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int code = errno;
        ::unlink(temporary.c_str());
        return fail("cannot replace", code);
    }
    if (options.synchronize) {
        // The rename is durable once the folder's entry is; a folder that cannot be opened or
        // synchronised (some file systems refuse) leaves the rename done, as without the option.
        const int dirFd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            (void)::fsync(dirFd);
            ::close(dirFd);
        }
    }
    return true;
}

bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
    AtomicWriteOptions options;
    options.createParentDirectories = true;
    return writeFileAtomically(
        path, [&](const AtomicWriteSink& sink) { return sink(std::as_bytes(std::span(bytes.data(), bytes.size()))); },
        options);
}

}  // namespace qor
