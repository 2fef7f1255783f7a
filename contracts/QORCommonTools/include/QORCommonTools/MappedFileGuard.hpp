#pragma once
// Keeping reads of a memory-mapped file safe when the file shrinks underneath the mapping.

#include <cstddef>
#include <cstdint>
#include <span>

namespace qor {

/// Turns the bus error that reading a mapped page past the end of a file raises (the file was
/// truncated after it was mapped) into a page of zeros and a mark on the mapping, instead of the
/// death of the process.
///
/// Mappings are registered in a fixed-size, lock-free table that a process-wide SIGBUS handler
/// reads (installed once, on the first registration, with SA_SIGINFO). On a fault inside a
/// registered mapping the handler maps anonymous zero pages over the mapping from the faulting
/// page to its end (the file lost that whole tail) and records the lowest lost offset (the
/// file's present size, read with fstat); the faulting read is then retried and reads zeros. A fault anywhere else goes to the handler that
/// was installed before (or to the default action, which ends the process as it would have).
///
/// Readers of mapped bytes call `probe` before they hand the bytes out: it touches every page of
/// the range and the page after it once (a fault there is handled as above; in the mapping's
/// last page it asks the file its size) and then says whether the range still lies before the
/// lost offset. Bytes that pass are the file's own and stay so: pages already
/// replaced never change again, and the file's remaining pages are untouched. What is left is a
/// race: a truncation after the probe and before the caller reads the bytes makes those reads
/// give zeros, never a crash.
///
/// When the table is full (more than `kCapacity` files mapped at once) further mappings are not
/// guarded; a truncation of one of those ends the process as before.
class MappedFileGuard {
public:
    static constexpr std::size_t kCapacity = 256;
    static constexpr std::size_t kNotLost = SIZE_MAX;

    /// Guards the read-only mapping of `length` bytes at `base` of the open file `fd` (which
    /// tells the exact size the file shrank to; -1 when unknown); a handle for `remove`, or -1
    /// when the table is full.
    static int add(const void* base, std::size_t length, int fd) noexcept;
    /// Stops guarding (call before the mapping is unmapped).
    static void remove(int handle) noexcept;

    /// Whether `bytes` can be handed out: true for memory outside every guarded mapping; for
    /// bytes of a guarded mapping, touches each of their pages and gives true only when none of
    /// them lies at or past the mapping's lost offset.
    static bool probe(std::span<const std::byte> bytes) noexcept;
    /// Starts loading into the processor's caches the lines `probe(bytes)` will read first: the
    /// first of `bytes` and, once any mapping is guarded, the first of the page after their last
    /// page when it still lies in `within` (the buffer the bytes belong to). Changes nothing; for
    /// a walk over many ranges, called some ranges ahead.
    static void prefetch(std::span<const std::byte> bytes, std::span<const std::byte> within) noexcept;
    /// The offset in the mapping with `handle` from which the file's bytes were lost, or
    /// `kNotLost`.
    static std::size_t lostOffset(int handle) noexcept;
};

}  // namespace qor
