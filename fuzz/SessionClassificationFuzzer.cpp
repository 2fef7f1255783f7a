// Fuzz target for subscriber session building: hostile packets through the analysis pipeline
// (the standard plug-in's analyzers, chained as for any packet) into the classifier, and the
// events of an input grouped into sessions.
//
// Input: the first byte picks the link type the packets are analysed as; then records of a
// big-endian 16-bit length and that many bytes, one packet each (a record cut short takes what
// is left). Packet i is stamped with a time from its record's first byte, so that events come
// out of time order and share time stamps. Every event's texts and every session's summary,
// id and title are read, and each packet's event without detail rows must equal its event with
// them, rows aside.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "QORModels/sessions/SubscriberSessionBuilder.hpp"
#include "support/StandardPlugIn.hpp"

namespace {

constexpr std::array<std::uint32_t, 4> kLinkTypes = {1, 113, 276, 101};
/// Packets per input at most: grouping is what several packets add; more only repeat it.
constexpr std::size_t kMaxPackets = 64;

volatile std::size_t gSink = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qor::fuzz::activateStandardPlugIn();
    if (size < 1) return 0;
    const std::uint32_t linkType = kLinkTypes[data[0] % kLinkTypes.size()];
    static qor::SessionClassifier classifier;
    static qor::SessionClassifier briefClassifier(/*keepDetail=*/false);
    std::vector<qor::RawSessionEvent> events;
    std::size_t at = 1;
    for (std::size_t i = 0; at < size && i < kMaxPackets; ++i) {
        std::size_t length = size - at;
        if (size - at >= 2) {
            length = std::min<std::size_t>((std::size_t{data[at]} << 8) | data[at + 1], size - at - 2);
            at += 2;
        }
        const auto* bytes = reinterpret_cast<const std::byte*>(data + at);
        qor::Data packet = qor::Data::copy({bytes, length});
        at += length;
        const double time = 1000.0 + static_cast<double>(length ? data[at - length] : 0) * 0.25;
        const auto captured = static_cast<std::uint32_t>(length);
        const qor::SessionPacket input{static_cast<std::int64_t>(i + 1), time, captured, captured, linkType,
                                       qor::InternedString(), packet};
        auto event = classifier.classify(input);
        // Without its detail rows, the event is the same.
        auto brief = briefClassifier.classify(input);
        if (event.has_value() != brief.has_value()) __builtin_trap();
        if (event) {
            auto withoutRows = *event;
            withoutRows.detail.clear();
            if (!(withoutRows == *brief)) __builtin_trap();
            gSink = gSink + event->label.size() + event->detail.size();
            events.push_back(std::move(*event));
        }
    }
    for (const auto& session : qor::SubscriberSessionBuilder::group(std::move(events))) {
        gSink = gSink + session.id().size() + session.title().size() + session.events.size();
        gSink = gSink + static_cast<std::size_t>(session.summary.dataByteCount);
    }
    return 0;
}
