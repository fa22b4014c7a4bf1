#include "host/common/call_queue.h"

#include <algorithm>
#include <utility>

namespace merel {

CallQueue::CallQueue(Lifetime& lifetime, std::function<void()> wake, Bounds bounds)
    : lifetime_(lifetime), wake_(std::move(wake)), bounds_(bounds) {}

CallQueue::~CallQueue() {
    if (!worker_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queued_.clear();
    }
    cv_.notify_all();
    worker_.join();
}

bool CallQueue::Start() {
    try {
        worker_ = std::thread([this] { Worker(); });
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

CallQueue::Taken CallQueue::Push(std::string caller, Work work, Done done) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return Taken::kStopped;
        if (queued_.size() >= bounds_.inAll) return Taken::kFull;
        if (!caller.empty() && static_cast<std::size_t>(std::count_if(
                                   queued_.begin(), queued_.end(), [&](const Call& c) {
                                       return c.caller == caller;
                                   })) >= bounds_.perCaller) {
            return Taken::kFull;
        }
        queued_.push_back(Call{std::move(caller), std::move(work), std::move(done)});
        lifetime_.Lock();
    }
    cv_.notify_all();
    return Taken::kQueued;
}

bool CallQueue::RunNow(const Work& work, HRESULT& result) {
    // Held throughout, so that the worker cannot start a call meanwhile; the lock also hands
    // the manager's state over between the two threads.
    std::lock_guard lock(mutex_);
    if (stopping_ || running_ || !queued_.empty() || !finished_.empty()) return false;
    try {
        result = work();
    } catch (...) {
        result = kE_FAIL;
    }
    return true;
}

void CallQueue::DropCaller(const std::string& caller) {
    if (caller.empty()) return;
    std::vector<Call> dropped;
    {
        std::lock_guard lock(mutex_);
        for (auto it = queued_.begin(); it != queued_.end();) {
            if (it->caller == caller) {
                dropped.push_back(std::move(*it));
                it = queued_.erase(it);
            } else {
                ++it;
            }
        }
    }
    Finish(dropped, Outcome::kDropped);
}

void CallQueue::Deliver() {
    std::vector<Call> finished;
    {
        std::lock_guard lock(mutex_);
        finished.swap(finished_);
    }
    Finish(finished, Outcome::kRan);
}

bool CallQueue::Stop(std::function<void()> last, std::chrono::milliseconds wait) {
    std::vector<Call> stopped;
    {
        std::lock_guard lock(mutex_);
        // A second stop only waits again; the last step is the first stop's.
        if (!stopping_) last_ = std::move(last);
        stopping_ = true;
        stopped.assign(std::make_move_iterator(queued_.begin()),
                       std::make_move_iterator(queued_.end()));
        queued_.clear();
    }
    cv_.notify_all();
    Finish(stopped, Outcome::kStopped);

    std::unique_lock lock(mutex_);
    if (!worker_.joinable()) {
        std::function<void()> now = std::move(last_);
        lock.unlock();
        if (now) now();
        return true;
    }
    if (!cv_.wait_for(lock, wait, [this] { return workerEnded_; })) return false;
    lock.unlock();
    worker_.join();
    return true;
}

std::size_t CallQueue::Queued() const {
    std::lock_guard lock(mutex_);
    return queued_.size();
}

Failure CallQueue::FullFailure() const {
    std::string detail = "at most ";
    detail.append(std::to_string(bounds_.perCaller))
        .append(" calls from one caller and ")
        .append(std::to_string(bounds_.inAll))
        .append(" in all wait for their turn; call again once some have been answered");
    return {kE_OUTOFMEMORY, "the server has too many calls waiting", std::move(detail), {}};
}

void CallQueue::Finish(std::vector<Call>& calls, Outcome outcome) {
    for (Call& call : calls) {
        call.done(outcome, call.result);
        lifetime_.Unlock();
    }
}

void CallQueue::Worker() {
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
        if (queued_.empty()) break;  // stopping, and nothing left that may run
        Call call = std::move(queued_.front());
        queued_.pop_front();
        running_ = true;
        lock.unlock();
        try {
            call.result = call.work();
        } catch (...) {
            call.result = kE_FAIL;
        }
        lock.lock();
        running_ = false;
        finished_.push_back(std::move(call));
        lock.unlock();
        wake_();
        lock.lock();
    }
    std::function<void()> last = std::move(last_);
    lock.unlock();
    if (last) last();
    lock.lock();
    workerEnded_ = true;
    cv_.notify_all();
}

}  // namespace merel
