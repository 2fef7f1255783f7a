// The filter engine's failures: a platform exception raised while evaluating and a cancelled task
// become its errors, on a real capture read and analysed through the loaded plug-in.

#include <gtest/gtest.h>

#include <latch>

#include "PlugInPackets.hpp"
#include "QORModels/filters/FilterErrors.hpp"
#include "QORModels/filters/PacketFilterEngine.hpp"
#include "QORPlatform/NSPredicate.hpp"
#include "QORPlatform/Task.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

TEST(FilterEngine, PlatformExceptionsAndCancellationBecomeErrors) {
    activatePlugInsOnce();
    const PacketList packets = readPackets(capturePath("many_interfaces-1.pcapng"));
    try {
        (void)PacketFilterEngine().apply(*NSPredicate::predicateWithFormat("dstPort CONTAINS \"5\""), packets);
        ADD_FAILURE() << "a text operator on a number evaluated";
    } catch (const FilterEvaluationError& e) {
        EXPECT_EQ(e.kind(), FilterEvaluationError::Kind::evaluationFailed);
        EXPECT_FALSE(e.reason().empty());
    }
    // A task cancelled before it filters stops before the first packet.
    std::latch cancelled(1);
    bool stopped = false;
    Task task = Task::detached([&] {
        cancelled.wait();
        try {
            (void)PacketFilterEngine().apply(*NSPredicate::predicateWithValue(true), packets);
        } catch (const FilterEvaluationError& e) {
            stopped = e.kind() == FilterEvaluationError::Kind::cancelled;
        } catch (const CancellationError&) {
            stopped = true;
        }
    });
    task.cancel();
    cancelled.count_down();
    task.wait();
    EXPECT_TRUE(stopped);
}

}  // namespace
}  // namespace qor::test
