#pragma once
// The window machinery of the streaming passes over a capture: items read in windows, each
// window worked on by every core while the next is read, and shown in file order.

#include <tbb/blocked_range.h>

#include <cstddef>
#include <functional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "QORModels/support/ObservedParallelFor.hpp"
#include "QORModels/support/ObservedTaskGroup.hpp"

namespace qor {

/// Items pushed in file order are gathered into windows of `windowSize`; a full window goes to
/// the workers, which run the work on each item (several items at once, each on one worker)
/// while the caller pushes the next window, then the window is shown to the show visitor on the
/// caller, in file order. The items of a window shown are reset (`Item{}`) by the workers during
/// the next window's work, so releasing them costs the caller nothing. At most three windows are
/// alive: the one being read, the one being worked on and the one shown before it.
///
/// A pass whose `Input` is not its `Item` is pushed inputs, and its workers make each window's
/// items from them (`Make`, a worker's share of a window at a time) before working on them: what
/// the items cost to make is spread over the cores, and an item is made, worked on and released
/// by the workers, in whose caches its memory stays, instead of being made on the caller and
/// moved to another core's cache to be worked on. The caller only reads the inputs. Without
/// work, the caller makes the items itself.
///
/// With `overlap`, a window is shown while the workers work on the next one rather than between
/// the two (four windows alive): an item's `slot` is then its position in the file modulo twice
/// the window size, so a caller keeps two windows of per-slot results; without, its position
/// in the window. Without work, each window is shown as soon as it is read, on the caller alone.
///
/// Not thread-safe: one caller pushes, finishes, and is the thread the show visitor runs on.
template <class Item, class Input = Item>
class WindowedPass {
    static constexpr bool kMakes = !std::is_same_v<Item, Input>;

public:
    /// Items a worker takes at a time: enough to make a task worth its scheduling. A window's
    /// items are split between the workers at multiples of it.
    static constexpr std::size_t kGrain = 64;

    using Work = std::function<void(Item& item, std::size_t slot)>;
    /// Makes the items of consecutive inputs of a window (`items[i]` from `inputs[i]`).
    using Make = std::function<void(std::span<const Input> inputs, std::span<Item> items)>;
    /// A window in file order, after its work; false stops the pass (nothing is shown after it).
    using Show = std::function<bool(std::span<const Item> window)>;

    /// A pass whose items are pushed as they are.
    WindowedPass(std::size_t windowSize, bool overlap, Work work, Show show)
        requires(!kMakes)
        : WindowedPass(windowSize, overlap, Make{}, std::move(work), std::move(show), 0) {}
    /// A pass pushed inputs, from which `make` makes its items.
    WindowedPass(std::size_t windowSize, bool overlap, Make make, Work work, Show show)
        requires kMakes
        : WindowedPass(windowSize, overlap, std::move(make), std::move(work), std::move(show), 0) {}
    WindowedPass(const WindowedPass&) = delete;
    WindowedPass& operator=(const WindowedPass&) = delete;

    /// Adds `input` to the window being read, handing the window on when it is full; false once
    /// the show visitor has said stop.
    bool push(Input input) {
        reading_.push_back(std::move(input));
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
    WindowedPass(std::size_t windowSize, bool overlap, Make make, Work work, Show show, int)
        : windowSize_(windowSize == 0 ? 1 : windowSize),
          make_(std::move(make)),
          work_(std::move(work)),
          show_(std::move(show)),
          overlap_(overlap && static_cast<bool>(work_)) {
        reading_.reserve(windowSize_);
        if constexpr (kMakes) analysingInputs_.reserve(windowSize_);
        for (auto* window : {&analysing_, &shown_, &retired_}) window->reserve(windowSize_);
    }

    void show(const std::vector<Item>& window) {
        if (window.empty() || stopped_) return;
        if (!show_(std::span<const Item>(window))) stopped_ = true;
    }
    /// The window just read becomes the one worked on: its inputs, and the items to make of them.
    void takeReadWindow() {
        if constexpr (kMakes) {
            analysingInputs_.swap(reading_);
            reading_.clear();
            analysing_.resize(analysingInputs_.size());
        } else {
            analysing_.swap(reading_);
        }
    }
    /// Makes the items of the window worked on from `begin` to `end`.
    void make(std::size_t begin, std::size_t end) {
        if constexpr (kMakes) {
            make_(std::span<const Input>(analysingInputs_).subspan(begin, end - begin),
                  std::span<Item>(analysing_).subspan(begin, end - begin));
        }
    }
    /// Works on the window just read on the workers while the caller reads the next one.
    void start() {
        takeReadWindow();
        const std::size_t base = overlap_ ? launched_ % (2 * windowSize_) : 0;
        launched_ += analysing_.size();
        inFlight_ = true;
        if (!work_) {
            make(0, analysing_.size());
            return;
        }
        group_.run([this, base] {
            observedParallelFor(tbb::blocked_range<std::size_t>(0, analysing_.size(), kGrain),
                                [&](const tbb::blocked_range<std::size_t>& r) {
                                    for (std::size_t i = r.begin(); i != r.end() && i < retired_.size(); ++i)
                                        retired_[i] = Item{};
                                    make(r.begin(), r.end());
                                    for (std::size_t i = r.begin(); i != r.end(); ++i) work_(analysing_[i], base + i);
                                });
        });
    }
    /// Waits for the window in flight, shows it (or, overlapping, the one before it while the
    /// next is worked on) and starts the window read since, if any.
    void launch() {
        if (inFlight_) {
            inFlight_ = false;
            if (work_) group_.wait();
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
    const Make make_;
    const Work work_;
    const Show show_;
    const bool overlap_;
    std::vector<Input> reading_;
    /// The inputs of the window worked on, when the items are made of them.
    std::vector<Input> analysingInputs_;
    std::vector<Item> analysing_, shown_, retired_;
    std::size_t launched_ = 0;
    bool inFlight_ = false;
    bool stopped_ = false;
    // Running a window's work and waiting for it order the caller's and the workers' accesses to
    // the windows. Declared last, so destroyed first: a pass left by an exception leaves no task
    // using the windows.
    ObservedTaskGroup group_;
};

}  // namespace qor
