#pragma once
// How a capture reader walks the records of a file mapped into memory.

namespace qor {

/// How the capture readers walk a mapped file's record headers (bytes that are no mapping are
/// read in place either way).
enum class RecordAccess {
    /// Through a window filled by reading the file: the pages of packet bytes no one looks at are
    /// never mapped in (a pass that reads the records alone, as a summary of the file does).
    windowed,
    /// Straight from the mapping: for a pass that keeps every page resident because the packets'
    /// bytes are all read again, where copying the file through a window first is only more work.
    mapped,
};

}  // namespace qor
