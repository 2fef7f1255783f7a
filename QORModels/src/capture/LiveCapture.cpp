#include "QORModels/capture/LiveCapture.hpp"

#include <pcap/pcap.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "QORModels/capturefilter/BPFFilterValidator.hpp"

namespace qor::capture {

struct LiveCapture::Handle {
    pcap_t* pcap = nullptr;
    ~Handle() {
        if (pcap) pcap_close(pcap);
    }
};

namespace {

using Clock = std::chrono::steady_clock;

/// The kind of failure a pcap_activate status stands for.
LiveCaptureError::Kind activationKind(int status) {
    switch (status) {
    case PCAP_ERROR_PERM_DENIED:
#ifdef PCAP_ERROR_PROMISC_PERM_DENIED
    case PCAP_ERROR_PROMISC_PERM_DENIED:
#endif
        return LiveCaptureError::Kind::permissionDenied;
    case PCAP_ERROR_NO_SUCH_DEVICE: return LiveCaptureError::Kind::noSuchDevice;
    default: return LiveCaptureError::Kind::failed;
    }
}

std::string activationMessage(pcap_t* pcap, const std::string& interface, int status) {
    const char* detail = pcap_geterr(pcap);
    std::string message = interface + ": " + pcap_statustostr(status);
    if (detail && *detail) message += " (" + std::string(detail) + ")";
    return message;
}

struct DispatchState {
    const LiveCapture::PacketHandler* handler;
    pcap_t* pcap;
    std::uint64_t* delivered;
    std::uint64_t limit;  // 0: none
    bool stop = false;
};

void onPacket(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    auto* state = reinterpret_cast<DispatchState*>(user);
    if (state->stop) return;
    CapturedPacket packet;
    packet.timestampMicros = static_cast<std::uint64_t>(header->ts.tv_sec) * 1'000'000u +
                             static_cast<std::uint64_t>(header->ts.tv_usec);
    packet.originalLength = header->len;
    packet.bytes = {reinterpret_cast<const std::byte*>(bytes), header->caplen};
    ++*state->delivered;
    const bool more = (*state->handler)(packet);
    if (!more || (state->limit != 0 && *state->delivered >= state->limit)) {
        state->stop = true;
        pcap_breakloop(state->pcap);
    }
}

}  // namespace

LiveCaptureOptions liveCaptureOptions(const StartCaptureRequest& request) {
    LiveCaptureOptions options;
    options.interface = request.interface;
    options.filter = request.filter;
    options.snapLength = request.snapLength;
    options.promiscuous = request.promiscuous;
    options.maxPackets = request.maxPackets;
    options.durationMillis = request.durationMillis;
    return options;
}

LiveCapture::LiveCapture(std::unique_ptr<Handle> handle, LiveCaptureOptions options, std::string warning)
    : handle_(std::move(handle)), options_(std::move(options)), warning_(std::move(warning)) {
    stopFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

LiveCapture::~LiveCapture() {
    if (stopFd_ >= 0) ::close(stopFd_);
}

std::unique_ptr<LiveCapture> LiveCapture::open(const LiveCaptureOptions& requested) {
    LiveCaptureOptions options = requested;
    if (options.snapLength == 0) options.snapLength = kDefaultSnapLength;
    if (options.snapLength > kMaxSnapLength) {
        throw LiveCaptureError(LiveCaptureError::Kind::failed,
                               "snapshot length above " + std::to_string(kMaxSnapLength) + " bytes");
    }
    const auto verdict = BPFFilterValidator::validate(options.filter);
    if (verdict.isInvalid()) throw LiveCaptureError(LiveCaptureError::Kind::invalidFilter, verdict.message());

    char errbuf[PCAP_ERRBUF_SIZE] = {};
    auto handle = std::make_unique<Handle>();
    handle->pcap = pcap_create(options.interface.c_str(), errbuf);
    if (!handle->pcap) throw LiveCaptureError(LiveCaptureError::Kind::failed, options.interface + ": " + errbuf);
    pcap_t* pcap = handle->pcap;
    pcap_set_snaplen(pcap, static_cast<int>(options.snapLength));
    pcap_set_promisc(pcap, options.promiscuous ? 1 : 0);
    pcap_set_immediate_mode(pcap, 0);
    pcap_set_buffer_size(pcap, options.bufferBytes);
    pcap_set_timeout(pcap, 100);
    const int status = pcap_activate(pcap);
    std::string warning;
    if (status < 0) throw LiveCaptureError(activationKind(status), activationMessage(pcap, options.interface, status));
    if (status > 0) warning = activationMessage(pcap, options.interface, status);

    if (verdict.isValid()) {
        bpf_program program{};
        if (pcap_compile(pcap, &program, options.filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
            throw LiveCaptureError(LiveCaptureError::Kind::invalidFilter, pcap_geterr(pcap));
        }
        const int set = pcap_setfilter(pcap, &program);
        pcap_freecode(&program);
        if (set != 0) throw LiveCaptureError(LiveCaptureError::Kind::failed, pcap_geterr(pcap));
    }
    if (pcap_setnonblock(pcap, 1, errbuf) != 0) throw LiveCaptureError(LiveCaptureError::Kind::failed, errbuf);
    if (pcap_get_selectable_fd(pcap) < 0) {
        throw LiveCaptureError(LiveCaptureError::Kind::failed, options.interface + ": cannot be waited on");
    }
    return std::unique_ptr<LiveCapture>(new LiveCapture(std::move(handle), std::move(options), std::move(warning)));
}

std::uint32_t LiveCapture::linkType() const { return static_cast<std::uint32_t>(pcap_datalink(handle_->pcap)); }

std::uint32_t LiveCapture::snapLength() const { return static_cast<std::uint32_t>(pcap_snapshot(handle_->pcap)); }

void LiveCapture::requestStop() noexcept {
    stopRequested_.store(true, std::memory_order_relaxed);
    if (stopFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one);
    }
}

CaptureCounters LiveCapture::counters() const {
    CaptureCounters c;
    c.delivered = delivered_;
    pcap_stat stats{};
    if (pcap_stats(handle_->pcap, &stats) == 0) {
        c.received = stats.ps_recv;
        c.dropped = stats.ps_drop;
        c.interfaceDropped = stats.ps_ifdrop;
    }
    return c;
}

CaptureOutcome LiveCapture::run(const Hooks& hooks) {
    pcap_t* pcap = handle_->pcap;
    const int captureFd = pcap_get_selectable_fd(pcap);
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(options_.durationMillis);
    auto nextTick = start + std::chrono::milliseconds(hooks.tickMillis);

    std::vector<pollfd> fds;
    fds.push_back({captureFd, POLLIN, 0});
    if (stopFd_ >= 0) fds.push_back({stopFd_, POLLIN, 0});
    const std::size_t firstWatch = fds.size();
    for (const auto& watch : hooks.watches) fds.push_back({watch.fd, POLLIN, 0});

    DispatchState state{&hooks.onPacket, pcap, &delivered_, options_.maxPackets};
    auto finish = [&](CaptureEndReason reason, std::string detail = {}) {
        return CaptureOutcome{reason, std::move(detail), counters()};
    };

    for (;;) {
        if (stopRequested_.load(std::memory_order_relaxed)) return finish(CaptureEndReason::stopped);
        const auto now = Clock::now();
        if (options_.durationMillis != 0 && now >= deadline) return finish(CaptureEndReason::durationReached);

        // Wait for packets, a stop, a watched descriptor, the next tick or the deadline.
        auto wake = nextTick;
        if (options_.durationMillis != 0) wake = std::min(wake, deadline);
        const auto waitMillis = std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1);
        for (auto& fd : fds) fd.revents = 0;
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(waitMillis, 1000)));
        if (ready < 0 && errno != EINTR) return finish(CaptureEndReason::failed, std::strerror(errno));

        for (std::size_t i = firstWatch; ready > 0 && i < fds.size(); ++i) {
            if (fds[i].revents != 0 && !hooks.watches[i - firstWatch].onReadable()) {
                return finish(CaptureEndReason::stopped);
            }
        }
        if (ready > 0 || Clock::now() >= nextTick) {
            // Drain what the kernel holds; in non-blocking mode dispatch returns 0 when empty. An
            // interface that went away makes poll report an error and dispatch say why.
            for (;;) {
                const int n = pcap_dispatch(pcap, -1, onPacket, reinterpret_cast<u_char*>(&state));
                if (n == PCAP_ERROR_BREAK || state.stop) break;
                if (n < 0) return finish(CaptureEndReason::failed, pcap_geterr(pcap));
                if (n == 0) break;
                if (stopRequested_.load(std::memory_order_relaxed)) break;
            }
        }
        if (state.stop) {
            if (hooks.afterBatch) hooks.afterBatch();
            const bool countReached = options_.maxPackets != 0 && delivered_ >= options_.maxPackets;
            return finish(countReached ? CaptureEndReason::countReached : CaptureEndReason::stopped);
        }
        if (hooks.afterBatch && !hooks.afterBatch()) return finish(CaptureEndReason::stopped);
        if (Clock::now() >= nextTick) nextTick = Clock::now() + std::chrono::milliseconds(hooks.tickMillis);
    }
}

std::vector<InterfaceInfo> listCaptureInterfaces() {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* all = nullptr;
    if (pcap_findalldevs(&all, errbuf) != 0) throw LiveCaptureError(LiveCaptureError::Kind::failed, errbuf);
    std::vector<InterfaceInfo> interfaces;
    for (pcap_if_t* i = all; i; i = i->next) {
        interfaces.push_back({i->name ? i->name : "", i->description ? i->description : "", i->flags});
    }
    pcap_freealldevs(all);
    return interfaces;
}

}  // namespace qor::capture
