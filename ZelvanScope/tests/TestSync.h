// Ways for viewer tests to hold work on another thread at a known point: a gate a worker waits at,
// and the read end of a named pipe that a writer blocks on once it is full.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// A gate a worker thread waits at (for at most 10 s) until the test thread opens it.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }
    bool waitOpen() {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

// Holds the read end of a named pipe open without reading, so that a writer blocks once the pipe
// is full; release() drains it to the end (and so does the destructor, or a 10 s timeout).
class PipeHold {
public:
    explicit PipeHold(const QString& path)
        : fd_(::open(path.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK)), drain_([this] { run(); }) {}
    ~PipeHold() {
        release();
        drain_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    PipeHold(const PipeHold&) = delete;
    PipeHold& operator=(const PipeHold&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // Waits until a writer has put data into the pipe (a drain before that would end at once).
    bool waitForData(int timeout_ms) const {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN) != 0;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }

private:
    void run() {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait_for(lock, std::chrono::seconds(10), [this] { return released_; });
        }
        if (fd_ < 0) return;
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        char buffer[1 << 16];
        while (::read(fd_, buffer, sizeof buffer) > 0) {
        }
    }

    int fd_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
    std::thread drain_;  // last: starts once the members it uses are there
};
