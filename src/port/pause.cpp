#include "port/pause.h"

#include <chrono>
#include <thread>

namespace merel {

namespace {

class ThreadSleepPause : public Pause {
  public:
    void Sleep(std::uint32_t milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

}  // namespace

Pause& SystemPause() {
    static ThreadSleepPause pause;
    return pause;
}

}  // namespace merel
