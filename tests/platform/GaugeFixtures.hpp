#pragma once
// An object whose class resolves key readers, counting how its keys are asked.

#include <atomic>
#include <memory>
#include <string>

#include "QORPlatform/KeyReader.hpp"
#include "QORPlatform/NSObject.hpp"

namespace qor::testing_predicates {

/// An object whose class resolves readers: "level" and "name" through readers that serve gauges
/// while the epoch they were resolved in lasts ("level" readers only for gauges of the same
/// `family` when `familyReaders` is set); other keys have no reader. Counts what is asked how.
class Gauge final : public NSObject {
public:
    explicit Gauge(std::int64_t level, int family = 0) : level_(level), family_(family) {}
    [[nodiscard]] Value valueForKey(std::string_view key) const override {
        ++byName;
        if (key == "level") return Value(level_);
        if (key == "name") return "gauge-" + std::to_string(level_);
        return NSObject::valueForKey(key);
    }
    [[nodiscard]] std::int64_t level() const { return level_; }
    [[nodiscard]] int family() const { return family_; }

    static inline std::atomic<int> byName{0}, resolved{0}, read{0}, epoch{0};
    static inline std::atomic<bool> familyReaders{false};
    static void reset() {
        byName = resolved = read = 0;
        familyReaders = false;
    }

private:
    std::int64_t level_;
    int family_;
};

class GaugeReader final : public KeyReader {
public:
    GaugeReader(bool level, int family) : level_(level), family_(family), epoch_(Gauge::epoch.load()) {}
    bool read(const NSObject& object, Value& out) const override {
        const auto* gauge = dynamic_cast<const Gauge*>(&object);
        if (!gauge || epoch_ != Gauge::epoch.load()) return false;
        if (level_ && Gauge::familyReaders && gauge->family() != family_) return false;
        ++Gauge::read;
        out = level_ ? Value(gauge->level()) : Value("gauge-" + std::to_string(gauge->level()));
        return true;
    }

private:
    bool level_;
    int family_;
    int epoch_;
};

inline std::shared_ptr<const KeyReader> resolveGauge(const NSObject& object, std::string_view key) {
    if (key != "level" && key != "name") return nullptr;
    ++Gauge::resolved;
    return std::make_shared<GaugeReader>(key == "level", static_cast<const Gauge&>(object).family());
}

inline const bool kGaugeReaders = KeyReaders::registerResolver(typeid(Gauge), &resolveGauge);

}  // namespace qor::testing_predicates
