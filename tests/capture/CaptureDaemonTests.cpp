// The capture daemon's server in-process on a socket of its own: the requests, hostile clients,
// the peer-credential check and the client class over the socket.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <future>
#include <mutex>

#include "CaptureTestSupport.hpp"
#include "QORModels/capture/CaptureDaemonClient.hpp"
#include "QORModels/capture/CaptureDaemonEndpoint.hpp"

namespace qor::test {
namespace {

using namespace capture;
using namespace std::chrono_literals;

TEST(CaptureDaemon, AnswersTheServiceRequestsThroughTheClient) {
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

    // Several requests on one connection, answered in order.
    auto raw = rawClient(daemon.socket);
    std::vector<std::byte> requests;
    appendFrame(requests, GetVersionRequest{});
    appendFrame(requests, StopCaptureRequest{});  // outside a capture: an error, the connection stays
    appendFrame(requests, GetVersionRequest{});
    ASSERT_TRUE(raw.sendAll(requests, 1s));
    const auto got = replies(drain(raw, 300ms).bytes);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], Message(VersionReply{projectVersion()}));
    EXPECT_EQ(std::get<ErrorReply>(got[1]).code, ProtocolErrorCode::unexpected);
    EXPECT_EQ(got[2], Message(VersionReply{projectVersion()}));

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
    struct Case {
        const char* name;
        std::vector<std::byte> bytes;
        bool malformedReply;  // answered with a malformed error before the close
        const char* logged;
    };
    std::vector<Case> cases = {
        {"garbage", Bytes(true).raw("GET / HTTP/1.1\r\n\r\n").vector(), true, "malformed request"},
        {"1 GB length prefix", Bytes(true).u32(1u << 30).u8(0x05).vector(), true, "frame length 1073741824"},
        {"half a message", {}, false, "did not complete in time"},
        {"a reply sent as a request", encodeFrame(VersionReply{"9"}), true, "a reply sent as a request"},
        {"silent client", {}, false, "idle for too long"},
    };
    const auto start = encodeFrame(StartCaptureRequest{"lo", "", 0, 0, 0, false});
    cases[2].bytes.assign(start.begin(), start.begin() + 7);  // the length and a part of the body

    std::vector<UnixSocket> hostile;
    for (auto& c : cases) {
        hostile.push_back(rawClient(daemon.socket));
        if (!c.bytes.empty()) {
            ASSERT_TRUE(hostile.back().sendAll(c.bytes, 1s)) << c.name;
        }
    }
    // While they are connected, a well-behaved client is served at once.
    CaptureDaemonClient client(daemon.socket, 1s);
    EXPECT_EQ(client.getVersion().get(), projectVersion());

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto d = drain(hostile[i], 3s);
        EXPECT_TRUE(d.closed) << cases[i].name;
        const auto got = replies(d.bytes);
        if (cases[i].malformedReply) {
            ASSERT_EQ(got.size(), 1u) << cases[i].name;
            EXPECT_EQ(std::get<ErrorReply>(got[0]).code, ProtocolErrorCode::malformed) << cases[i].name;
        } else {
            EXPECT_TRUE(got.empty()) << cases[i].name;
        }
        EXPECT_TRUE(log.contains(cases[i].logged)) << cases[i].name;
    }
    EXPECT_EQ(client.getVersion().get(), projectVersion());
}

TEST(CaptureDaemon, RefusesClientsBeyondItsLimit) {
    auto options = DaemonFixture::shortTimeouts();
    options.maxClients = 2;
    options.idleTimeout = 5s;
    DaemonFixture daemon(options);
    auto a = rawClient(daemon.socket);
    auto b = rawClient(daemon.socket);
    // Wait until both are admitted.
    for (int i = 0; i < 200 && daemon.server->activeSessions() < 2; ++i) std::this_thread::sleep_for(5ms);
    auto c = rawClient(daemon.socket);
    const auto got = replies(drain(c, 2s).bytes);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::get<ErrorReply>(got[0]).code, ProtocolErrorCode::busy);
    a.close();
    for (int i = 0; i < 400 && daemon.server->activeSessions() > 1; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(CaptureDaemonClient(daemon.socket, 1s).getVersion().get(), projectVersion());
}

TEST(CaptureDaemon, RefusesAndLogsPeersOfOtherUsers) {
    // Another user's peer can only be made by a process that may change its user.
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user (uid 65534)";
    LogCapture log;
    DaemonFixture daemon;
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        try {
            auto socket = rawClient(daemon.socket);
            socket.sendAll(encodeFrame(GetVersionRequest{}), 1s);
            const auto d = drain(socket, 2s);
            const auto got = replies(d.bytes);
            const bool refused = d.closed && got.size() == 1 && std::holds_alternative<ErrorReply>(got[0]) &&
                                 std::get<ErrorReply>(got[0]).code == ProtocolErrorCode::permissionDenied;
            ::_exit(refused ? 0 : 1);
        } catch (...) {
            ::_exit(2);
        }
    }
    ::close(pipeFds[1]);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not refused, 2: could not connect, 3: could not change user";
    EXPECT_TRUE(log.contains("Refused connection from uid 65534"));

    // The same user is served once allowed.
    auto options = DaemonFixture::shortTimeouts();
    options.extraAllowedUsers = {65534};
    DaemonFixture allowing(options);
    const pid_t allowed = ::fork();
    if (allowed == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        try {
            ::_exit(CaptureDaemonClient(allowing.socket, 1s).getVersion().get() == projectVersion() ? 0 : 1);
        } catch (...) {
            ::_exit(2);
        }
    }
    ::waitpid(allowed, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(CaptureDaemon, RefusesBadCapturesWithTheirReason) {
    DaemonFixture daemon;
    CaptureDaemonClient client(daemon.socket, 2s);
    struct Case {
        StartCaptureRequest request;
        ProtocolErrorCode code;
    };
    for (const auto& c : {Case{{"lo", "port 99999", 0, 0, 0, false}, ProtocolErrorCode::invalidFilter},
                          Case{{"lo", "udp and and", 0, 0, 0, false}, ProtocolErrorCode::invalidFilter},
                          Case{{"no-such-interface0", "", 0, 0, 0, false},
                               canCaptureDirectly() ? ProtocolErrorCode::captureFailed
                                                    : ProtocolErrorCode::permissionDenied}}) {
        try {
            client.capture(c.request, {});
            ADD_FAILURE() << c.request.filter << " was accepted";
        } catch (const CaptureDaemonError& e) {
            EXPECT_EQ(e.code(), c.code) << c.request.interface << " " << c.request.filter << ": " << e.what();
        }
    }
}

}  // namespace
}  // namespace qor::test
