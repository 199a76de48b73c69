#include "camera/FusionCameraPrivate.h"

#include "zelvan/Decoder.h"
#include "zelvan/Logger.h"

namespace zelvan {

namespace {
// A gap longer than this many batch periods yields one empty batch instead of one per period.
constexpr uint64_t kMaxEmptyBatchesPerGap = 1000;
constexpr auto kDropLogInterval = std::chrono::seconds(1);
}  // namespace

FusionCameraPrivate::FusionCameraPrivate(const CameraDescription& description) : FusionCamera(description) {}

FusionCameraPrivate::~FusionCameraPrivate() { endBatchWaiters(); }

unsigned FusionCameraPrivate::addEventsStreamHandleCallback(EventsCallback callback) {
    std::lock_guard<std::mutex> lock(event_callback_mutex_);
    const unsigned id = next_event_callback_id_++;
    event_callbacks_.emplace(id, std::move(callback));
    return id;
}

// A callable may own the last reference to the camera: it is destroyed after the lock is released.
bool FusionCameraPrivate::removeEventsStreamHandleCallback(unsigned id) {
    decltype(event_callbacks_)::node_type removed;
    {
        std::lock_guard<std::mutex> lock(event_callback_mutex_);
        removed = event_callbacks_.extract(id);
    }
    return !removed.empty();
}

unsigned FusionCameraPrivate::addSyncSignalCallback(SyncSignalCallback callback) {
    std::lock_guard<std::mutex> lock(sync_callback_mutex_);
    const unsigned id = next_sync_callback_id_++;
    sync_callbacks_.emplace(id, std::move(callback));
    return id;
}

bool FusionCameraPrivate::removeSyncSignalCallback(unsigned id) {
    decltype(sync_callbacks_)::node_type removed;
    {
        std::lock_guard<std::mutex> lock(sync_callback_mutex_);
        removed = sync_callbacks_.extract(id);
    }
    return !removed.empty();
}

void FusionCameraPrivate::clearCallbackRegistries() {
    // Callables are destroyed outside the locks (one may hold the last reference to the camera).
    decltype(event_callbacks_) events;
    decltype(sync_callbacks_) syncs;
    {
        std::lock_guard<std::mutex> lock(event_callback_mutex_);
        events.swap(event_callbacks_);
    }
    {
        std::lock_guard<std::mutex> lock(sync_callback_mutex_);
        syncs.swap(sync_callbacks_);
    }
}

void FusionCameraPrivate::setBatchEventsNum(uint64_t count) {
    if (count == 0) {
        ZV_LOG(LOG_WARNING, "Batch events number 0 refused: a batch holds at least one event.");
        return;
    }
    batch_count_ = count;
    std::lock_guard<std::mutex> lock(batch_mode_mutex_);
    requested_mode_ = BatchMode::ByCount;
}

void FusionCameraPrivate::setBatchEventsTime(uint64_t time) {
    if (time == 0) {
        ZV_LOG(LOG_WARNING, "Batch events time 0 refused: a batch lasts at least 1 us.");
        return;
    }
    batch_time_ = time;
    std::lock_guard<std::mutex> lock(batch_mode_mutex_);
    requested_mode_ = BatchMode::ByTime;
}

bool FusionCameraPrivate::getNextBatch(std::vector<Event2D>& out) { return waitForBatch(out, nullptr); }

bool FusionCameraPrivate::getNextBatch(std::vector<Event2D>& out, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + std::max(timeout, std::chrono::milliseconds(0));
    return waitForBatch(out, &deadline);
}

bool FusionCameraPrivate::waitForBatch(std::vector<Event2D>& out,
                                       const std::chrono::steady_clock::time_point* deadline) {
    out.clear();
    BatchMode mode;
    {
        std::lock_guard<std::mutex> lock(batch_mode_mutex_);
        mode = requested_mode_;
    }
    if (mode != BatchMode::ByCount && mode != BatchMode::ByTime) return false;
    Batches& b = mode == BatchMode::ByCount ? count_batches_ : time_batches_;
    std::unique_lock<std::mutex> lock(b.mutex);
    // The end of the stream is published before the waiters are woken under this mutex, so no
    // wake-up is missed.
    const uint64_t endings = stream_endings_.load();
    const auto ended = [this, endings] {
        return !events_streaming_.load() || batch_waits_closed_.load() || stream_endings_.load() != endings;
    };
    if (ended()) return false;
    ++b.waiters;
    const uint64_t completed = b.completed;
    const auto ready = [&] { return b.completed != completed || ended(); };
    bool woke = true;
    if (deadline) {
        woke = b.cv.wait_until(lock, *deadline, ready);
    } else {
        b.cv.wait(lock, ready);
    }
    const bool got = woke && b.completed != completed;
    if (got) {
        out.swap(b.ready);
        b.ready_taken = true;
    }
    if (--b.waiters == 0) b.waiters_gone.notify_all();
    return got;
}

void FusionCameraPrivate::eventStreamStarted() { events_streaming_ = true; }

void FusionCameraPrivate::eventStreamEnded() {
    events_streaming_ = false;
    ++stream_endings_;
    for (Batches* b : {&count_batches_, &time_batches_}) {
        std::lock_guard<std::mutex> lock(b->mutex);
        b->cv.notify_all();
    }
}

void FusionCameraPrivate::endBatchWaiters() {
    batch_waits_closed_ = true;
    for (Batches* b : {&count_batches_, &time_batches_}) {
        std::unique_lock<std::mutex> lock(b->mutex);
        b->cv.notify_all();
        b->waiters_gone.wait(lock, [b] { return b->waiters == 0; });
    }
}

uint64_t FusionCameraPrivate::replacedBatches() const {
    uint64_t replaced = 0;
    for (const Batches* b : {&count_batches_, &time_batches_}) {
        std::lock_guard<std::mutex> lock(const_cast<Batches*>(b)->mutex);
        replaced += b->replaced;
    }
    return replaced;
}

size_t FusionCameraPrivate::batchFillSize(BatchMode mode) {
    return (mode == BatchMode::ByCount ? count_batches_ : time_batches_).filling.size();
}

std::vector<Event2D> FusionCameraPrivate::lastCompletedBatch(BatchMode mode) {
    Batches& b = mode == BatchMode::ByCount ? count_batches_ : time_batches_;
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.ready;
}

void FusionCameraPrivate::completeBatch(Batches& b) {
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!b.ready_taken) ++b.replaced;
    b.ready_taken = false;
    b.ready.clear();  // an earlier batch nobody took is dropped
    b.ready.swap(b.filling);
    ++b.completed;
    b.cv.notify_all();
}

void FusionCameraPrivate::eventStreamArrived(Event2D* first, Event2D* last) {
    BatchMode mode;
    {
        std::lock_guard<std::mutex> lock(batch_mode_mutex_);
        mode = requested_mode_;
    }
    Event2D* const span_first = first;
    if (mode == BatchMode::ByCount && last > first) {
        auto& filling = count_batches_.filling;
        const uint64_t target = batch_count_;
        uint64_t n = static_cast<uint64_t>(last - first);
        for (;;) {
            const uint64_t room = target > filling.size() ? target - filling.size() : 0;
            if (room >= n) {
                filling.insert(filling.end(), first, first + n);
                break;
            }
            filling.insert(filling.end(), first, first + room);
            completeBatch(count_batches_);
            first += room;
            n -= room;
        }
    } else if (mode == BatchMode::ByTime && last > first) {
        auto& filling = time_batches_.filling;
        const uint64_t period = batch_time_;
        uint64_t boundary = period + (filling.empty() ? first->timestamp : filling.front().timestamp);
        const uint64_t last_ts = (last - 1)->timestamp;
        for (;;) {
            if (boundary >= last_ts) {
                // The batch goes on: events at the boundary itself open the next batch when the next
                // arrival splits it.
                filling.insert(filling.end(), first, last);
                break;
            }
            Event2D* split = binarySearchTimestamp(boundary, first, last);
            filling.insert(filling.end(), first, split);
            completeBatch(time_batches_);
            first = split;
            boundary += period;
            if (first < last && first->timestamp >= boundary &&
                (first->timestamp - boundary) / period > kMaxEmptyBatchesPerGap) {
                // A long silence: one empty batch stands for it.
                completeBatch(time_batches_);
                boundary = first->timestamp - (first->timestamp - boundary) % period + period;
            }
        }
    }
    std::lock_guard<std::mutex> lock(event_callback_mutex_);
    for (auto& [id, callback] : event_callbacks_) {
        if (callbacks_closed_.load(std::memory_order_relaxed)) break;
        callback(span_first, last);
    }
}

void FusionCameraPrivate::callSyncSignalCallbacks(EventTriggerIn trigger) {
    std::lock_guard<std::mutex> lock(sync_callback_mutex_);
    for (auto& [id, callback] : sync_callbacks_) {
        if (callbacks_closed_.load(std::memory_order_relaxed)) break;
        callback(trigger);
    }
}

void FusionCameraPrivate::logDrops() {
    if (unlogged_frame_drops_ == 0 && unlogged_record_drops_ == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_drop_log_ < kDropLogInterval) return;
    ZV_LOG(LOG_WARNING,
           "Camera %s: %llu frame(s) and %llu exposure record(s) dropped without a partner (%llu and %llu in "
           "total)",
           getDescription().serial.c_str(), static_cast<unsigned long long>(unlogged_frame_drops_),
           static_cast<unsigned long long>(unlogged_record_drops_),
           static_cast<unsigned long long>(dropped_frames_.load()),
           static_cast<unsigned long long>(dropped_records_.load()));
    unlogged_frame_drops_ = 0;
    unlogged_record_drops_ = 0;
    last_drop_log_ = now;
}

void FusionCameraPrivate::countDroppedLocked(bool frame) {
    if (frame) {
        ++dropped_frames_;
        ++unlogged_frame_drops_;
    } else {
        ++dropped_records_;
        ++unlogged_record_drops_;
    }
    logDrops();
}

void FusionCameraPrivate::queueFrameLocked(FrameBuffer frame, uint64_t lost_before) {
    next_frame_number_ += lost_before;
    if (frame_queue_.push(QueuedFrame{std::move(frame), next_frame_number_++})) countDroppedLocked(true);
}

void FusionCameraPrivate::queueSyncRecordLocked(const SyncRecord& record, uint64_t lost_before) {
    next_record_number_ += lost_before;
    if (sync_records_.push(QueuedRecord{record, next_record_number_++})) countDroppedLocked(false);
}

bool FusionCameraPrivate::pairReadyLocked() { return !frame_queue_.empty() && !sync_records_.empty(); }

bool FusionCameraPrivate::takePairLocked(FrameBuffer& frame, SyncRecord& record) {
    while (pairReadyLocked()) {
        const uint64_t f = frame_queue_.front().number;
        const uint64_t r = sync_records_.front().number;
        if (f < r) {
            frame_queue_.pop();  // its record was dropped
            countDroppedLocked(true);
        } else if (r < f) {
            sync_records_.pop();  // its frame was dropped or lost
            countDroppedLocked(false);
        } else {
            frame = frame_queue_.pop().frame;
            record = sync_records_.pop().record;
            return true;
        }
    }
    return false;
}

void FusionCameraPrivate::clearQueuesLocked() {
    frame_queue_.clear();
    sync_records_.clear();
    next_frame_number_ = 0;
    next_record_number_ = 0;
    // Drops not logged yet are told now, whatever the time since the last line.
    last_drop_log_ = {};
    logDrops();
}

}  // namespace zelvan
