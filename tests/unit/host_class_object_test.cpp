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

struct Shared {};

TEST(ClassObjectCreateOnce, FirstOutcomeIsKeptWithoutANewAttempt) {
    Shared object;
    // A failing factory's output must not be handed out; exceptions become failures.
    struct Case {
        int kind;  // 0: makes the object, 1: returns E_FAIL, 2: throws bad_alloc, 3: throws 42
        HRESULT result;
        Shared* handedOut;
    } const cases[] = {{0, kS_OK, &object},
                       {1, kE_FAIL, nullptr},
                       {2, kE_OUTOFMEMORY, nullptr},
                       {3, kE_FAIL, nullptr}};
    for (const Case& c : cases) {
        CreateOnce<Shared> once;
        int creations = 0;
        auto create = [&](Shared*& made) -> HRESULT {
            ++creations;
            made = &object;
            if (c.kind == 2) throw std::bad_alloc();
            if (c.kind == 3) throw 42;
            return c.kind == 0 ? kS_OK : kE_FAIL;
        };
        EXPECT_EQ(once.Made(), nullptr);
        for (int i = 0; i < 3; ++i) {
            Shared* got = c.handedOut != nullptr ? nullptr : &object;  // must be overwritten
            EXPECT_EQ(once.Get(create, got), c.result) << c.kind;
            EXPECT_EQ(got, c.handedOut) << c.kind;
        }
        EXPECT_EQ(creations, 1) << c.kind;
        EXPECT_EQ(once.Made(), c.handedOut) << c.kind;
    }
}

TEST(ClassObjectCreateOnce, RacingRequestsMakeOneObject) {
    CreateOnce<Shared> once;
    std::atomic<int> creations{0};
    Shared object;
    std::vector<Shared*> seen(8, nullptr);
    std::latch start(8);
    auto create = [&](Shared*& made) {
        ++creations;
        std::this_thread::yield();  // give the other threads every chance to reach the lock
        made = &object;
        return kS_OK;
    };
    std::vector<std::thread> threads;
    for (Shared*& mine : seen) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            once.Get(create, mine);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(creations.load(), 1);
    EXPECT_EQ(seen, std::vector<Shared*>(8, &object));
}

TEST(SharedObjectReferences, OnlyClientReferencesLockTheServer) {
    int quits = 0;
    Lifetime lifetime(std::chrono::milliseconds(5000), std::chrono::milliseconds(0),
                      [&] { ++quits; });
    lifetime.SetDelayShutdown(false);  // quit at once, so the test sees it
    CachedRefCount refs(lifetime);
    auto expect = [&](std::uint32_t count, std::uint32_t expected, int locks, int quitCalls) {
        EXPECT_EQ(count, expected);
        EXPECT_EQ(lifetime.LockCount(), locks) << "at count " << count;
        EXPECT_EQ(quits, quitCalls) << "at count " << count;
    };
    expect(refs.AddRef(), 1, 0, 0);  // the class object's own reference
    expect(refs.AddRef(), 2, 1, 0);  // the first client
    expect(refs.AddRef(), 3, 1, 0);  // a second client, or a second reference
    expect(refs.Release(), 2, 1, 0);
    expect(refs.Release(), 1, 0, 1);  // the last client is gone
    expect(refs.AddRef(), 2, 1, 1);   // a client coming back locks again
    expect(refs.Release(), 1, 0, 2);
    expect(refs.Release(), 0, 0, 2);  // the class object letting go unlocks nothing more
}

}  // namespace
}  // namespace merel::host
