// Collects decoded events into batches for getNextBatch(), by count of events or by time span: the
// event thread adds events, consumers wait for the next batch that completes after they asked. A
// completed batch nobody took is replaced by the next one (and counted). Waits end as soon as the
// event stream ends or the batcher is closed, and report that as false.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "zelvan/Types.h"

namespace zelvan {

class EventBatcher {
public:
    enum class Mode : uint8_t { None, ByCount, ByTime };
    static constexpr uint64_t kDefaultCount = 0x20000;
    static constexpr uint64_t kDefaultTimeUs = 10000;

    EventBatcher() = default;
    EventBatcher(const EventBatcher&) = delete;
    EventBatcher& operator=(const EventBatcher&) = delete;
    // Waits until every waiter has left.
    ~EventBatcher();

    // Batches of `events` events, or of `microseconds` of event time, from now on; 0 is refused
    // (logged, nothing changes).
    void setCount(uint64_t events);
    void setTime(uint64_t microseconds);
    Mode mode() const;

    // Decoded events [first, last), in time order; the event thread only.
    void add(Event2D* first, Event2D* last);

    // Waits for the next batch that completes after the call and that no other waiter takes, and
    // swaps it into `out` (true); a change of the batch mode or size carries the wait over. False,
    // with `out` empty, at once when no batch mode is set or no event stream runs, as soon as the
    // stream ends or the batcher is closed, and when `timeout` passes.
    bool next(std::vector<Event2D>& out);
    bool next(std::vector<Event2D>& out, std::chrono::milliseconds timeout);

    // The owner tells when the event stream starts and ends.
    void streamStarted();
    void streamEnded();
    // Ends every wait for good (the owner is going away); waitUntilNoWaiters() then waits until every
    // waiter has left.
    void close();
    void waitUntilNoWaiters();

    // Batches replaced before a consumer took them.
    uint64_t replaced() const;
    // For tests: the batch of `mode` being filled (event thread only), a copy of the last completed
    // one, how many have completed, and the callers waiting for one.
    size_t fillSize(Mode mode) const;
    std::vector<Event2D> filling(Mode mode) const { return batchesOf(mode).filling; }
    std::vector<Event2D> lastCompleted(Mode mode);
    uint64_t completed(Mode mode) const;
    int waiters(Mode mode) const;

private:
    struct Batches {
        std::vector<Event2D> filling;  // event thread only
        std::vector<Event2D> ready;
        mutable std::mutex mutex;
        std::condition_variable cv;
        uint64_t completed = 0;                 // batches completed so far
        uint64_t completed_at_mode_change = 0;  // `completed` when this mode was last chosen
        bool ready_taken = true;                // the ready batch went to a consumer (or there is none)
        uint64_t replaced = 0;                  // batches replaced before a consumer took them
        int waiters = 0;                        // callers inside next()
        std::condition_variable waiters_gone;   // the last waiter left
    };

    bool wait(std::vector<Event2D>& out, const std::chrono::steady_clock::time_point* deadline);
    void complete(Batches& batches);
    void wakeAll();
    Batches& batchesOf(Mode mode) { return mode == Mode::ByCount ? count_ : time_; }
    const Batches& batchesOf(Mode mode) const { return mode == Mode::ByCount ? count_ : time_; }

    // Callers inside next() from entry to return, so that destruction never overtakes one between
    // the batches of two modes.
    std::mutex active_mutex_;
    std::condition_variable active_gone_;
    int active_ = 0;
    mutable std::mutex mode_mutex_;
    Mode mode_ = Mode::None;
    std::atomic<uint64_t> count_target_{kDefaultCount};
    std::atomic<uint64_t> time_span_{kDefaultTimeUs};
    Batches count_;
    Batches time_;
    std::atomic<bool> streaming_{false};
    std::atomic<bool> closed_{false};
    std::atomic<uint64_t> stream_endings_{0};  // every end of streaming, so that no waiter misses one
    std::atomic<uint64_t> mode_changes_{0};    // every change of the batch mode or its size
    std::atomic<bool> restart_{false};         // a new stream: the event thread drops what it collected
    // The next time boundary and the period it was laid out for (event thread only).
    bool have_boundary_ = false;
    uint64_t time_boundary_ = 0;
    uint64_t boundary_period_ = 0;
};

}  // namespace zelvan
