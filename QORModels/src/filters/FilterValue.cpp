#include "QORModels/filters/FilterValue.hpp"

#include <array>

namespace qor {

std::string_view FilterValue::caseName() const {
    static constexpr std::array<std::string_view, std::variant_size_v<Storage>> kNames{"string", "int", "double", "date",
                                                                                      "protocolName"};
    return kNames[storage_.index()];
}

bool FilterValue::isEmpty() const {
    if (const auto* s = getIf<String>()) return s->value.empty();
    if (const auto* p = getIf<ProtocolName>()) return p->value.empty();
    return false;
}

Value FilterValue::payload() const {
    return std::visit([](const auto& c) { return Value(c.value); }, storage_);
}

std::size_t FilterValue::hashValue() const {
    const std::size_t payloadHash = std::visit(
        [](const auto& c) -> std::size_t {
            using T = std::decay_t<decltype(c.value)>;
            if constexpr (std::is_same_v<T, qor::Date>) return std::hash<double>{}(c.value.secondsSince1970);
            else return std::hash<T>{}(c.value);
        },
        storage_);
    return payloadHash * 31 + storage_.index();
}

}  // namespace qor
