// Raw values and localized titles of the capture-filter choices (keywords: the rendering table).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QORModels/capturefilter/BPFFilterEnumerations.hpp"
#include "QORPlatform/Localized.hpp"

namespace qor {
namespace {

/// Every case's raw value read back gives the case, raw values are distinct, and unknown text
/// gives nothing; for each enumeration in `Es`.
template <class... Es>
void expectRawValuesRoundTrip() {
    ([] {
        std::vector<std::string> seen;
        for (Es value : BPFEnumeration<Es>::allCases) {
            const std::string raw(rawValue(value));
            EXPECT_EQ(BPFEnumeration<Es>::fromRaw(raw), value) << raw;
            for (const std::string& other : seen) EXPECT_NE(raw, other);
            seen.push_back(raw);
        }
        EXPECT_EQ(BPFEnumeration<Es>::fromRaw("nonsense"), std::nullopt);
        EXPECT_EQ(BPFEnumeration<Es>::fromRaw(""), std::nullopt);
    }(), ...);
}

TEST(BPFFilterEnumerations, RawValuesRoundTripForEveryEnumeration) {
    expectRawValuesRoundTrip<BPFDirection, BPFAddressFamily, BPFPortProto, BPFNamedProto, BPFLengthMode, BPFBroadcastScope,
                             BPFMulticastScope, BPFLinkDirection, BPFWlanAddressField, BPFWlanFrameType, BPFWlanDirection,
                             BPFRelop, BPFBytesProto, BPFCombinator>();
}

TEST(BPFFilterEnumerations, OnlyDirectionTitlesAreLocalized) {
    setLocalizedStringTable({{"Source", "Quelle"}, {"IPv4", "IPv4 (übersetzt)"}});
    EXPECT_EQ(displayTitle(BPFDirection::src), "Quelle");
    EXPECT_EQ(displayTitle(BPFDirection::dst), "Destination");
    EXPECT_EQ(displayTitle(BPFAddressFamily::ip), "IPv4");
    setLocalizedStringTable({});
    EXPECT_EQ(displayTitle(BPFDirection::src), "Source");
}

}  // namespace
}  // namespace qor
