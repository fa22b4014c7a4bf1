// The singleton rule of the class object: the one object is made on first request, under a
// lock with a second check inside so that racing requests make it once, and the outcome is
// kept: after a failed creation every later request gets the same failure without a new try.
#pragma once

#include <atomic>
#include <mutex>
#include <new>

#include "base/hresult.h"

namespace merel::host {

template <class T>
class CreateOnce {
  public:
    // `create` is called as HRESULT create(T*& made) at most once in the life of this object.
    template <class Create>
    HRESULT Get(Create&& create, T*& object) {
        if (!done_.load(std::memory_order_acquire)) {
            std::lock_guard lock(mutex_);
            if (!done_.load(std::memory_order_relaxed)) {
                T* made = nullptr;
                try {
                    result_ = create(made);
                } catch (const std::bad_alloc&) {
                    result_ = kE_OUTOFMEMORY;
                } catch (...) {
                    result_ = kE_FAIL;
                }
                object_ = Failed(result_) ? nullptr : made;
                done_.store(true, std::memory_order_release);
            }
        }
        object = object_;
        return result_;
    }

    // The object once made, else null.
    T* Made() const { return done_.load(std::memory_order_acquire) ? object_ : nullptr; }

  private:
    std::mutex mutex_;
    std::atomic<bool> done_{false};
    HRESULT result_ = kS_OK;
    T* object_ = nullptr;
};

}  // namespace merel::host
