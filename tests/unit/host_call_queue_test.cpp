// The worker queue of the Linux service, with the test thread in the place of the bus thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "host/common/call_queue.h"
#include "host/common/failure_text.h"

namespace merel {
namespace {

using std::chrono::milliseconds;
using Outcome = CallQueue::Outcome;
using Taken = CallQueue::Taken;

constexpr milliseconds kGenerous{5000};

class CallQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(queue.Start()); }
    void TearDown() override {
        Open();  // never leave the worker blocked
        queue.Stop({}, kGenerous);
    }
    void Open() {
        if (!opened.exchange(true)) gate.set_value();
    }

    // A call that records what became of it; a `blocking` one holds the worker until Open().
    void Push(const std::string& caller, int id, bool blocking = false) {
        ASSERT_EQ(Offer(caller, id, blocking), Taken::kQueued);
    }
    Taken Offer(const std::string& caller, int id, bool blocking = false) {
        return queue.Push(
            caller,
            [this, id, blocking] {
                if (++running > 1) overlapped = true;
                ran.push_back(id);
                if (blocking) {
                    started.set_value();
                    gateOpen.wait();
                }
                --running;
                return static_cast<HRESULT>(id);
            },
            [this, id](Outcome outcome, HRESULT result) {
                ends.push_back({id, outcome, result});
            });
    }

    // Hands back outcomes as the worker reports them until `count` have come back.
    void DeliverUntil(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + kGenerous;
        std::unique_lock lock(mutex);
        while (ends.size() < count && std::chrono::steady_clock::now() < deadline) {
            wakeCv.wait_until(lock, deadline, [this] { return wakes > 0; });
            wakes = 0;
            lock.unlock();
            queue.Deliver();
            lock.lock();
        }
        ASSERT_EQ(ends.size(), count);
    }

    struct End {
        int id;
        Outcome outcome;
        HRESULT result;
        bool operator==(const End&) const = default;
    };

    Lifetime lifetime{kGenerous, milliseconds(0), [] {}};
    std::mutex mutex;
    std::condition_variable wakeCv;
    int wakes = 0;
    // Small bounds, so that a test reaches them.
    CallQueue queue{lifetime,
                    [this] {
                        {
                            std::lock_guard lock(mutex);
                            ++wakes;
                        }
                        wakeCv.notify_all();
                    },
                    {3, 5}};
    std::promise<void> gate, started;
    std::atomic<bool> opened{false};
    std::shared_future<void> gateOpen = gate.get_future().share();
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<int> ran;   // written by the worker only
    std::vector<End> ends;  // written on this thread only
};

TEST_F(CallQueueTest, CallsRunOneAtATimeInArrivalOrderHoldingALockUntilAnswered) {
    Push(":1.5", 1, true);
    ASSERT_EQ(started.get_future().wait_for(kGenerous), std::future_status::ready);
    for (int id = 2; id <= 6; ++id) Push(id % 2 ? ":1.5" : ":1.6", id);
    EXPECT_EQ(lifetime.LockCount(), 6);  // queued calls keep the server from idling

    Open();
    DeliverUntil(6);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_FALSE(overlapped);
    for (int id = 1; id <= 6; ++id) {
        EXPECT_EQ(ends[id - 1], (End{id, Outcome::kRan, static_cast<HRESULT>(id)}));
    }
    EXPECT_EQ(lifetime.LockCount(), 0);
}

TEST_F(CallQueueTest, QueuedCallsOfACallerWhoLeftNeverRunWhileTheRunningOneFinishes) {
    Push(":1.7", 1, true);  // running when its caller leaves
    ASSERT_EQ(started.get_future().wait_for(kGenerous), std::future_status::ready);
    Push(":1.7", 2);
    Push(":1.8", 3);
    Push(":1.7", 4);
    Push("", 5);  // a caller that cannot be followed is never dropped
    queue.DropCaller(":1.7");
    queue.DropCaller("");
    EXPECT_EQ(ends,
              (std::vector<End>{{2, Outcome::kDropped, kS_OK}, {4, Outcome::kDropped, kS_OK}}));
    EXPECT_EQ(lifetime.LockCount(), 3);

    Open();
    DeliverUntil(5);
    EXPECT_EQ(ran, (std::vector<int>{1, 3, 5}));
    EXPECT_EQ(ends[2], (End{1, Outcome::kRan, 1}));
    EXPECT_EQ(lifetime.LockCount(), 0);
}

TEST_F(CallQueueTest, StopAnswersTheQueuedAndTearsDownAfterTheRunningCall) {
    Push(":1.9", 1, true);
    ASSERT_EQ(started.get_future().wait_for(kGenerous), std::future_status::ready);
    Push(":1.9", 2);
    std::atomic<bool> tornDown{false};
    std::thread::id tornDownOn;
    // The running call is held, so the stop cannot end within a short wait.
    EXPECT_FALSE(queue.Stop(
        [&] {
            tornDownOn = std::this_thread::get_id();
            tornDown = ran.size() == 1;  // after the running call, and nothing after it
        },
        milliseconds(20)));
    EXPECT_EQ(ends, (std::vector<End>{{2, Outcome::kStopped, kS_OK}}));
    EXPECT_EQ(queue.Push(
                  ":1.9", [] { return kS_OK; }, [](Outcome, HRESULT) {}),
              Taken::kStopped);
    EXPECT_EQ(lifetime.LockCount(), 1);

    Open();
    EXPECT_TRUE(queue.Stop({}, kGenerous));  // now the worker ends
    EXPECT_TRUE(tornDown);
    EXPECT_NE(tornDownOn, std::this_thread::get_id());
    queue.Deliver();
    EXPECT_EQ(ends.back(), (End{1, Outcome::kRan, 1}));
    EXPECT_EQ(lifetime.LockCount(), 0);
}

TEST_F(CallQueueTest, AnExceptionInACallIsItsFailure) {
    ASSERT_EQ(queue.Push(
                  "", []() -> HRESULT { throw std::bad_alloc(); },
                  [this](Outcome outcome, HRESULT result) {
                      ends.push_back({0, outcome, result});
                  }),
              Taken::kQueued);
    Push("", 1);
    DeliverUntil(2);
    EXPECT_EQ(ends, (std::vector<End>{{0, Outcome::kRan, kE_FAIL}, {1, Outcome::kRan, 1}}));
}

TEST_F(CallQueueTest, RunNowOnlyWhileTheWorkerHasNothingRunningQueuedOrToHandBack) {
    HRESULT result = kS_OK;
    bool refusedRan = false;
    auto refused = [&] {
        return !queue.RunNow(
            [&] {
                refusedRan = true;
                return kS_OK;
            },
            result);
    };
    EXPECT_TRUE(queue.RunNow([] { return static_cast<HRESULT>(7); }, result));
    EXPECT_EQ(result, 7);
    EXPECT_TRUE(queue.RunNow([]() -> HRESULT { throw std::bad_alloc(); }, result));
    EXPECT_EQ(result, kE_FAIL);

    Push(":1.5", 1, true);
    ASSERT_EQ(started.get_future().wait_for(kGenerous), std::future_status::ready);
    EXPECT_TRUE(refused());  // one running
    Push(":1.5", 2);
    EXPECT_TRUE(refused());  // and one queued
    Open();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(wakeCv.wait_for(lock, kGenerous, [this] { return wakes >= 2; }));
    }
    EXPECT_TRUE(refused());  // both done, not yet handed back
    DeliverUntil(2);
    EXPECT_TRUE(queue.RunNow([] { return kS_OK; }, result));
    queue.Stop({}, kGenerous);
    EXPECT_TRUE(refused());  // stopped: the manager may be gone
    EXPECT_FALSE(refusedRan);
    EXPECT_EQ(lifetime.LockCount(), 0);
}

TEST_F(CallQueueTest, WaitingCallsAreBoundedPerCallerAndInAllAndTheRefusedNeverRun) {
    Push(":1.5", 1, true);  // running: it no longer waits
    ASSERT_EQ(started.get_future().wait_for(kGenerous), std::future_status::ready);
    for (int id = 2; id <= 4; ++id) Push(":1.5", id);
    EXPECT_EQ(Offer(":1.5", 5), Taken::kFull);  // its fourth waiting call
    Push(":1.6", 6);                            // another caller is still taken
    Push("", 7);  // a caller that cannot be followed counts in all only
    EXPECT_EQ(Offer(":1.7", 8), Taken::kFull);  // five wait in all
    EXPECT_EQ(Offer("", 9), Taken::kFull);
    EXPECT_EQ(lifetime.LockCount(), 6);  // the refused took no lock

    queue.DropCaller(":1.6");  // a caller who leaves frees its places
    Push(":1.7", 10);
    Open();
    DeliverUntil(7);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4, 7, 10}));
    for (const End& end : ends) EXPECT_TRUE(end.id != 5 && end.id != 8 && end.id != 9);
    EXPECT_EQ(lifetime.LockCount(), 0);

    // Answered calls no longer count: the caller may queue as many again.
    for (int id = 11; id <= 13; ++id) Push(":1.5", id);
    DeliverUntil(10);
}

TEST_F(CallQueueTest, ACallerBeyondTheBoundsIsToldTheBoundsAndToCallAgain) {
    const Failure full = queue.FullFailure();
    EXPECT_EQ(host::FailureText("SendTextMessage", full.hr, full),
              "0x8007000E: the server has too many calls waiting: at most 3 calls from one "
              "caller and 5 in all wait for their turn; call again once some have been answered");
}

}  // namespace
}  // namespace merel
