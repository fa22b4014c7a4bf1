// The server's lifetime: a lock count that follows the clients, and a watch that ends the
// server when it has stayed idle at lock count 0 for the idle time. The watch is a monitor
// thread, or a timer of the host's own event loop where every lock and unlock happens on the
// loop's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace merel {

class Lifetime {
  public:
    using Millis = std::chrono::milliseconds;

    // `quit` runs on the monitor thread (or on the unlocking thread when shutdown is not
    // delayed) and must make the main loop end. The monitor keeps watching after it: a host
    // that finds a new lock taken before it could end carries on serving, and the monitor
    // quits again once the count has fallen to 0 and stayed there for the idle time.
    Lifetime(Millis idleTimeout, Millis pause, std::function<void()> quit);
    ~Lifetime();
    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;

    long Lock();
    long Unlock();
    long LockCount() const { return lockCount_.load(); }

    // Starts the monitor thread. Returns false when it cannot be started.
    bool StartMonitor();
    // Instead of the monitor thread: `arm` (re)starts the host's one-shot timer for the given
    // time, counted from now, and the host calls IdleTimeElapsed when it fires. Every fall to 0
    // arms it afresh, as every fall restarts the monitor's wait. Only for a host that locks and
    // unlocks on the thread that runs the timer.
    void UseIdleTimer(std::function<void(Millis)> arm);
    void IdleTimeElapsed();
    // Quit through the monitor (true, the default) or at once when the count reaches 0.
    void SetDelayShutdown(bool delay) { delayShutdown_ = delay; }
    bool DelayShutdown() const { return delayShutdown_; }
    Millis PauseAfterRevoke() const { return pause_; }
    // Sleeps the pause when shutdown is delayed, so that calls in progress can finish.
    void PauseBeforeExit() const;

  private:
    void Monitor();
    void Signal();

    const Millis idleTimeout_;
    const Millis pause_;
    std::function<void()> quit_;
    std::function<void(Millis)> armIdleTimer_;
    std::atomic<long> lockCount_{0};
    std::atomic<bool> activity_{false};
    bool delayShutdown_ = true;

    // The auto-reset shutdown event.
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
    bool stopping_ = false;
    std::thread monitor_;
};

}  // namespace merel
