#include "host/lifetime/lifetime.h"

#include <utility>

namespace merel {

Lifetime::Lifetime(Millis idleTimeout, Millis pause, std::function<void()> quit)
    : idleTimeout_(idleTimeout), pause_(pause), quit_(std::move(quit)) {}

Lifetime::~Lifetime() {
    if (monitor_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_all();
        monitor_.join();
    }
}

long Lifetime::Lock() {
    return ++lockCount_;
}

long Lifetime::Unlock() {
    const long count = --lockCount_;
    if (count == 0) {
        if (!delayShutdown_) {
            quit_();
        } else if (armIdleTimer_) {
            armIdleTimer_(idleTimeout_);
        } else {
            activity_ = true;
            Signal();
        }
    }
    return count;
}

bool Lifetime::StartMonitor() {
    try {
        monitor_ = std::thread([this] { Monitor(); });
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void Lifetime::UseIdleTimer(std::function<void(Millis)> arm) {
    armIdleTimer_ = std::move(arm);
}

void Lifetime::IdleTimeElapsed() {
    // A client that came and is still here keeps the server; its leaving arms the timer again.
    if (lockCount_ == 0) quit_();
}

void Lifetime::PauseBeforeExit() const {
    if (delayShutdown_) std::this_thread::sleep_for(pause_);
}

void Lifetime::Signal() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    cv_.notify_all();
}

void Lifetime::Monitor() {
    std::unique_lock lock(mutex_);
    for (;;) {
        // Wait without limit until the count falls to 0.
        cv_.wait(lock, [this] { return signalled_ || stopping_; });
        if (stopping_) return;
        signalled_ = false;
        // Every new fall to 0 within the idle time starts the wait again.
        bool timedOut = false;
        while (!timedOut) {
            activity_ = false;
            timedOut =
                !cv_.wait_for(lock, idleTimeout_, [this] { return signalled_ || stopping_; });
            if (stopping_) return;
            signalled_ = false;
        }
        if (!activity_ && lockCount_ == 0) {
            lock.unlock();
            quit_();
            lock.lock();
        }
    }
}

}  // namespace merel
