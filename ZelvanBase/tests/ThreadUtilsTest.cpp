#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#if defined(__linux__)
#include <pthread.h>
#endif

#include "zelvan/ThreadUtils.h"

namespace zelvan {
namespace {

using namespace std::chrono_literals;

// Waits for `done` with a deadline.
template <typename F>
bool eventually(F done) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(ThreadJoiner, RunsTasksInOrderOnItsOwnThread) {
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    std::atomic<bool> first_done{false};
    std::atomic<bool> second_saw_first{false};
    std::atomic<bool> second_done{false};
    std::atomic<bool> other_thread{false};
    const auto caller = std::this_thread::get_id();
    runOnJoiner([&] {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, 10s, [&] { return go; });
        other_thread = std::this_thread::get_id() != caller;
        first_done = true;
    });
    runOnJoiner([&] {
        second_saw_first = first_done.load();
        second_done = true;
    });
    EXPECT_FALSE(second_done.load()) << "a task waits for the one before it";
    {
        std::lock_guard<std::mutex> lock(m);
        go = true;
    }
    cv.notify_all();
    EXPECT_TRUE(eventually([&] { return second_done.load(); }));
    EXPECT_TRUE(second_saw_first.load());
    EXPECT_TRUE(other_thread.load());
    runOnJoiner(nullptr);  // nothing to run: ignored
}

#if defined(__linux__)
TEST(ThreadNames, LongNamesAreCutToWhatThePlatformKeeps) {
    std::string seen_long, seen_short;
    std::thread([&] {
        char name[32] = {};
        setCurrentThreadName("zv-a-name-longer-than-fifteen-characters");
        pthread_getname_np(pthread_self(), name, sizeof name);
        seen_long = name;
        setCurrentThreadName("zv-short");
        pthread_getname_np(pthread_self(), name, sizeof name);
        seen_short = name;
    }).join();
    EXPECT_EQ(seen_long, "zv-a-name-longe");
    EXPECT_EQ(seen_short, "zv-short");
}
#endif

}  // namespace
}  // namespace zelvan
