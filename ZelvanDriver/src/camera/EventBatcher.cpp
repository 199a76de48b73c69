#include "camera/EventBatcher.h"

#include <algorithm>

#include "zelvan/Decoder.h"
#include "zelvan/Logger.h"

namespace zelvan {

namespace {
// A gap longer than this many batch periods yields one empty batch instead of one per period.
constexpr uint64_t kMaxEmptyBatchesPerGap = 1000;
// Timeouts at least this long wait without a deadline (a time point that far ahead would overflow).
constexpr auto kLongestDeadline = std::chrono::hours(24 * 365);
// Batch storage (events) kept whatever the batches' size.
constexpr size_t kKeptBatchStorage = 1 << 16;

uint64_t saturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
}  // namespace

EventBatcher::~EventBatcher() {
    close();
    waitUntilNoWaiters();
}

void EventBatcher::setCount(uint64_t events) {
    if (events == 0) {
        ZV_LOG(LOG_WARNING, "Batch events number 0 refused: a batch holds at least one event.");
        return;
    }
    count_target_ = events;
    {
        // Waits carried over take the batches that complete from here on.
        std::lock_guard<std::mutex> lock(count_.mutex);
        count_.completed_at_mode_change = count_.completed;
    }
    {
        std::lock_guard<std::mutex> lock(mode_mutex_);
        mode_ = Mode::ByCount;
    }
    ++mode_changes_;
    wakeAll();  // waiters go on in the new mode
}

void EventBatcher::setTime(uint64_t microseconds) {
    if (microseconds == 0) {
        ZV_LOG(LOG_WARNING, "Batch events time 0 refused: a batch lasts at least 1 us.");
        return;
    }
    time_span_ = microseconds;
    {
        // Waits carried over take the batches that complete from here on.
        std::lock_guard<std::mutex> lock(time_.mutex);
        time_.completed_at_mode_change = time_.completed;
    }
    {
        std::lock_guard<std::mutex> lock(mode_mutex_);
        mode_ = Mode::ByTime;
    }
    ++mode_changes_;
    wakeAll();  // waiters go on in the new mode
}

EventBatcher::Mode EventBatcher::mode() const {
    std::lock_guard<std::mutex> lock(mode_mutex_);
    return mode_;
}

bool EventBatcher::next(std::vector<Event2D>& out) { return wait(out, nullptr); }

bool EventBatcher::next(std::vector<Event2D>& out, std::chrono::milliseconds timeout) {
    if (timeout >= kLongestDeadline) return wait(out, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::max(timeout, std::chrono::milliseconds(0));
    return wait(out, &deadline);
}

bool EventBatcher::wait(std::vector<Event2D>& out, const std::chrono::steady_clock::time_point* deadline) {
    out.clear();
    {
        std::lock_guard<std::mutex> lock(active_mutex_);
        ++active_;
    }
    struct Leave {
        EventBatcher& batcher;
        ~Leave() {
            std::lock_guard<std::mutex> lock(batcher.active_mutex_);
            if (--batcher.active_ == 0) batcher.active_gone_.notify_all();
        }
    } leave{*this};
    // The end of the stream is published before the waiters are woken under the batches' mutex, so
    // no wake-up is missed.
    const uint64_t endings = stream_endings_.load();
    const auto ended = [this, endings] {
        return !streaming_.load() || closed_.load() || stream_endings_.load() != endings;
    };
    for (bool carried = false;; carried = true) {
        const uint64_t changes = mode_changes_.load();
        const Mode current = mode();
        if (current == Mode::None) return false;
        Batches& b = batchesOf(current);
        std::unique_lock<std::mutex> lock(b.mutex);
        if (ended()) return false;
        ++b.waiters;
        const uint64_t completed = carried ? b.completed_at_mode_change : b.completed;
        // A batch completed since the call that no other waiter has taken yet; or a new mode, whose
        // batches the wait goes on with.
        const auto changed = [&] { return mode_changes_.load() != changes; };
        const auto ready = [&] {
            return (b.completed != completed && !b.ready_taken) || ended() || changed();
        };
        bool woke = true;
        if (deadline) {
            woke = b.cv.wait_until(lock, *deadline, ready);
        } else {
            b.cv.wait(lock, ready);
        }
        const bool got = woke && b.completed != completed && !b.ready_taken;
        if (got) {
            out.swap(b.ready);
            b.ready_taken = true;
        }
        if (--b.waiters == 0) b.waiters_gone.notify_all();
        if (got || !woke || ended() || !changed()) return got;
    }
}

void EventBatcher::streamStarted() {
    // What was collected before the stream ended belongs to no batch of the new stream.
    restart_ = true;
    streaming_ = true;
}

void EventBatcher::streamEnded() {
    streaming_ = false;
    ++stream_endings_;
    wakeAll();
}

void EventBatcher::close() {
    closed_ = true;
    wakeAll();
}

void EventBatcher::waitUntilNoWaiters() {
    for (Batches* b : {&count_, &time_}) {
        std::unique_lock<std::mutex> lock(b->mutex);
        b->cv.notify_all();
        b->waiters_gone.wait(lock, [b] { return b->waiters == 0; });
    }
    // A waiter between the batches of two modes is counted only here.
    std::unique_lock<std::mutex> lock(active_mutex_);
    active_gone_.wait(lock, [this] { return active_ == 0; });
}

void EventBatcher::wakeAll() {
    for (Batches* b : {&count_, &time_}) {
        std::lock_guard<std::mutex> lock(b->mutex);
        b->cv.notify_all();
    }
}

uint64_t EventBatcher::replaced() const {
    uint64_t replaced = 0;
    for (const Batches* b : {&count_, &time_}) {
        std::lock_guard<std::mutex> lock(b->mutex);
        replaced += b->replaced;
    }
    return replaced;
}

size_t EventBatcher::fillSize(Mode mode) const { return batchesOf(mode).filling.size(); }

uint64_t EventBatcher::completed(Mode mode) const {
    const Batches& b = batchesOf(mode);
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.completed;
}

int EventBatcher::waiters(Mode mode) const {
    const Batches& b = batchesOf(mode);
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.waiters;
}

std::vector<Event2D> EventBatcher::lastCompleted(Mode mode) {
    Batches& b = batchesOf(mode);
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.ready;
}

void EventBatcher::complete(Batches& b) {
    size_t size = 0;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        if (!b.ready_taken) ++b.replaced;
        b.ready_taken = false;
        b.ready.clear();  // an earlier batch nobody took is dropped
        b.ready.swap(b.filling);
        size = b.ready.size();
        ++b.completed;
        b.cv.notify_all();
    }
    // The next batch will be about as large: growing its storage once now spares the copies of
    // growing it step by step while events arrive. Count batches are all the same size; time batches
    // get a quarter more. Storage far beyond that (left from longer batches or a burst) is given
    // back (an empty batch of a silent period says nothing about the next one).
    const size_t want = &b == &count_ ? size : size + size / 4;
    if (size > 0 && b.filling.capacity() > 8 * want + kKeptBatchStorage)
        std::vector<Event2D>().swap(b.filling);
    if (b.filling.capacity() < want) b.filling.reserve(want);
}

void EventBatcher::add(Event2D* first, Event2D* last) {
    if (last <= first) return;
    if (restart_.exchange(false)) {
        count_.filling.clear();
        time_.filling.clear();
        have_boundary_ = false;
    }
    const Mode current = mode();
    if (current == Mode::ByCount) {
        auto& filling = count_.filling;
        const uint64_t target = count_target_;
        uint64_t n = static_cast<uint64_t>(last - first);
        for (;;) {
            const uint64_t room = target > filling.size() ? target - filling.size() : 0;
            if (n <= room) {
                filling.insert(filling.end(), first, first + n);
                break;
            }
            filling.insert(filling.end(), first, first + room);
            complete(count_);
            first += room;
            n -= room;
        }
    } else if (current == Mode::ByTime) {
        auto& filling = time_.filling;
        const uint64_t period = time_span_;
        // The boundaries lie on one grid from the first event of the batches (or of a new period
        // length), however the stream is split into calls.
        if (!have_boundary_ || period != boundary_period_) {
            const uint64_t start = filling.empty() ? first->timestamp : filling.front().timestamp;
            time_boundary_ = saturatingAdd(start, period);
            boundary_period_ = period;
            have_boundary_ = true;
        }
        uint64_t& boundary = time_boundary_;
        const uint64_t last_ts = (last - 1)->timestamp;
        for (;;) {
            // Events at the boundary open the next batch, as binarySearchTimestamp splits. The end
            // of time closes no batch.
            if (boundary > last_ts || boundary == UINT64_MAX) {
                filling.insert(filling.end(), first, last);
                break;
            }
            Event2D* split = binarySearchTimestamp(boundary, first, last);
            filling.insert(filling.end(), first, split);
            complete(time_);
            first = split;
            boundary = saturatingAdd(boundary, period);
            if (first < last && first->timestamp >= boundary &&
                (first->timestamp - boundary) / period > kMaxEmptyBatchesPerGap) {
                // A long silence: one empty batch stands for it.
                complete(time_);
                boundary = saturatingAdd(first->timestamp - (first->timestamp - boundary) % period, period);
            }
        }
    }
}

}  // namespace zelvan
