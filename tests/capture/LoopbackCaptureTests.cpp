// Real captures on the loopback: UDP datagrams sent to 127.0.0.1 are read back from the pcapng file
// qor writes, however it captures and ends. They need CAP_NET_RAW (root has it), failing without.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <ctime>
#include <thread>

#include "CaptureTestSupport.hpp"
#include "QORModels/capture/CaptureDaemonClient.hpp"
#include "QORModels/capture/CaptureDaemonEndpoint.hpp"
#include "QORModels/capture/LiveCapture.hpp"

namespace qor::test {
namespace {

using namespace capture;

constexpr const char* kNeedsCapture = "run as root or with CAP_NET_RAW: the test captures on the loopback";

TEST(LoopbackCapture, ADaemonDropsAClientThatStopsReadingAndServesTheNext) {
    ASSERT_TRUE(canCaptureDirectly()) << kNeedsCapture;
    LogCapture log;
    DaemonFixture daemon;
    LoopbackUdp udp;
    auto stalled = UnixSocket::connect(daemon.socket);
    ASSERT_TRUE(stalled.sendAll(encodeFrame(StartCaptureRequest{"lo", udp.filter(), 0, 0, 0, false}), 1s));
    // Fill the socket's buffers: the daemon's sends then wait and give up after sendTimeout.
    const auto end = std::chrono::steady_clock::now() + 3s;
    const auto burst = payloads(200, 1400);
    while (std::chrono::steady_clock::now() < end && !log.contains("stopped taking replies")) {
        for (const auto& p : burst) udp.send(p);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(log.contains("stopped taking replies"));
    EXPECT_EQ(CaptureDaemonClient(daemon.socket, 1s).getVersion().get(), projectVersion());
}

/// The qor tool capturing `-i lo` into dir/out.pcapng with extra arguments and its daemon socket
/// set to `socket`, in a child process whose standard error goes to dir/err.txt.
struct QorCapture {
    QorCapture(const TempDir& dir, const std::vector<std::string>& extra, const std::filesystem::path& socket)
        : file(dir.path / "out.pcapng"), err_(dir.path / "err.txt") {
        // Everything the child needs is made before the fork: the parent runs threads.
        std::vector<std::string> args = {"/usr/bin/env", "QOR_CAPTURED_SOCKET=" + socket.string(),
                                         std::string(QOR_BINARY_DIR) + "/bin/qor", "capture", "-i", "lo", "-w",
                                         file.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid = ::fork();
        if (pid != 0) return;
        ::dup2(::open("/dev/null", O_WRONLY), 1);
        ::dup2(::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ~QorCapture() {
        if (pid > 0) wait(0ms);
    }
    /// The exit status (-signal for a killed child), waiting at most `limit` (then killed).
    int wait(std::chrono::milliseconds limit = 30s) {
        int status = 0;
        for (const auto end = std::chrono::steady_clock::now() + limit; ::waitpid(pid, &status, WNOHANG) == 0;) {
            if (std::chrono::steady_clock::now() > end) ::kill(pid, SIGKILL);
            std::this_thread::sleep_for(10ms);
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    [[nodiscard]] std::string err() const { return readFile(err_).toString(); }
    const std::filesystem::path file, err_;
    pid_t pid = -1;
};

TEST(LoopbackCapture, QorWritesEveryDatagramHoweverTheCaptureEnds) {
    ASSERT_TRUE(canCaptureDirectly()) << kNeedsCapture;
    // How qor captures, and the option that ends the capture, or else the signal sent once every
    // datagram is on disk.
    for (const auto& [how, option, value, sig] : std::vector<std::tuple<const char*, const char*, const char*, int>>{
             {"--direct", "-c", "20", 0}, {"--via-daemon", "-c", "20", 0}, {"--direct", "-a", "duration:1", 0},
             {"--direct", nullptr, nullptr, SIGINT}, {"--via-daemon", nullptr, nullptr, SIGINT},
             {"--direct", nullptr, nullptr, SIGKILL}}) {
        SCOPED_TRACE(std::string(how) + " " + (option ? value : strsignal(sig)));
        TempDir dir;
        DaemonFixture daemon;
        LoopbackUdp udp;
        std::vector<std::string> args = {"-f", udp.filter(), how};
        if (option) args.insert(args.end(), {option, value});
        const auto begun = std::chrono::steady_clock::now();
        QorCapture qor(dir, args, daemon.socket);
        // The file exists once the capture runs.
        for (int i = 0; i < 1000 && !std::filesystem::exists(qor.file); ++i) std::this_thread::sleep_for(1ms);
        const auto sent = payloads(20, 64);
        for (const auto& p : sent) udp.send(p);
        // The datagrams written so far; none while the capture has made the file but not yet
        // written its header.
        auto written = [&]() -> std::size_t {
            try {
                return udpPayloads(qor.file).size();
            } catch (const std::exception&) {
                return 0;
            }
        };
        for (int i = 0; sig != 0 && i < 500 && written() < sent.size(); ++i) std::this_thread::sleep_for(10ms);
        if (sig != 0) ::kill(qor.pid, sig);
        EXPECT_EQ(qor.wait(), sig == SIGKILL ? -SIGKILL : 0) << qor.err();
        if (option && std::strcmp(option, "-a") == 0) { EXPECT_GE(std::chrono::steady_clock::now() - begun, 1s); }
        EXPECT_EQ(udpPayloads(qor.file), sent);
        const auto packets = readCapture(qor.file);
        ASSERT_FALSE(packets.empty());
        EXPECT_EQ(packets[0]->realLength(), 14u + 20 + 8 + 64);
        EXPECT_NEAR(packets[0]->dateReceived(), static_cast<double>(std::time(nullptr)), 60);
        if (sig == SIGKILL) continue;
        const std::string err = qor.err();
        EXPECT_NE(err.find("20 packets captured\n"), std::string::npos) << err;
        EXPECT_NE(err.find("\n0 packets dropped by kernel\n"), std::string::npos) << err;
    }
}

TEST(LoopbackCapture, QorRefusesAnInvalidFilterWithOneLineAndNoFile) {
    // The filter is checked before any interface is opened: no capability needed.
    for (const char* how : {"--direct", "--via-daemon"}) {
        TempDir dir;
        QorCapture qor(dir, {"-f", "udp port and", how}, dir.path / "none.sock");
        EXPECT_EQ(qor.wait(), 2) << how;
        const std::string err = qor.err();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(err.rfind("qor: invalid capture filter: ", 0), 0u) << err;
        EXPECT_FALSE(std::filesystem::exists(qor.file)) << how;
    }
}

}  // namespace
}  // namespace qor::test
