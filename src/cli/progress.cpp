#include "cli/progress.h"

#include <algorithm>
#include <ostream>

namespace merel::cli {

std::string ProgressLine(const std::string& what, int expectedSeconds, long long seconds) {
    std::string line = what + "... " + std::to_string(seconds) + " s";
    if (expectedSeconds <= 0) return line;
    line += " of about " + std::to_string(expectedSeconds) + " s";
    // The service carries out one call at a time, so a call waits behind other clients' sends.
    if (seconds > expectedSeconds) line += " (waiting behind other sends)";
    return line;
}

std::string ProgressLine(const std::string& what, int expectedSeconds, const std::string& later,
                         int laterFrom, long long seconds) {
    if (!later.empty() && seconds >= laterFrom) return ProgressLine(later, 0, seconds);
    return ProgressLine(what, expectedSeconds, seconds);
}

Progress::Progress(std::ostream& out, bool enabled) : out_(out) {
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

void Progress::Step(std::string what, int expectedSeconds, std::string later, int laterFrom) {
    {
        std::lock_guard lock(mutex_);
        what_ = std::move(what);
        expectedSeconds_ = expectedSeconds;
        later_ = std::move(later);
        laterFrom_ = laterFrom;
        stepStart_ = std::chrono::steady_clock::now();
        changed_ = true;
    }
    wake_.notify_one();
}

void Progress::Show() {
    using namespace std::chrono;
    std::size_t shown = 0;
    std::string last;
    std::unique_lock lock(mutex_);
    while (!done_) {
        wake_.wait_for(lock, milliseconds(100), [this] { return done_ || changed_; });
        if (done_) break;
        changed_ = false;
        if (what_.empty()) continue;
        const long long seconds =
            duration_cast<std::chrono::seconds>(steady_clock::now() - stepStart_).count();
        if (expectedSeconds_ <= 0 && seconds < 1) continue;
        const std::string text = ProgressLine(what_, expectedSeconds_, later_, laterFrom_, seconds);
        if (text == last) continue;
        // Blanks over what a longer line before left behind.
        out_ << "\r" << text << std::string(shown > text.size() ? shown - text.size() : 0, ' ')
             << std::flush;
        last = text;
        shown = std::max(shown, text.size());
    }
    if (shown) out_ << "\r" << std::string(shown, ' ') << "\r" << std::flush;
}

}  // namespace merel::cli
