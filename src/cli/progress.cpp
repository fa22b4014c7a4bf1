#include "cli/progress.h"

#include <chrono>
#include <cstdio>
#include <ostream>

namespace merel::cli {

Progress::Progress(std::ostream& out, bool enabled, std::string what, int expectedSeconds)
    : out_(out), what_(std::move(what)), expectedSeconds_(expectedSeconds) {
    if (enabled) thread_ = std::thread([this] { Show(); });
}

Progress::~Progress() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void Progress::Show() {
    using namespace std::chrono;
    const auto start = steady_clock::now();
    std::size_t shown = 0;
    long long lastSecond = -1;
    std::unique_lock lock(mutex_);
    while (!done_) {
        const long long seconds =
            duration_cast<std::chrono::seconds>(steady_clock::now() - start).count();
        if (seconds == lastSecond) {
            wake_.wait_for(lock, milliseconds(100), [this] { return done_; });
            continue;
        }
        lastSecond = seconds;
        char line[64];
        std::snprintf(line, sizeof line, " %lld s of about %d s", seconds, expectedSeconds_);
        const std::string text = what_ + "..." + line;
        shown = text.size();
        out_ << "\r" << text << std::flush;
    }
    out_ << "\r" << std::string(shown, ' ') << "\r" << std::flush;
}

}  // namespace merel::cli
