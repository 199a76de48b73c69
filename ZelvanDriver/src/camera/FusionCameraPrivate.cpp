#include "camera/FusionCameraPrivate.h"

#include "zelvan/Decoder.h"
#include "zelvan/Logger.h"

namespace zelvan {

namespace {
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

void FusionCameraPrivate::setBatchEventsNum(uint64_t count) { batches_.setCount(count); }

void FusionCameraPrivate::setBatchEventsTime(uint64_t time) { batches_.setTime(time); }

bool FusionCameraPrivate::getNextBatch(std::vector<Event2D>& out) {
    if (batchWaitRefused(out)) return false;
    return batches_.next(out);
}

bool FusionCameraPrivate::getNextBatch(std::vector<Event2D>& out, std::chrono::milliseconds timeout) {
    if (batchWaitRefused(out)) return false;
    return batches_.next(out, timeout);
}

bool FusionCameraPrivate::batchWaitRefused(std::vector<Event2D>& out) const {
    // The event thread completes the batches: waiting there for one would stall the event stream.
    if (!completesBatchesHere()) return false;
    out.clear();
    ZV_LOG(LOG_ERROR, "getNextBatch is refused inside the camera's event and sync-signal callbacks.");
    return true;
}

void FusionCameraPrivate::eventStreamStarted() { batches_.streamStarted(); }

void FusionCameraPrivate::eventStreamEnded() { batches_.streamEnded(); }

void FusionCameraPrivate::endBatchWaiters() {
    batches_.close();
    batches_.waitUntilNoWaiters();
}

uint64_t FusionCameraPrivate::replacedBatches() const { return batches_.replaced(); }

size_t FusionCameraPrivate::batchFillSize(BatchMode mode) { return batches_.fillSize(mode); }

std::vector<Event2D> FusionCameraPrivate::lastCompletedBatch(BatchMode mode) {
    return batches_.lastCompleted(mode);
}

uint64_t FusionCameraPrivate::completedBatches(BatchMode mode) const { return batches_.completed(mode); }

void FusionCameraPrivate::eventStreamArrived(Event2D* first, Event2D* last) {
    batches_.add(first, last);
    std::lock_guard<std::mutex> lock(event_callback_mutex_);
    for (auto& [id, callback] : event_callbacks_) {
        if (callbacks_closed_.load(std::memory_order_relaxed)) break;
        callback(first, last);
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

void FusionCameraPrivate::skipFrameLocked(uint64_t lost_before) {
    next_frame_number_ += lost_before + 1;
    countDroppedLocked(true);
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
