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

TEST(ThreadJoiner, JoinsAThreadHandedOverWhileItStillRuns) {
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, 10s, [&] { return go; });
        finished = true;
    });
    joinWhenFinished(std::move(worker));
    EXPECT_FALSE(worker.joinable()) << "the joiner owns it now";
    // A task queued behind the join runs only once the thread was joined.
    std::atomic<bool> task_ran{false};
    std::atomic<bool> ran_after_thread{false};
    runOnJoiner([&] {
        ran_after_thread = finished.load();
        task_ran = true;
    });
    EXPECT_FALSE(task_ran.load());
    {
        std::lock_guard<std::mutex> lock(m);
        go = true;
    }
    cv.notify_all();
    EXPECT_TRUE(eventually([&] { return task_ran.load(); }));
    EXPECT_TRUE(ran_after_thread.load());
    joinWhenFinished(std::thread());  // nothing to join: ignored
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
