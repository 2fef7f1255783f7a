#pragma once
// The window machinery of the streaming passes over a capture: items read in windows, each
// window worked on by every core while the next is read, and shown in file order.

#include <cstddef>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "QORModels/support/WindowWorkers.hpp"

namespace qor {

/// Items pushed in file order are gathered into windows of `windowSize`; a full window goes to
/// the workers, which run the work on each item (several items at once, each on one worker)
/// while the caller pushes the next window, then the window is shown to the show visitor on the
/// caller, in file order. The items of a window shown are reset (`Item{}`) by the workers during
/// the next window's work, so releasing them costs the caller nothing. At most three windows are
/// alive: the one being read, the one being worked on and the one shown before it.
///
/// With `overlap`, a window is shown while the workers work on the next one rather than between
/// the two (four windows alive): an item's `slot` is then its position in the file modulo twice
/// the window size, so a caller keeps two windows of per-slot results; without, its position
/// in the window. Without work, each window is shown as soon as it is read, on the caller alone.
///
/// Not thread-safe: one caller pushes, finishes, and is the thread the show visitor runs on.
template <class Item>
class WindowedPass {
public:
    /// Items a worker takes at a time: enough to make taking a part worth its hand-over. A
    /// window's items are split between the workers at multiples of it.
    static constexpr std::size_t kGrain = 64;

    using Work = std::function<void(Item& item, std::size_t slot)>;
    /// A window in file order, after its work; false stops the pass (nothing is shown after it).
    using Show = std::function<bool(std::span<const Item> window)>;

    WindowedPass(std::size_t windowSize, bool overlap, Work work, Show show)
        : windowSize_(windowSize == 0 ? 1 : windowSize),
          work_(std::move(work)),
          show_(std::move(show)),
          overlap_(overlap && static_cast<bool>(work_)),
          workers_(kGrain, [this](std::size_t begin, std::size_t end) {
              for (std::size_t i = begin; i != end; ++i) {
                  if (i < retired_.size()) retired_[i] = Item{};
                  work_(analysing_[i], base_ + i);
              }
          }) {
        for (auto* window : {&reading_, &analysing_, &shown_, &retired_}) window->reserve(windowSize_);
    }
    WindowedPass(const WindowedPass&) = delete;
    WindowedPass& operator=(const WindowedPass&) = delete;

    /// Adds `item` to the window being read, handing the window on when it is full; false once
    /// the show visitor has said stop.
    bool push(Item item) {
        reading_.push_back(std::move(item));
        if (reading_.size() >= windowSize_) launch();
        return !stopped_;
    }
    /// The items of the window being read so far.
    [[nodiscard]] std::size_t readingCount() const noexcept { return reading_.size(); }
    /// Works on and shows the windows still in the pass: the last one read, and the one before.
    void finish() {
        launch();
        launch();
    }

private:
    void show(const std::vector<Item>& window) {
        if (window.empty() || stopped_) return;
        if (!show_(std::span<const Item>(window))) stopped_ = true;
    }
    /// Works on the window just read on the workers while the caller reads the next one.
    void start() {
        analysing_.swap(reading_);
        base_ = overlap_ ? launched_ % (2 * windowSize_) : 0;
        launched_ += analysing_.size();
        inFlight_ = true;
        if (work_) workers_.start(analysing_.size());
    }
    /// Waits for the window in flight, shows it (or, overlapping, the one before it while the
    /// next is worked on) and starts the window read since, if any.
    void launch() {
        if (inFlight_) {
            inFlight_ = false;
            if (work_) workers_.wait();
        }
        retired_.clear();  // what the work did not reset (a shorter window's tail)
        if (overlap_) {
            retired_.swap(shown_);
            shown_.swap(analysing_);
        } else {
            show(analysing_);
            retired_.swap(analysing_);
        }
        if (!stopped_ && !reading_.empty()) {
            start();
            if (!work_) {  // nothing to work on: the window is shown as soon as it is read
                inFlight_ = false;
                show(analysing_);
                analysing_.clear();
            }
        }
        if (overlap_) show(shown_);
    }

    const std::size_t windowSize_;
    const Work work_;
    const Show show_;
    const bool overlap_;
    std::vector<Item> reading_, analysing_, shown_, retired_;
    std::size_t launched_ = 0;
    /// The slot of the first item of the window being worked on.
    std::size_t base_ = 0;
    bool inFlight_ = false;
    bool stopped_ = false;
    // Handing a window's work over and waiting for it order the caller's and the workers'
    // accesses to the windows. Declared last, so destroyed first: a pass left by an exception
    // leaves no worker using the windows.
    WindowWorkers workers_;
};

}  // namespace qor
