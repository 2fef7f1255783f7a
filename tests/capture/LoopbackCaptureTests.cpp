// Real captures on the loopback interface: UDP datagrams sent to 127.0.0.1 are read back from the
// pcapng file written, with the library's reader, whether the capture runs in this process,
// through the daemon, or in the qor tool (interrupted, killed or stopped by its count).
//
// They need CAP_NET_RAW (root has it); without it each says so and is skipped.

#include <gtest/gtest.h>

#include <future>

#include "CaptureTestSupport.hpp"
#include "QORModels/capture/CaptureDaemonClient.hpp"
#include "QORModels/capture/CaptureDaemonEndpoint.hpp"
#include "QORModels/capture/LiveCapture.hpp"
#include "QORModels/packets/PcapngFileWriter.hpp"
#include "writing/WritingSupport.hpp"

namespace qor::test {
namespace {

using namespace capture;
using namespace std::chrono_literals;

#define REQUIRE_CAPTURE() \
    if (!mayCapture()) GTEST_SKIP() << "this process lacks CAP_NET_RAW and cannot capture on the loopback"

std::vector<std::string> expectedPayloads(int count, std::size_t size = 0) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.push_back(payload(i, size));
    return out;
}

/// Sends the payloads once `ready()` says the capture is listening (or after a second).
void sendWhenReady(const LoopbackUdp& udp, const std::vector<std::string>& payloads, const std::function<bool()>& ready) {
    for (int i = 0; i < 1000 && !ready(); ++i) std::this_thread::sleep_for(1ms);
    for (const auto& p : payloads) udp.send(p);
}

TEST(LoopbackCapture, InProcessCaptureWritesEveryDatagramAsItArrives) {
    REQUIRE_CAPTURE();
    TempDir dir;
    LoopbackUdp udp;
    LiveCaptureOptions options;
    options.interface = "lo";
    options.filter = "udp port " + std::to_string(udp.port());
    options.maxPackets = 50;
    auto capture = LiveCapture::open(options);
    EXPECT_EQ(capture->linkType(), 1u);  // the loopback is Ethernet-framed on Linux
    const auto file = dir.path / "lo.pcapng";
    PcapngFileWriter writer(file, {capture->linkType(), capture->snapLength(), "lo", "loopback test"});
    std::vector<std::string> seenMidway;
    LiveCapture::Hooks hooks;
    hooks.onPacket = [&](const CapturedPacket& p) {
        writer.writePacket(p.timestampMicros, p.bytes, p.originalLength);
        // The file is readable after each packet, holding all of them so far.
        if (writer.packetsWritten() == 25) seenMidway = udpPayloads(file);
        return true;
    };
    const auto payloads = expectedPayloads(50, 100);
    auto sender = std::async(std::launch::async, [&] { sendWhenReady(udp, payloads, [] { return true; }); });
    const auto outcome = capture->run(hooks);
    sender.get();
    writer.close();
    EXPECT_EQ(outcome.reason, CaptureEndReason::countReached);
    EXPECT_EQ(outcome.counters.delivered, 50u);
    EXPECT_EQ(outcome.counters.dropped, 0u);
    EXPECT_EQ(udpPayloads(file), payloads);
    EXPECT_EQ(seenMidway, std::vector<std::string>(payloads.begin(), payloads.begin() + 25));
    const auto packets = readCapture(file);
    ASSERT_EQ(packets.size(), 50u);
    EXPECT_EQ(packets[0]->realLength(), 14u + 20 + 8 + 100);
    EXPECT_NEAR(packets[0]->dateReceived(), static_cast<double>(std::time(nullptr)), 60);
}

TEST(LoopbackCapture, DurationAndStopEndACaptureWithNothingMatching) {
    REQUIRE_CAPTURE();
    LiveCaptureOptions options;
    options.interface = "lo";
    options.filter = "udp port 9";  // nothing is sent there
    options.durationMillis = 300;
    auto capture = LiveCapture::open(options);
    const auto begun = std::chrono::steady_clock::now();
    auto outcome = capture->run({[](const CapturedPacket&) { return true; }, {}, {}, 50});
    EXPECT_EQ(outcome.reason, CaptureEndReason::durationReached);
    EXPECT_GE(std::chrono::steady_clock::now() - begun, 300ms);

    options.durationMillis = 0;
    capture = LiveCapture::open(options);
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        capture->requestStop();
    });
    outcome = capture->run({[](const CapturedPacket&) { return true; }, {}, {}, 10'000});
    stopper.join();
    EXPECT_EQ(outcome.reason, CaptureEndReason::stopped);
}

TEST(LoopbackCapture, ThroughTheDaemonTheClientReceivesEveryDatagram) {
    REQUIRE_CAPTURE();
    DaemonFixture daemon;
    LoopbackUdp udp;
    CaptureDaemonClient client(daemon.socket, 2s);
    const auto payloads = expectedPayloads(40);
    std::atomic<bool> started{false};
    std::vector<std::string> got;
    CaptureDaemonClient::CaptureHandlers handlers;
    handlers.onStarted = [&](const CaptureStartedReply& s) {
        EXPECT_EQ(s.linkType, 1u);
        EXPECT_EQ(s.snapLength, 128u);
        started = true;
    };
    handlers.onPacket = [&](const PacketReply& p) {
        got.emplace_back(reinterpret_cast<const char*>(p.bytes.data()) + 42, p.bytes.size() - 42);
        return true;
    };
    auto sender = std::async(std::launch::async, [&] { sendWhenReady(udp, payloads, [&] { return started.load(); }); });
    const auto ended =
        client.capture({"lo", "udp port " + std::to_string(udp.port()), 128, 40, 10'000, false}, handlers);
    sender.get();
    EXPECT_EQ(ended.reason, CaptureEndReason::countReached);
    EXPECT_EQ(ended.counters.delivered, 40u);
    EXPECT_EQ(got, payloads);

    // A stop from the client ends an open-ended capture with its counters.
    std::atomic<bool> stop{false};
    handlers.onStarted = [&](const CaptureStartedReply&) { stop = true; };
    const auto stopped = client.capture({"lo", "udp port 9", 0, 0, 0, false}, handlers, &stop);
    EXPECT_EQ(stopped.reason, CaptureEndReason::stopped);
}

TEST(LoopbackCapture, ADaemonDropsAClientThatStopsReadingAndServesTheNext) {
    REQUIRE_CAPTURE();
    LogCapture guard;
    DaemonFixture daemon;
    LoopbackUdp udp;
    auto stalled = rawClient(daemon.socket);
    ASSERT_TRUE(stalled.sendAll(encodeFrame(StartCaptureRequest{"lo", "udp port " + std::to_string(udp.port()), 0, 0,
                                                                0, false}),
                                1s));
    // Fill the socket's buffers: the daemon's sends then wait and give up after sendTimeout.
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < end && !guard.contains("stopped taking replies")) {
        for (int i = 0; i < 200; ++i) udp.send(payload(i, 1400));
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(guard.contains("stopped taking replies"));
    EXPECT_EQ(CaptureDaemonClient(daemon.socket, 1s).getVersion().get(), projectVersion());
}

/// The qor tool, capturing `-i lo` into dir/out.pcapng with extra arguments.
struct QorCapture {
    QorCapture(const TempDir& dir, std::vector<std::string> extra, std::vector<std::string> env = {})
        : file(dir.path / "out.pcapng") {
        std::vector<std::string> args = {"capture", "-i", "lo", "-w", file.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        child = std::make_unique<Child>("qor", args, env, dir.path);
    }
    std::filesystem::path file;
    std::unique_ptr<Child> child;
};

/// Sends the payloads after the capture has written its header (the file exists).
void sendOnceWriting(const LoopbackUdp& udp, const std::vector<std::string>& payloads, const std::filesystem::path& file) {
    sendWhenReady(udp, payloads, [&] { return std::filesystem::exists(file) && std::filesystem::file_size(file) > 0; });
}

TEST(LoopbackCapture, QorCapturesDirectlyAndThroughTheDaemon) {
    REQUIRE_CAPTURE();
    for (const bool viaDaemon : {false, true}) {
        SCOPED_TRACE(viaDaemon ? "through the daemon" : "directly");
        TempDir dir;
        DaemonFixture daemon;
        LoopbackUdp udp;
        QorCapture qor(dir, {"-f", "udp port " + std::to_string(udp.port()), "-c", "30", viaDaemon ? "--via-daemon" : "--direct"},
                       {"QOR_CAPTURED_SOCKET=" + daemon.socket.string()});
        const auto payloads = expectedPayloads(30, 64);
        sendOnceWriting(udp, payloads, qor.file);
        EXPECT_EQ(qor.child->wait(), 0) << qor.child->err();
        EXPECT_EQ(udpPayloads(qor.file), payloads);
        const std::string err = qor.child->err();
        EXPECT_NE(err.find("30 packets captured\n"), std::string::npos) << err;
        EXPECT_NE(err.find("packets dropped by kernel"), std::string::npos) << err;
    }
}

TEST(LoopbackCapture, AnInterruptedOrKilledQorLeavesAReadableFile) {
    REQUIRE_CAPTURE();
    for (const int sig : {SIGINT, SIGKILL}) {
        SCOPED_TRACE(sig == SIGINT ? "SIGINT" : "SIGKILL");
        TempDir dir;
        LoopbackUdp udp;
        QorCapture qor(dir, {"-f", "udp port " + std::to_string(udp.port()), "--direct"});
        const auto payloads = expectedPayloads(20);
        sendOnceWriting(udp, payloads, qor.file);
        // Wait until every datagram is on disk, then interrupt.
        for (int i = 0; i < 500 && udpPayloads(qor.file).size() < payloads.size(); ++i) std::this_thread::sleep_for(10ms);
        qor.child->signal(sig);
        const int status = qor.child->wait();
        EXPECT_EQ(status, sig == SIGINT ? 0 : -SIGKILL) << qor.child->err();
        EXPECT_EQ(udpPayloads(qor.file), payloads);
        if (sig == SIGINT) {
            EXPECT_NE(qor.child->err().find("20 packets captured"), std::string::npos) << qor.child->err();
        }
    }
}

TEST(LoopbackCapture, QorRefusesAnInvalidFilterWithOneLineAndNoFile) {
    // The filter is checked before any interface is opened: no capability needed.
    for (const char* how : {"--direct", "--via-daemon"}) {
        TempDir dir;
        QorCapture qor(dir, {"-f", "udp port and", how}, {"QOR_CAPTURED_SOCKET=" + (dir.path / "none.sock").string()});
        EXPECT_EQ(qor.child->wait(), 2) << how;
        const std::string err = qor.child->err();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(err.rfind("qor: invalid capture filter: ", 0), 0u) << err;
        EXPECT_FALSE(std::filesystem::exists(qor.file)) << how;
    }
}

}  // namespace
}  // namespace qor::test
