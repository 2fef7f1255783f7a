#pragma once
// Progress events of long operations.

#include <optional>
#include <variant>

namespace qor {

/// A progress event: `bytesRead` (units of 1024 bytes consumed so far) or the finished result.
template <class Payload>
struct ProgressUpdate {
    struct BytesRead {
        double kilobytes;
    };
    struct Finished {
        Payload payload;
    };
    std::variant<BytesRead, Finished> value;

    static ProgressUpdate bytesRead(double kilobytes) { return {BytesRead{kilobytes}}; }
    static ProgressUpdate finished(Payload p) { return {Finished{std::move(p)}}; }
    [[nodiscard]] bool isFinished() const { return std::holds_alternative<Finished>(value); }
    [[nodiscard]] const Payload* payload() const {
        auto* f = std::get_if<Finished>(&value);
        return f ? &f->payload : nullptr;
    }
    Payload* payload() {
        auto* f = std::get_if<Finished>(&value);
        return f ? &f->payload : nullptr;
    }
};

namespace ProgressUpdateTranslation {
/// The amount of a `bytesRead` update; nothing for `finished`.
template <class Payload>
std::optional<double> bytesReadValue(const ProgressUpdate<Payload>& update) {
    if (auto* b = std::get_if<typename ProgressUpdate<Payload>::BytesRead>(&update.value)) return b->kilobytes;
    return std::nullopt;
}
}  // namespace ProgressUpdateTranslation

/// Thins out progress reports: one report per `step` of cumulative bytes.
struct ProgressThreshold {
    double step = 0;
    double nextReport = 0;

    ProgressThreshold(double totalBytes, double fraction) {
        step = totalBytes * fraction;
        if (!(step > 0)) step = 0;  // negative, zero, negative zero and NaN become 0
        nextReport = step;
    }
    /// True when a report is due; advances the threshold by one step (however far the count
    /// jumped). Always true when the step is 0.
    bool shouldReport(double cumulativeBytes) {
        if (!(step > 0)) return true;
        if (nextReport <= cumulativeBytes) {
            nextReport += step;
            return true;
        }
        return false;
    }
};

}  // namespace qor
