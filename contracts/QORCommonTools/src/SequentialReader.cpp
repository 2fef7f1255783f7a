#include "QORCommonTools/SequentialReader.hpp"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

#include "QORCommonTools/FileHelpers.hpp"
#include "QORCommonTools/MappedFileGuard.hpp"

namespace qor {

SequentialReader::SequentialReader(Data data, std::size_t windowSize) : data_(std::move(data)), capacity_(windowSize) {
    if (auto region = mappedFileRegion(data_)) {
        fd_ = region->fd;
        fileOffset_ = region->fileOffset;
    }
}

bool SequentialReader::inWindow(std::size_t offset, std::size_t length) const noexcept {
    return window_ && offset >= windowStart_ && offset - windowStart_ <= windowLength_ &&
           length <= windowLength_ - (offset - windowStart_);
}

bool SequentialReader::fill(std::size_t offset) {
    // A window someone still holds (through `bytes`) is left to them; a fresh one takes its place.
    if (!window_ || window_.use_count() > 1) window_ = std::make_shared<std::vector<std::byte>>(capacity_);
    std::size_t want = std::min(capacity_, data_.size() - offset);
    std::size_t got = 0;
    while (got < want) {
        auto n = ::pread(fd_, window_->data() + got, want - got, static_cast<off_t>(fileOffset_ + offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    windowStart_ = offset;
    windowLength_ = got;
    runsServed_ = 0;
    missesSinceFill_ = 0;
    return got == want;
}

std::optional<std::span<const std::byte>> SequentialReader::view(std::size_t offset, std::size_t length) {
    if (offset > data_.size() || length > data_.size() - offset) return std::nullopt;
    auto direct = data_.span().subspan(offset, length);
    if (fd_ < 0) return direct;
    // From the mapping, only while the file still holds the run (see MappedFileGuard).
    auto mapped = [&]() -> std::optional<std::span<const std::byte>> {
        if (!MappedFileGuard::probe(direct)) return std::nullopt;
        return direct;
    };
    if (capacity_ == 0) {
        readAhead(offset);
        return mapped();
    }
    if (length > capacity_) return mapped();
    if (!inWindow(offset, length)) {
        bool sequential = !window_ || runsServed_ >= kSequentialRuns;
        if (!sequential && ++missesSinceFill_ < kProbeInterval) return mapped();
        if (!fill(offset) && offset + length > windowStart_ + windowLength_) return std::nullopt;  // the file shrank
        if (!inWindow(offset, length)) return mapped();
    }
    ++runsServed_;
    return std::span<const std::byte>(window_->data() + (offset - windowStart_), length);
}

void SequentialReader::readAhead(std::size_t offset) noexcept {
    constexpr std::size_t kLine = 64;
    const std::size_t until = std::min(data_.size(), offset + kReadAhead);
    // Prefetches never fault, so lines of a file that has shrunk since are harmless to ask for.
    for (std::size_t at = std::max(prefetched_, offset & ~(kLine - 1)); at < until; at += kLine) __builtin_prefetch(data_.data() + at);
    prefetched_ = std::max(prefetched_, until);
}

std::optional<Data> SequentialReader::bytes(std::size_t offset, std::size_t length) {
    auto run = view(offset, length);
    if (!run) return std::nullopt;
    if (!window_ || run->data() < window_->data() || run->data() >= window_->data() + window_->size()) {
        return data_.slice(offset, length);
    }
    return Data::wrap(window_, *run);
}

}  // namespace qor
