#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "zelvan/ObjectPool.h"

namespace zelvan {
namespace {

TEST(ObjectPool, HandsOutZeroFilledVectorsLastReturnedFirst) {
    ObjectPool pool(3, false, 16);
    auto a = pool.acquire();
    ASSERT_EQ(a->size(), 16u);
    EXPECT_EQ(std::count(a->begin(), a->end(), 0), 16);
    EXPECT_EQ(pool.available(), 2u);
    auto b = pool.acquire();
    const auto* b_raw = b.get();
    b.reset();
    EXPECT_EQ(pool.available(), 2u);
    EXPECT_EQ(pool.acquire().get(), b_raw);
}

TEST(ObjectPool, NonBlockingPoolGrowsWhenEmpty) {
    ObjectPool pool(1, false, 8);
    auto a = pool.acquire();
    auto b = pool.acquire();
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(b->empty());
    a.reset();
    b.reset();
    EXPECT_EQ(pool.available(), 2u);
}

TEST(ObjectPool, OnDemandPoolMakesItsVectorsWhenNeeded) {
    ObjectPool pool(3, false, 32, ObjectPool::Allocation::OnDemand);
    EXPECT_EQ(pool.available(), 0u);
    EXPECT_EQ(pool.made(), 0u) << "no vector exists before the first acquire";
    auto a = pool.acquire();
    ASSERT_EQ(a->size(), 32u);
    EXPECT_EQ(std::count(a->begin(), a->end(), 0), 32);
    EXPECT_EQ(pool.made(), 1u);
    const auto* a_raw = a.get();
    a.reset();
    EXPECT_EQ(pool.acquire().get(), a_raw) << "a returned vector is used again before a new one is made";
    EXPECT_EQ(pool.made(), 1u);
    std::vector<std::shared_ptr<ObjectPool::Buffer>> held;
    for (int i = 0; i < 4; ++i) held.push_back(pool.acquire());
    EXPECT_EQ(pool.made(), 3u);
    EXPECT_EQ(held[0]->size(), 32u);
    EXPECT_EQ(held[2]->size(), 32u);
    EXPECT_TRUE(held[3]->empty()) << "beyond its count a non-blocking pool hands out empty vectors";
}

TEST(ObjectPool, OnDemandBlockingPoolWaitsOnceItsCountExists) {
    ObjectPool pool(1, true, 4, ObjectPool::Allocation::OnDemand);
    auto a = pool.acquire();
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        auto b = pool.acquire();
        got = true;
    });
    a.reset();
    waiter.join();
    EXPECT_TRUE(got.load());
    EXPECT_EQ(pool.made(), 1u);
}

TEST(ObjectPool, BlockingPoolWithoutObjectsIsRefused) {
    try {
        ObjectPool pool(0, true, 8);
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(),
                     "Failed to allocate memory for the bounded object pool: pool's size can not be 0.");
    }
    EXPECT_NO_THROW(ObjectPool(0, false, 8));
}

TEST(ObjectPool, ObjectsOutliveThePool) {
    std::shared_ptr<ObjectPool::Buffer> kept;
    {
        ObjectPool pool(2, true, 4);
        kept = pool.acquire();
    }
    (*kept)[0] = 7;  // still valid; freed on release without touching the dead pool
    kept.reset();
}

TEST(ObjectPool, BlockingPoolWaitsForAReturn) {
    ObjectPool pool(2, true, 4);
    std::atomic<int> in_use{0};
    std::atomic<int> most{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                auto obj = pool.acquire();
                const int now = ++in_use;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                (*obj)[0] = static_cast<uint8_t>(i);
                --in_use;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_LE(most.load(), 2);
    EXPECT_EQ(pool.available(), 2u);
}

}  // namespace
}  // namespace zelvan
