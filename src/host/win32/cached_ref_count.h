// Reference count of the one shared object. The class object holds the first reference for
// the life of the process and must not keep the server running; every reference above it is a
// client's, so the server is locked when the count rises to 2 and unlocked when it falls back
// to 1. All calls arrive on the apartment thread, so a plain counter suffices.
#pragma once

#include <cstdint>

#include "host/lifetime/lifetime.h"

namespace merel::host {

class CachedRefCount {
  public:
    explicit CachedRefCount(Lifetime& lifetime) : lifetime_(lifetime) {}

    std::uint32_t AddRef() {
        if (++count_ == 2) lifetime_.Lock();
        return count_;
    }

    // The owner destroys the object when this returns 0.
    std::uint32_t Release() {
        if (--count_ == 1) lifetime_.Unlock();
        return count_;
    }

    std::uint32_t Count() const { return count_; }

  private:
    Lifetime& lifetime_;
    std::uint32_t count_ = 0;
};

}  // namespace merel::host
