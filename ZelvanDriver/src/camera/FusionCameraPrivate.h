// What every fusion camera shares, whatever its device: the registries of event and sync-signal
// callbacks, the batching of events for getNextBatch, and the bounded queues of raw frames and
// exposure records that the device's threads pair.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "camera/EventBatcher.h"
#include "zelvan/FusionCamera.h"
#include "zelvan/ObjectPool.h"

namespace zelvan {

// A fixed-capacity FIFO that never allocates after construction; pushing into a full queue drops the
// oldest entry.
template <typename T, size_t N>
class BoundedQueue {
public:
    static constexpr size_t kCapacity = N;
    // Appends `value`; true when the oldest entry had to be dropped for it.
    bool push(T value) {
        bool dropped = false;
        if (count_ == N) {
            items_[head_] = T{};
            head_ = (head_ + 1) % N;
            --count_;
            dropped = true;
        }
        items_[(head_ + count_) % N] = std::move(value);
        ++count_;
        return dropped;
    }
    T& front() { return items_[head_]; }
    T pop() {
        T value = std::move(items_[head_]);
        items_[head_] = T{};
        head_ = (head_ + 1) % N;
        --count_;
        return value;
    }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    void clear() {
        while (!empty()) pop();
    }

private:
    std::array<T, N> items_{};
    size_t head_ = 0;
    size_t count_ = 0;
};

class FusionCameraPrivate : public FusionCamera {
public:
    // One frame exposure on the event clock (microseconds).
    struct SyncRecord {
        uint64_t exposure_begin = 0;
        uint64_t exposure_end = 0;
        bool operator==(const SyncRecord&) const = default;
    };
    using FrameBuffer = std::shared_ptr<std::vector<uint8_t>>;

    // Frames and records waiting to be paired. A frame waits for the record of its exposure, and a
    // record for its frame; when one side stops coming the oldest entries are dropped (counted and
    // logged at most once a second). Both are numbered in arrival order since the start of both
    // streams (frames the data stream lost count too), so that the k-th frame still meets the k-th
    // record after a drop: pairing takes the oldest of each and leaves out the one whose partner is
    // gone.
    static constexpr size_t kMaxQueuedFrames = 4;
    static constexpr size_t kMaxQueuedSyncRecords = 32;
    // Event batches.
    using BatchMode = EventBatcher::Mode;

    explicit FusionCameraPrivate(const CameraDescription& description);
    ~FusionCameraPrivate() override;

    unsigned addEventsStreamHandleCallback(EventsCallback callback) override;
    bool removeEventsStreamHandleCallback(unsigned id) override;
    unsigned addSyncSignalCallback(SyncSignalCallback callback) override;
    bool removeSyncSignalCallback(unsigned id) override;
    bool getNextBatch(std::vector<Event2D>& out) override;
    // The same, giving up after `timeout` (false, `out` empty).
    bool getNextBatch(std::vector<Event2D>& out, std::chrono::milliseconds timeout);
    void setBatchEventsNum(uint64_t count) override;
    void setBatchEventsTime(uint64_t time) override;

    // Frames and records dropped from the pairing queues so far.
    uint64_t droppedFrames() const { return dropped_frames_.load(); }
    uint64_t droppedSyncRecords() const { return dropped_records_.load(); }
    uint64_t getUnpairedFrames() const override { return droppedFrames(); }
    uint64_t getUnpairedSyncRecords() const override { return droppedSyncRecords(); }
    // Batches replaced before a consumer took them.
    uint64_t replacedBatches() const;

protected:
    // Decoded events [first, last): batching, then every event callback.
    void eventStreamArrived(Event2D* first, Event2D* last);
    // Passes `trigger` to every sync-signal callback.
    void callSyncSignalCallbacks(EventTriggerIn trigger);
    void clearCallbackRegistries();

    // getNextBatch waits only while the event stream runs: the device tells when it starts and ends.
    void eventStreamStarted();
    void eventStreamEnded();
    // Wakes every waiter and waits until all have left (destructors of the device call it first).
    void endBatchWaiters();
    // True on the device's thread that completes the event batches (where the event callbacks run); none
    // there by default.
    virtual bool completesBatchesHere() const { return false; }

    // The batch of `mode` being filled (event thread only), a copy of the last completed one and how
    // many have completed.
    size_t batchFillSize(BatchMode mode);
    std::vector<Event2D> lastCompletedBatch(BatchMode mode);
    uint64_t completedBatches(BatchMode mode) const;

    // Pairing queues, under fusion_mutex_. `lost_before` frames the data stream lost came before
    // this one. clearQueuesLocked also starts the numbering anew.
    void queueFrameLocked(FrameBuffer frame, uint64_t lost_before = 0);
    // A frame that arrived unusable (counted as dropped), after `lost_before` lost ones: its exposure
    // record then goes unpaired, and the frames after it keep their own records.
    void skipFrameLocked(uint64_t lost_before);
    // `lost_before`: exposure edges known to be lost just before this one (their frames go unpaired).
    void queueSyncRecordLocked(const SyncRecord& record, uint64_t lost_before = 0);
    void clearQueuesLocked();
    // Takes the oldest frame and record that belong together, leaving out (and counting) those whose
    // partner is gone; false when no pair is complete.
    bool takePairLocked(FrameBuffer& frame, SyncRecord& record);
    bool pairReadyLocked();

    uint32_t aps_width_ = 3840;
    uint32_t aps_height_ = 2160;
    uint32_t dvs_width_ = 1280;
    uint32_t dvs_height_ = 720;

    std::unordered_map<unsigned, EventsCallback> event_callbacks_;
    std::mutex event_callback_mutex_;
    unsigned next_event_callback_id_ = 0;
    std::unordered_map<unsigned, SyncSignalCallback> sync_callbacks_;
    std::mutex sync_callback_mutex_;
    unsigned next_sync_callback_id_ = 0;

    uint64_t last_trigger_timestamp_ = 0;  // event thread only
    struct QueuedFrame {
        FrameBuffer frame;
        uint64_t number = 0;
    };
    struct QueuedRecord {
        SyncRecord record;
        uint64_t number = 0;
    };
    BoundedQueue<QueuedRecord, kMaxQueuedSyncRecords> sync_records_;
    BoundedQueue<QueuedFrame, kMaxQueuedFrames> frame_queue_;
    uint64_t next_frame_number_ = 0;          // under fusion_mutex_
    uint64_t next_record_number_ = 0;         // under fusion_mutex_
    std::unique_ptr<ObjectPool> frame_pool_;  // where the frame reader copies each frame
    std::mutex fusion_mutex_;                 // both queues
    std::condition_variable fusion_cv_;
    std::atomic<uint64_t> trigger_counter_{0};
    std::atomic<uint64_t> frame_counter_{0};

    std::atomic<bool> callbacks_closed_{false};  // no callback runs any more (the camera is going away)

private:
    // True, with `out` emptied and the reason logged, on the thread that completes the batches.
    bool batchWaitRefused(std::vector<Event2D>& out) const;
    void logDrops();  // caller holds fusion_mutex_
    void countDroppedLocked(bool frame);

    EventBatcher batches_;

    std::atomic<uint64_t> dropped_frames_{0};
    std::atomic<uint64_t> dropped_records_{0};
    uint64_t unlogged_frame_drops_ = 0;   // under fusion_mutex_
    uint64_t unlogged_record_drops_ = 0;  // under fusion_mutex_
    std::chrono::steady_clock::time_point last_drop_log_{};
};

}  // namespace zelvan
