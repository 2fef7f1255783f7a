// The capture daemon's server in-process on a socket of its own: the requests, hostile clients,
// the peer-credential check and the client class over the socket.

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <future>

#include "CaptureTestSupport.hpp"
#include "QORModels/capture/CaptureDaemonClient.hpp"
#include "QORModels/capture/CaptureDaemonEndpoint.hpp"

namespace qor::test {
namespace {

using namespace capture;

TEST(CaptureDaemon, AnswersAndRefusesRequestsThroughTheClient) {
    DaemonFixture daemon;
    CaptureDaemonClient client(daemon.socket, 2s);
    EXPECT_EQ(client.getVersion().get(), projectVersion());
    if (canCaptureDirectly()) {
        EXPECT_NO_THROW(client.connectToAuthSystem());
    } else {
        EXPECT_THROW(client.connectToAuthSystem(), CaptureDaemonError);
    }
    const auto interfaces = client.listInterfaces();
    EXPECT_TRUE(std::any_of(interfaces.begin(), interfaces.end(), [](const auto& i) { return i.name == "lo"; }));

    // Requests on one connection are answered in order; a stop outside a capture is an error
    // that leaves the connection open.
    auto raw = UnixSocket::connect(daemon.socket);
    auto requests = encodeFrame(StopCaptureRequest{});
    appendFrame(requests, GetVersionRequest{});
    ASSERT_TRUE(raw.sendAll(requests, 1s));
    const auto got = readReplies(raw, 300ms).messages;
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(std::get<ErrorReply>(got[0]).code, ProtocolErrorCode::unexpected);
    EXPECT_EQ(got[1], Message(VersionReply{projectVersion()}));

    // Captures it cannot start are refused with their reason.
    const std::vector<std::pair<StartCaptureRequest, ProtocolErrorCode>> refused = {
        {{"lo", "port 99999", 0, 0, 0, false}, ProtocolErrorCode::invalidFilter},
        {{"lo", "udp and and", 0, 0, 0, false}, ProtocolErrorCode::invalidFilter},
        {{"no-such-interface0", "", 0, 0, 0, false},
         canCaptureDirectly() ? ProtocolErrorCode::captureFailed : ProtocolErrorCode::permissionDenied}};
    for (const auto& [request, code] : refused) {
        try {
            client.capture(request, {});
            ADD_FAILURE() << request.filter << " was accepted";
        } catch (const CaptureDaemonError& e) {
            EXPECT_EQ(e.code(), code) << request.interface << " " << request.filter << ": " << e.what();
        }
    }

    // quitDaemon answers, then makes waitUntilQuit return.
    auto quit = std::async(std::launch::async, [&] { daemon.server->waitUntilQuit(); });
    client.quitDaemon();
    EXPECT_EQ(quit.wait_for(2s), std::future_status::ready);
    daemon.server->stop();
    EXPECT_FALSE(std::filesystem::exists(daemon.socket));
    EXPECT_THROW(client.getVersion().get(), CaptureDaemonError);
}

TEST(CaptureDaemon, DisconnectsHostileClientsAndKeepsServingOthers) {
    LogCapture log;
    DaemonFixture daemon;
    // Each sends its bytes; those marked true are answered with a malformed error before the close.
    const std::vector<std::tuple<const char*, std::vector<std::byte>, bool, const char*>> cases = {
        {"1 GB length prefix", Bytes(true).u32(1u << 30).u8(0x05).vector(), true, "frame length 1073741824"},
        {"half a message", Bytes(true).u32(20).u8(0x05).u16(2).vector(), false, "did not complete in time"},
        {"a reply sent as a request", encodeFrame(VersionReply{"9"}), true, "a reply sent as a request"},
        {"silent client", {}, false, "idle for too long"},
    };
    std::vector<UnixSocket> hostile;
    for (const auto& [name, bytes, malformed, logged] : cases) {
        hostile.push_back(UnixSocket::connect(daemon.socket));
        ASSERT_TRUE(hostile.back().sendAll(bytes, 1s)) << name;
    }
    // While they are connected, a well-behaved client is served at once.
    CaptureDaemonClient client(daemon.socket, 1s);
    EXPECT_EQ(client.getVersion().get(), projectVersion());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [name, bytes, malformed, logged] = cases[i];
        const auto got = readReplies(hostile[i], 3s);
        EXPECT_TRUE(got.closed) << name;
        if (malformed) {
            EXPECT_EQ(got.onlyError(), ProtocolErrorCode::malformed) << name;
        } else {
            EXPECT_TRUE(got.messages.empty()) << name;
        }
        EXPECT_TRUE(log.contains(logged)) << name;
    }
    EXPECT_EQ(client.getVersion().get(), projectVersion());
}

TEST(CaptureDaemon, RefusesClientsBeyondItsLimit) {
    DaemonFixture daemon([](auto& o) { o.maxClients = 2; o.idleTimeout = 5s; });
    auto a = UnixSocket::connect(daemon.socket);
    auto b = UnixSocket::connect(daemon.socket);
    for (int i = 0; i < 200 && daemon.server->activeSessions() < 2; ++i) std::this_thread::sleep_for(5ms);
    auto c = UnixSocket::connect(daemon.socket);
    EXPECT_EQ(readReplies(c, 2s).onlyError(), ProtocolErrorCode::busy);
    a.close();
    for (int i = 0; i < 400 && daemon.server->activeSessions() > 1; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(CaptureDaemonClient(daemon.socket, 1s).getVersion().get(), projectVersion());
}

/// Whether `check` holds on a thread whose effective user and group are 65534: on Linux each
/// thread has its own credentials, and the raw system calls change only the calling thread's.
bool asOtherUser(const std::function<bool()>& check) {
    return std::async(std::launch::async, [&] {
               return !::syscall(SYS_setresgid, -1, 65534, -1) && !::syscall(SYS_setresuid, -1, 65534, -1) && check();
           }).get();
}

TEST(CaptureDaemon, RefusesAndLogsPeersOfOtherUsers) {
    ASSERT_EQ(::geteuid(), 0u) << "run as root: only root can connect as another user (uid 65534)";
    LogCapture log;
    DaemonFixture daemon;
    EXPECT_TRUE(asOtherUser([&] {
        auto socket = UnixSocket::connect(daemon.socket);
        socket.sendAll(encodeFrame(GetVersionRequest{}), 1s);
        const auto got = readReplies(socket, 2s);
        return got.closed && got.onlyError() == ProtocolErrorCode::permissionDenied;
    }));
    EXPECT_TRUE(log.contains("Refused connection from uid 65534"));

    // The same user is served once allowed.
    DaemonFixture allowing([](auto& o) { o.extraAllowedUsers = {65534}; });
    const auto served = [&] { return CaptureDaemonClient(allowing.socket, 1s).getVersion().get() == projectVersion(); };
    EXPECT_TRUE(asOtherUser(served));
}

}  // namespace
}  // namespace qor::test
