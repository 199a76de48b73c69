#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "zelvan/ZvObjectPool.h"

namespace zelvan {
namespace {

using EventVector = std::vector<Event2D>;

TEST(ZvObjectPoolBasics, FactoryMakesReservedObjectsOnFirstUse) {
    auto pool = ZvObjectPoolFactory::createUniqueZvObjectPoolWithArgs(4, 1000);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->available(), 0u);
    EXPECT_EQ(pool->created(), 0u) << "nothing is reserved before it is used";
    EXPECT_EQ(pool->reserveSize(), 1000u);
    auto events = pool->acquire();
    ASSERT_NE(events, nullptr);
    EXPECT_TRUE(events->empty());
    EXPECT_GE(events->capacity(), 1000u);
    EXPECT_EQ(pool->created(), 1u);
    EXPECT_EQ(pool->available(), 0u);
    events.reset();
    EXPECT_EQ(pool->available(), 1u);
    auto again = pool->acquire();
    EXPECT_EQ(pool->created(), 1u) << "a returned object is used again before a new one is made";
}

TEST(ZvObjectPoolBasics, ReturnedObjectIsEmptiedKeepsCapacityAndComesBackFirst) {
    auto pool = ZvObjectPoolFactory::createUniqueZvObjectPoolWithArgs<EventVector>(2, 64);
    auto events = pool->acquire();
    const EventVector* address = events.get();
    for (int i = 0; i < 200; ++i) events->emplace_back(1, 2, 1, static_cast<uint64_t>(i));
    const size_t capacity = events->capacity();
    events.reset();
    EXPECT_EQ(pool->available(), 1u);

    auto again = pool->acquire();
    EXPECT_EQ(again.get(), address);
    EXPECT_TRUE(again->empty());
    EXPECT_EQ(again->capacity(), capacity);
}

TEST(ZvObjectPoolBasics, GrowsWhenEmptyAndKeepsGrownObjects) {
    auto pool = ZvObjectPoolFactory::createUniqueZvObjectPoolWithArgs(2, 16);
    std::vector<std::shared_ptr<EventVector>> held;
    for (int i = 0; i < 5; ++i) held.push_back(pool->acquire());
    std::set<EventVector*> distinct;
    for (auto& h : held) {
        distinct.insert(h.get());
        EXPECT_GE(h->capacity(), 16u);
    }
    EXPECT_EQ(distinct.size(), 5u);
    EXPECT_EQ(pool->available(), 0u);
    EXPECT_EQ(pool->created(), 5u);
    held.clear();
    EXPECT_EQ(pool->available(), 5u);
}

TEST(ZvObjectPoolBasics, ObjectsOutliveThePool) {
    auto pool = ZvObjectPoolFactory::createUniqueZvObjectPoolWithArgs(3, 8);
    auto a = pool->acquire();
    auto b = pool->acquire();
    a->emplace_back(3, 4, 0, 99);
    pool.reset();
    a->emplace_back(5, 6, 1, 100);  // still usable
    EXPECT_EQ(a->size(), 2u);
    a.reset();  // freed, not returned
    b.reset();
}

TEST(ZvObjectPoolConcurrency, NoObjectIsHandedOutTwice) {
    auto pool = ZvObjectPoolFactory::createUniqueZvObjectPoolWithArgs(4, 32);
    constexpr int kThreads = 6;
    constexpr int kRounds = 2000;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                auto events = pool->acquire();
                if (!events->empty()) ++failures;
                for (int i = 0; i < 8; ++i) events->emplace_back(static_cast<uint16_t>(t), 0, 0, round);
                for (const auto& e : *events) {
                    if (e.x != t) ++failures;  // someone else wrote into "our" vector
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(pool->created(), 4u + kThreads);
    EXPECT_EQ(pool->available(), pool->created());
}

TEST(ZvObjectPoolConcurrency, PoolDestroyedWhileOtherThreadsReturnObjects) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        auto pool = ZvObjectPoolFactory::createUniqueZvObjectPoolWithArgs(8, 4);
        constexpr int kThreads = 4;
        std::vector<std::vector<std::shared_ptr<EventVector>>> perThread(kThreads);
        for (int i = 0; i < 64; ++i) perThread[i % kThreads].push_back(pool->acquire());
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                while (!go.load()) std::this_thread::yield();
                for (auto& object : perThread[t]) {
                    object->emplace_back(1, 1, 1, 1);
                    object.reset();
                }
            });
        }
        go = true;
        pool.reset();
        for (auto& thread : threads) thread.join();
        for (const auto& objects : perThread) {
            for (const auto& object : objects) EXPECT_EQ(object, nullptr);
        }
    }
}

}  // namespace
}  // namespace zelvan
