#include "CaptureTestSupport.hpp"

#include <fcntl.h>

#include <fstream>
#include <sstream>

#include "QORLog/QORLog.hpp"
#include "QORModels/capture/CaptureDaemonEndpoint.hpp"
#include "writing/WritingSupport.hpp"

namespace qor::test {

std::vector<std::string> udpPayloads(const std::filesystem::path& file) {
    std::vector<std::string> out;
    for (const auto& packet : readCapture(file)) {
        const auto data = packet->data();
        if (!data || data->size() < 14 + 20 + 8) continue;
        const auto* b = reinterpret_cast<const unsigned char*>(data->data());
        if (b[12] != 0x08 || b[13] != 0x00 || b[14 + 9] != 17) continue;  // IPv4, UDP
        const std::size_t ihl = (b[14] & 0x0F) * 4u;
        const std::size_t start = 14 + ihl + 8;
        if (start > data->size()) continue;
        out.emplace_back(reinterpret_cast<const char*>(b + start), data->size() - start);
    }
    return out;
}

Drained drain(capture::UnixSocket& socket, std::chrono::milliseconds limit) {
    Drained d;
    const auto end = std::chrono::steady_clock::now() + limit;
    std::vector<std::byte> buffer(65536);
    while (std::chrono::steady_clock::now() < end) {
        std::size_t n = 0;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        const auto status = socket.receive(buffer, std::max(left, std::chrono::milliseconds(1)), n);
        if (status == capture::UnixSocket::Status::data) {
            d.bytes.insert(d.bytes.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
        } else if (status != capture::UnixSocket::Status::timedOut) {
            d.closed = true;
            break;
        }
    }
    return d;
}

std::vector<capture::Message> replies(const std::vector<std::byte>& bytes) {
    capture::FrameReader reader(capture::kMaxReplyFrame);
    reader.append(bytes);
    std::vector<capture::Message> out;
    while (auto m = reader.next()) out.push_back(std::move(*m));
    return out;
}

captured::CaptureDaemonOptions DaemonFixture::shortTimeouts() {
    captured::CaptureDaemonOptions o;
    o.messageTimeout = std::chrono::milliseconds(300);
    o.idleTimeout = std::chrono::milliseconds(800);
    o.sendTimeout = std::chrono::milliseconds(500);
    o.maxClients = 8;
    return o;
}

DaemonFixture::DaemonFixture(captured::CaptureDaemonOptions options) {
    // Refused peers run as another user: they must be able to reach the socket's folder.
    std::filesystem::permissions(dir.path, std::filesystem::perms::all);
    socket = dir.path / "captured.sock";
    options.socketPath = socket;
    server = std::make_unique<captured::CaptureDaemonServer>(options);
    server->start();
}

Child::Child(const std::string& tool, const std::vector<std::string>& args, const std::vector<std::string>& env,
             const std::filesystem::path& dir)
    : dir_(dir) {
    const std::string path = std::string(QOR_BINARY_DIR) + "/bin/" + tool;
    pid_ = ::fork();
    if (pid_ == 0) {
        const int out = ::open((dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open((dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
}

Child::~Child() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

int Child::wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

std::string Child::err() const { return readFile(dir_ / "err.txt").toString(); }

LogCapture::LogCapture() {
    setLogSink([this](const LogLine& line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(line.message);
    });
}

LogCapture::~LogCapture() { setLogSink({}); }

bool LogCapture::contains(const std::string& text) {
    std::lock_guard lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(), [&](const auto& l) { return l.find(text) != std::string::npos; });
}

bool mayCapture() { return capture::canCaptureDirectly(); }

}  // namespace qor::test
