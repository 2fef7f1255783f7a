#include "ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

extern char** environ;

namespace qor {
namespace {

/// Closes both ends it holds when it goes away.
struct Pipe {
    int fds[2] = {-1, -1};
    bool open() { return ::pipe2(fds, O_CLOEXEC) == 0; }
    void closeEnd(int which) {
        if (fds[which] >= 0) ::close(fds[which]);
        fds[which] = -1;
    }
    ~Pipe() {
        closeEnd(0);
        closeEnd(1);
    }
};

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

}  // namespace

ChildProcessResult runChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                                   std::chrono::milliseconds timeout, std::size_t outputLimit) {
    ChildProcessResult result;
    Pipe out, err;
    if (!out.open() || !err.open()) {
        result.startError = errno;
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.fds[1], STDERR_FILENO);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        result.startError = rc;
        return result;
    }
    result.started = true;
    out.closeEnd(1);
    err.closeEnd(1);

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::array<std::string*, 2> sinks{&result.standardOutput, &result.standardError};
    std::array<pollfd, 2> fds{pollfd{out.fds[0], POLLIN, 0}, pollfd{err.fds[0], POLLIN, 0}};
    char buffer[4096];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            break;
        }
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fds[i].fd = -1;  // end of output; the pipe itself is closed with `out`/`err`
                continue;
            }
            auto& sink = *sinks[i];
            if (sink.size() < outputLimit) sink.append(buffer, std::min<std::size_t>(n, outputLimit - sink.size()));
        }
    }
    // The outputs are closed, yet the program may linger: it still gets until the deadline.
    int waitStatus = 0;
    for (;;) {
        if (!result.timedOut) {
            const pid_t done = ::waitpid(pid, &waitStatus, WNOHANG);
            if (done == pid) break;
            if (done < 0 && errno != EINTR) break;
            if (std::chrono::steady_clock::now() < deadline) {
                ::usleep(2000);
                continue;
            }
            result.timedOut = true;
        }
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
        }
        break;
    }
    result.exitStatus = statusOf(waitStatus);
    return result;
}

}  // namespace qor
