#include "zelvan/ThreadUtils.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace zelvan {

void setCurrentThreadName(const char* name) {
#if defined(__linux__)
    char truncated[16] = {};
    for (int i = 0; i < 15 && name[i] != '\0'; ++i) truncated[i] = name[i];
    pthread_setname_np(pthread_self(), truncated);
#else
    (void)name;
#endif
}

namespace {

// Trivially destructible, so it can be read after the joiner itself is gone at exit.
std::atomic<bool> g_joiner_gone{false};

class Joiner {
public:
    ~Joiner() {
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        g_joiner_gone = true;
        cv_.notify_all();
        lock.unlock();
        if (worker_.joinable()) worker_.join();
    }

    void add(std::function<void()> task) {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(std::move(task));
        if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
        cv_.notify_all();
    }

private:
    void run() {
        setCurrentThreadName("zv-joiner");
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
            if (pending_.empty()) return;  // stopping, nothing left
            std::function<void()> next = std::move(pending_.front());
            pending_.pop_front();
            lock.unlock();
            next();
            next = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> pending_;
    bool stopping_ = false;
    std::thread worker_;
};

Joiner& joiner() {
    static Joiner instance;
    return instance;
}

}  // namespace

void runOnJoiner(std::function<void()> task) {
    if (!task) return;
    if (g_joiner_gone.load()) {
        // The process is exiting and the joiner is gone: what it would have done is left undone
        // (the process ends anyway) rather than done on the wrong thread.
        std::fprintf(stderr, "zelvan: work handed over during exit is skipped\n");
        return;
    }
    joiner().add(std::move(task));
}

}  // namespace zelvan
