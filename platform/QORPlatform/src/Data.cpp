#include "QORPlatform/Data.hpp"

#include <algorithm>
#include <cassert>

namespace qor {

Data::Data(std::vector<std::byte> bytes) {
    auto storage = std::make_shared<const std::vector<std::byte>>(std::move(bytes));
    ptr_ = storage->data();
    size_ = storage->size();
    owner_ = std::move(storage);
}

Data Data::copy(std::span<const std::byte> bytes) { return Data(std::vector<std::byte>(bytes.begin(), bytes.end())); }

Data Data::fromString(std::string_view text) {
    return copy(std::as_bytes(std::span<const char>(text.data(), text.size())));
}

Data Data::wrap(std::shared_ptr<const void> owner, std::span<const std::byte> bytes) {
    Data d;
    d.owner_ = std::move(owner);
    d.ptr_ = bytes.data();
    d.size_ = bytes.size();
    return d;
}

const Data& Data::nothingSelected() {
    static const Data empty;
    return empty;
}

std::uint8_t Data::operator[](std::size_t index) const noexcept {
    assert(index < size_);
    return static_cast<std::uint8_t>(ptr_[index]);
}

Data Data::slice(std::size_t from) const noexcept { return from >= size_ ? Data() : slice(from, size_ - from); }

std::optional<Data> Data::checkedSlice(std::size_t from, std::size_t count) const noexcept {
    if (from > size_ || size_ - from < count) return std::nullopt;
    return slice(from, count);
}

bool operator==(const Data& a, const Data& b) noexcept {
    return a.size_ == b.size_ && (a.ptr_ == b.ptr_ || std::equal(a.begin(), a.end(), b.begin()));
}

Data bytes(std::initializer_list<int> values) {
    std::vector<std::byte> v;
    v.reserve(values.size());
    for (int x : values) v.push_back(static_cast<std::byte>(x));
    return Data(std::move(v));
}

}  // namespace qor
