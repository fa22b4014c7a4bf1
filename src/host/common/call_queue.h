// Calls carried out one at a time, in arrival order, on a worker thread of their own, while the
// thread that takes them in (the bus thread) stays free to answer everything else. Every call
// holds a lock on the server from the moment it is queued until its outcome has been handed
// back, so the server cannot go idle while calls wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/failure.h"
#include "base/hresult.h"
#include "host/lifetime/lifetime.h"

namespace merel {

class CallQueue {
  public:
    enum class Outcome {
        kRan,      // carried out; the result is the call's
        kDropped,  // its caller left before its turn came: not carried out, nobody to answer
        kStopped,  // the server stopped before its turn came: not carried out
    };
    // Runs on the worker.
    using Work = std::function<HRESULT()>;
    // Runs on the owner's thread, from Deliver, DropCaller or Stop.
    using Done = std::function<void(Outcome, HRESULT)>;

    // How many calls may wait for their turn: from one caller, and in all. Every waiting call
    // holds its arguments, so the bounds bound the memory that callers can make the server
    // hold. A send takes seconds, so a user has few waiting; a caller beyond the bound is
    // answered at once.
    struct Bounds {
        std::size_t perCaller;
        std::size_t inAll;
    };
    static constexpr Bounds kBounds{32, 256};

    enum class Taken {
        kQueued,
        kFull,     // as many calls wait as the bounds allow: not queued
        kStopped,  // the queue has been stopped: not queued
    };

    // `wake` runs on the worker whenever a call has finished: it must make the owner's thread
    // call Deliver.
    CallQueue(Lifetime& lifetime, std::function<void()> wake, Bounds bounds = kBounds);
    // Waits for the worker; the owner calls Stop first.
    ~CallQueue();
    CallQueue(const CallQueue&) = delete;
    CallQueue& operator=(const CallQueue&) = delete;

    // Starts the worker. Returns false when it cannot be started.
    bool Start();

    // Queues a call of `caller` (empty: a caller that is never dropped, and held to the bound
    // in all only) and locks the server. Takes nothing unless it returns kQueued.
    Taken Push(std::string caller, Work work, Done done);

    // Runs `work` at once on the calling thread, but only while the worker is idle: nothing
    // queued, running or waiting to be handed back, and not stopping. The call then keeps its
    // place in arrival order and never overlaps one on the worker; it is spared the two
    // hand-overs between threads. Only for work that cannot block. Returns false, without
    // running it, when the worker is busy.
    bool RunNow(const Work& work, HRESULT& result);

    // The caller has left: its calls that have not started are dropped. One that is running
    // finishes.
    void DropCaller(const std::string& caller);

    // Hands the outcomes of finished calls to their Done, in the order the calls ran, and
    // unlocks the server once for each.
    void Deliver();

    // Stops taking calls: those still queued end as kStopped, the running one may finish, and
    // then `last` runs on the worker (where whatever the calls used can be torn down). Waits
    // up to `wait` for that. Returns true when the worker has ended (outcomes still to be
    // delivered); false when it is still busy. Stopping again waits again, for the same last
    // step.
    bool Stop(std::function<void()> last, std::chrono::milliseconds wait);

    std::size_t Queued() const;

    // What a call that was not taken for kFull is answered (E_OUTOFMEMORY).
    Failure FullFailure() const;

  private:
    struct Call {
        std::string caller;
        Work work;
        Done done;
        HRESULT result = kS_OK;  // stays so for a call that never ran
    };
    void Worker();
    // Hands calls to their Done and unlocks once for each, on the owner's thread.
    void Finish(std::vector<Call>& calls, Outcome outcome);

    Lifetime& lifetime_;
    std::function<void()> wake_;
    const Bounds bounds_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Call> queued_;
    std::vector<Call> finished_;
    std::function<void()> last_;
    bool running_ = false;  // the worker is carrying out a call
    bool stopping_ = false;
    bool workerEnded_ = false;
    std::thread worker_;
};

}  // namespace merel
