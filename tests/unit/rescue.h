// Frees a stalled line if a test is still running after a while, so that a write which ignores
// its limit fails the test instead of hanging it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace merel::test {

class Rescue {
  public:
    explicit Rescue(std::function<void()> free)
        : thread_([this, free = std::move(free)] {
              std::unique_lock lock(mutex_);
              if (!done_.wait_for(lock, std::chrono::seconds(15), [this] { return over_; })) {
                  free();
              }
          }) {}
    ~Rescue() {
        {
            std::lock_guard lock(mutex_);
            over_ = true;
        }
        done_.notify_all();
        thread_.join();
    }
    Rescue(const Rescue&) = delete;
    Rescue& operator=(const Rescue&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool over_ = false;
    std::thread thread_;  // last: it starts with the members above in place
};

}  // namespace merel::test
