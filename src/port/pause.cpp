#include "port/pause.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace merel {

namespace {

class ThreadSleepPause : public Pause {
  public:
    void Sleep(std::uint32_t milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    void Listen(std::uint32_t milliseconds, const std::function<bool()>& listen) override {
        // Short slices, so that an answer is read within a few milliseconds of its arrival;
        // the end is measured by the clock, so the whole wait is as long as a sleep's.
        constexpr auto kSlice = std::chrono::milliseconds(10);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            if (listen()) return;
            const auto now = std::chrono::steady_clock::now();
            if (now >= end) return;
            std::this_thread::sleep_for(
                std::min<std::chrono::steady_clock::duration>(kSlice, end - now));
        }
    }
};

}  // namespace

Pause& SystemPause() {
    static ThreadSleepPause pause;
    return pause;
}

}  // namespace merel
