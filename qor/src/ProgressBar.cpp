#include "ProgressBar.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace qor::cli {

namespace {
constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr double kMegabyte = 1024.0 * 1024.0;
}  // namespace

ProgressBar::ProgressBar(std::uint64_t totalBytes, bool enabled, std::string label)
    : total_(totalBytes), enabled_(enabled), label_(std::move(label)) {}

ProgressBar::~ProgressBar() { finish(); }

bool ProgressBar::standardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void ProgressBar::update(std::uint64_t doneBytes) {
    if (!enabled_) return;
    done_ = total_ ? std::min(doneBytes, total_) : doneBytes;
    const int permille = total_ ? static_cast<int>(done_ * 1000 / total_) : -1;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_) {
        if (total_ && permille == lastPermille_) return;                 // nothing visible changed
        if (permille != 1000 && now - lastDraw_ < kRedrawInterval) return;  // too soon
    }
    lastPermille_ = permille;
    lastDraw_ = now;
    draw();
}

void ProgressBar::draw() {
    auto megabytes = [](std::uint64_t n) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", static_cast<double>(n) / kMegabyte);
        return std::string(text);
    };
    const std::string shown = (total_ ? megabytes(done_) + " / " + megabytes(total_) : megabytes(done_)) + " MB";
    char line[160];
    const char* gap = label_.empty() ? "" : " ";
    if (total_) {
        const int filled = static_cast<int>(done_ * kBarWidth / total_);
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(kBarWidth - filled), '.');
        std::snprintf(line, sizeof line, "%s%s[%s] %3d%%  %s", label_.c_str(), gap, bar.c_str(),
                      static_cast<int>(done_ * 100 / total_), shown.c_str());
    } else {
        std::snprintf(line, sizeof line, "%s%s%s", label_.c_str(), gap, shown.c_str());
    }
    std::fprintf(stderr, "\r\x1b[2K%s", line);
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressBar::finish() {
    if (!enabled_) return;
    if (drawn_) {
        std::fputs("\r\x1b[2K", stderr);
        std::fflush(stderr);
    }
    enabled_ = false;
}

}  // namespace qor::cli
