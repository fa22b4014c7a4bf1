// The class object's rules: the one object is made once, even under racing requests; a failed
// creation is remembered; and the object's reference count locks the server only for the
// references that clients hold.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <new>
#include <thread>
#include <vector>

#include "host/win32/cached_ref_count.h"
#include "host/win32/create_once.h"

namespace merel::host {
namespace {

struct Shared {
    int id = 0;
};

TEST(ClassObjectCreateOnce, LaterRequestsGetTheFirstObject) {
    CreateOnce<Shared> once;
    Shared object{7};
    int creations = 0;
    auto create = [&](Shared*& made) {
        ++creations;
        made = &object;
        return kS_OK;
    };
    Shared* first = nullptr;
    Shared* second = nullptr;
    EXPECT_EQ(once.Made(), nullptr);
    EXPECT_EQ(once.Get(create, first), kS_OK);
    EXPECT_EQ(once.Get(create, second), kS_OK);
    EXPECT_EQ(first, &object);
    EXPECT_EQ(second, &object);
    EXPECT_EQ(once.Made(), &object);
    EXPECT_EQ(creations, 1);
}

TEST(ClassObjectCreateOnce, FailureIsRememberedWithoutANewAttempt) {
    CreateOnce<Shared> once;
    Shared leftover;
    int creations = 0;
    auto create = [&](Shared*& made) {
        ++creations;
        made = &leftover;  // a failing factory's output must not be handed out
        return kE_FAIL;
    };
    for (int i = 0; i < 3; ++i) {
        Shared* object = &leftover;
        EXPECT_EQ(once.Get(create, object), kE_FAIL);
        EXPECT_EQ(object, nullptr);
    }
    EXPECT_EQ(creations, 1);
    EXPECT_EQ(once.Made(), nullptr);
}

TEST(ClassObjectCreateOnce, ExceptionsBecomeRememberedFailures) {
    CreateOnce<Shared> outOfMemory;
    Shared* object = nullptr;
    int creations = 0;
    auto throwsBadAlloc = [&](Shared*&) -> HRESULT {
        ++creations;
        throw std::bad_alloc();
    };
    EXPECT_EQ(outOfMemory.Get(throwsBadAlloc, object), kE_OUTOFMEMORY);
    EXPECT_EQ(outOfMemory.Get(throwsBadAlloc, object), kE_OUTOFMEMORY);
    EXPECT_EQ(creations, 1);

    CreateOnce<Shared> other;
    auto throwsOther = [](Shared*&) -> HRESULT { throw 42; };
    EXPECT_EQ(other.Get(throwsOther, object), kE_FAIL);
    EXPECT_EQ(object, nullptr);
}

TEST(ClassObjectCreateOnce, RacingRequestsMakeOneObject) {
    constexpr int kThreads = 8;
    CreateOnce<Shared> once;
    std::atomic<int> creations{0};
    Shared object;
    std::vector<Shared*> seen(kThreads, nullptr);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            once.Get(
                [&](Shared*& made) {
                    ++creations;
                    // Give the other threads every chance to reach the lock meanwhile.
                    std::this_thread::yield();
                    made = &object;
                    return kS_OK;
                },
                seen[t]);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(creations.load(), 1);
    for (Shared* s : seen) EXPECT_EQ(s, &object);
}

TEST(SharedObjectReferences, OnlyClientReferencesLockTheServer) {
    int quits = 0;
    Lifetime lifetime(std::chrono::milliseconds(5000), std::chrono::milliseconds(0),
                      [&] { ++quits; });
    lifetime.SetDelayShutdown(false);  // quit at once, so the test sees it
    CachedRefCount refs(lifetime);

    EXPECT_EQ(refs.AddRef(), 1u);  // the class object's own reference
    EXPECT_EQ(lifetime.LockCount(), 0);
    EXPECT_EQ(refs.AddRef(), 2u);  // the first client
    EXPECT_EQ(lifetime.LockCount(), 1);
    EXPECT_EQ(refs.AddRef(), 3u);  // a second client, or a second reference
    EXPECT_EQ(lifetime.LockCount(), 1);
    EXPECT_EQ(refs.Release(), 2u);
    EXPECT_EQ(lifetime.LockCount(), 1);
    EXPECT_EQ(quits, 0);
    EXPECT_EQ(refs.Release(), 1u);  // the last client is gone
    EXPECT_EQ(lifetime.LockCount(), 0);
    EXPECT_EQ(quits, 1);

    // A client coming back locks again.
    EXPECT_EQ(refs.AddRef(), 2u);
    EXPECT_EQ(lifetime.LockCount(), 1);
    EXPECT_EQ(refs.Release(), 1u);
    EXPECT_EQ(quits, 2);

    // The class object letting go at the end unlocks nothing more.
    EXPECT_EQ(refs.Release(), 0u);
    EXPECT_EQ(lifetime.LockCount(), 0);
    EXPECT_EQ(quits, 2);
}

}  // namespace
}  // namespace merel::host
