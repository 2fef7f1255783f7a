// qor daemon: only what runs without a service manager. Registering and removing the daemon is
// covered against a scripted and a fake systemd backend; running those here would reach the
// machine's real service manager.

#include <gtest/gtest.h>

#include <cstdlib>

#include "QorRunner.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

using test::runQor;

TEST(QorDaemon, ReconcileWithoutARunningDaemonSaysSoAndFails) {
    test::TempDir dir;
    setenv("QOR_CAPTURED_SOCKET", (dir.path / "no-daemon.sock").c_str(), 1);
    auto r = runQor("daemon reconcile");
    unsetenv("QOR_CAPTURED_SOCKET");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("cannot reach the capture daemon"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace qor
