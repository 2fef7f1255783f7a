#pragma once
// The callbacks through which capture readers hand out packets and progress.

#include <functional>
#include <memory>

namespace qor {

class QORPacket;

/// Receives the packets of a capture one at a time, in file order; returns false to stop the
/// read (the reader then returns what it learnt so far, with no complaint about the rest).
/// A sink that drops a packet frees it: streaming callers keep only what they still need.
using PacketSink = std::function<bool(std::shared_ptr<QORPacket>)>;

/// Hears how far a read has come, in units of 1024 bytes of the file consumed so far.
using ReadProgress = std::function<void(double kilobytes)>;

}  // namespace qor
