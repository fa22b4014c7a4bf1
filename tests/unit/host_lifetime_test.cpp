// The server lifetime with short timeouts: the monitor ends the server once it has stayed idle
// at lock count 0 for the idle time, and a client arriving within that time restarts the wait.
// The waits here are bounded waits for the quit call, never bare sleeps.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "host/lifetime/lifetime.h"

namespace merel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kIdle{150};
// Far above the idle time, so that a slow machine does not fail a test that should pass.
constexpr milliseconds kGenerous{5000};

// Records when the quit call came (once).
struct QuitProbe {
    std::promise<Clock::time_point> promise;
    std::future<Clock::time_point> future = promise.get_future();
    std::atomic<int> calls{0};
    std::function<void()> Callback() {
        return [this] {
            if (calls.fetch_add(1) == 0) promise.set_value(Clock::now());
        };
    }
    bool QuitWithin(milliseconds wait) {
        return future.wait_for(wait) == std::future_status::ready;
    }
};

TEST(LifetimeLockCount, FollowsLocksAndUnlocks) {
    for (bool delay : {true, false}) {
        QuitProbe probe;
        Lifetime lifetime(kGenerous, milliseconds(0), probe.Callback());
        lifetime.SetDelayShutdown(delay);
        EXPECT_EQ(lifetime.Lock(), 1);
        EXPECT_EQ(lifetime.Lock(), 2);
        EXPECT_EQ(lifetime.Unlock(), 1);
        EXPECT_EQ(lifetime.LockCount(), 1);
        EXPECT_EQ(probe.calls.load(), 0);
        EXPECT_EQ(lifetime.Unlock(), 0);
        // With no monitor running a delayed shutdown never quits; without the delay the last
        // unlock quits at once, on the unlocking thread.
        EXPECT_EQ(probe.calls.load(), delay ? 0 : 1);
    }
}

// A running monitor with the short idle time.
class LifetimeMonitor : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(lifetime.StartMonitor()); }
    // The last client leaves; the server must quit, but not before the idle time has passed.
    void ExpectQuitIdleTimeAfterLastUnlock() {
        const auto released = Clock::now();
        lifetime.Unlock();
        ASSERT_TRUE(probe.QuitWithin(kGenerous));
        EXPECT_GE(probe.future.get() - released, kIdle);
        EXPECT_EQ(probe.calls.load(), 1);
    }

    QuitProbe probe;
    Lifetime lifetime{kIdle, milliseconds(0), probe.Callback()};
};

TEST_F(LifetimeMonitor, QuitsOnceIdleTimeAfterTheLastUnlock) {
    EXPECT_FALSE(probe.QuitWithin(kIdle * 2)) << "quit before the first client had gone";
    lifetime.Lock();
    lifetime.Lock();
    lifetime.Unlock();
    EXPECT_FALSE(probe.QuitWithin(kIdle * 2)) << "quit while a lock was held";
    ExpectQuitIdleTimeAfterLastUnlock();
}

TEST_F(LifetimeMonitor, ActivityWithinTheIdleTimeRestartsTheWait) {
    lifetime.Lock();
    lifetime.Unlock();
    ASSERT_FALSE(probe.QuitWithin(kIdle / 2)) << "quit before the idle time";
    lifetime.Lock();  // a client comes and goes within the idle time
    ExpectQuitIdleTimeAfterLastUnlock();
}

TEST_F(LifetimeMonitor, ClientHoldingALockAcrossTheIdleTimeKeepsTheServer) {
    lifetime.Lock();
    lifetime.Unlock();
    lifetime.Lock();  // connects within the idle time and stays
    EXPECT_FALSE(probe.QuitWithin(kIdle * 3));
    ExpectQuitIdleTimeAfterLastUnlock();
}

TEST(LifetimeRearm, MonitorQuitsAgainWhenAHostCarriedOnAfterAQuit) {
    // A host that found a new client before it could end carries on; the monitor must then
    // end it once that client, too, has gone for the idle time.
    std::mutex mutex;
    std::condition_variable cv;
    int quits = 0;
    Lifetime lifetime(kIdle, milliseconds(0), [&] {
        std::lock_guard lock(mutex);
        ++quits;
        cv.notify_all();
    });
    auto quitsWithin = [&](int count, milliseconds wait) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, wait, [&] { return quits >= count; });
    };
    ASSERT_TRUE(lifetime.StartMonitor());
    lifetime.Lock();
    lifetime.Unlock();
    ASSERT_TRUE(quitsWithin(1, kGenerous));
    lifetime.Lock();  // the late client
    EXPECT_FALSE(quitsWithin(2, kIdle * 2)) << "quit while the late client held a lock";
    const auto released = Clock::now();
    lifetime.Unlock();
    ASSERT_TRUE(quitsWithin(2, kGenerous));
    EXPECT_GE(Clock::now() - released, kIdle);
}

TEST(LifetimePause, OnlyADelayedShutdownPausesBeforeExit) {
    Lifetime lifetime(kIdle, milliseconds(1000), [] {});
    EXPECT_EQ(lifetime.PauseAfterRevoke(), milliseconds(1000));
    lifetime.SetDelayShutdown(false);
    const auto start = Clock::now();
    lifetime.PauseBeforeExit();
    EXPECT_LT(Clock::now() - start, milliseconds(500));
}

// With a host's timer instead of the monitor: each fall to 0 arms the timer for the idle time,
// and the timer's firing ends the server only while the count is still 0.
TEST(LifetimeIdleTimer, ArmsOnEachFallAndQuitsOnlyWhenStillIdle) {
    QuitProbe probe;
    Lifetime lifetime(kIdle, milliseconds(0), probe.Callback());
    std::vector<milliseconds> armed;
    lifetime.UseIdleTimer([&armed](milliseconds idle) { armed.push_back(idle); });

    lifetime.Lock();
    lifetime.Lock();
    lifetime.Unlock();
    EXPECT_TRUE(armed.empty()) << "armed while a lock was held";
    lifetime.Unlock();
    ASSERT_EQ(armed, std::vector<milliseconds>{kIdle});

    // A client came before the timer fired and is still here: the server stays.
    lifetime.Lock();
    lifetime.IdleTimeElapsed();
    EXPECT_EQ(probe.calls.load(), 0);
    // Its leaving arms the timer afresh; this time the firing ends the server.
    lifetime.Unlock();
    EXPECT_EQ(armed.size(), 2u);
    lifetime.IdleTimeElapsed();
    EXPECT_EQ(probe.calls.load(), 1);
}

}  // namespace
}  // namespace merel
