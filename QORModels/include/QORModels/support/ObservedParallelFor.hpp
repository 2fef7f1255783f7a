#pragma once
// A parallel loop whose hand-overs race checkers see.

#include <atomic>
#include <cstddef>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace qor {

/// `tbb::parallel_for(range, body)`, with its two hand-overs said again in atomics of this
/// library: oneTBB starts its workers and joins them inside its own library, which race checkers
/// do not watch, so they would take the caller's writes before the loop (its result slots, its
/// flags) and the bodies' writes read after it for races. Every body starts by acquiring what
/// the caller released before the loop, and the caller acquires what every body released when
/// it ended. The cost is two atomic operations per body.
template <class Range, class Body>
void observedParallelFor(const Range& range, const Body& body) {
    std::atomic<std::size_t> launched;
    std::atomic<std::size_t> finished;
    // Stores, not initialisers: a race checker sees the caller's last access to each as atomic.
    launched.store(1, std::memory_order_release);
    finished.store(0, std::memory_order_release);
    tbb::parallel_for(range, [&](const Range& part) {
        (void)launched.load(std::memory_order_acquire);
        struct Finished {
            std::atomic<std::size_t>& count;
            ~Finished() { count.fetch_add(1, std::memory_order_release); }
        } finishedOnExit{finished};
        body(part);
    });
    (void)finished.load(std::memory_order_acquire);
}

/// `body(i)` for every index `i` below `count`, as an observed parallel loop.
template <class Body>
void observedParallelForEach(std::size_t count, const Body& body) {
    observedParallelFor(tbb::blocked_range<std::size_t>(0, count), [&](const tbb::blocked_range<std::size_t>& range) {
        for (std::size_t i = range.begin(); i != range.end(); ++i) body(i);
    });
}

}  // namespace qor
