#pragma once
// A one-line progress bar on standard error for qor's long commands.

#include <chrono>
#include <cstdint>
#include <string>

namespace qor::cli {

/// Draws "label [#######.......]  42%  12.3 / 29.1 MB" on standard error and redraws it in
/// place as work advances.
///
/// Usage: `ProgressBar bar(totalBytes, enabled); bar.update(doneBytes); bar.finish();`. A
/// disabled bar draws nothing, so commands create one unconditionally and pass
/// `ProgressBar::standardErrorIsTerminal()` (or a user switch) as `enabled`. Redraws are
/// limited to one per 100 ms and to visible changes, so calling `update` often is cheap.
/// `finish()` (also run by the destructor) erases the line, leaving the terminal as it was.
/// A total of 0 shows only the amount done.
///
/// Not thread-safe: one thread updates a bar.
class ProgressBar {
public:
    ProgressBar(std::uint64_t totalBytes, bool enabled, std::string label = {});
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    /// Sets the amount done (clamped to the total) and redraws when due.
    void update(std::uint64_t doneBytes);
    /// Erases the bar; later updates draw nothing.
    void finish();

    [[nodiscard]] bool enabled() const { return enabled_; }
    /// Whether standard error is a terminal (where a bar makes sense).
    static bool standardErrorIsTerminal();

private:
    void draw();

    std::uint64_t total_;
    std::uint64_t done_ = 0;
    bool enabled_;
    bool drawn_ = false;
    std::string label_;
    int lastPermille_ = -1;
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace qor::cli
