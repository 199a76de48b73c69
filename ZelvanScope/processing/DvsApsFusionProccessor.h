// Pairs each frame of a fusion camera with the events that belong to it and hands the pairs, in
// order, to one fusion callback.
//
// Two ways of cutting the event stream into segments:
// - BySyncSignal: a sync signal of polarity 1 closes the segment being filled; the k-th frame after
//   a clear() goes with the k-th closed segment (the first segment holds the events since
//   construction or clear()). Signals of other polarities change nothing.
// - ByFrameTime: the segment of a frame holds the events after the previous frame's exposure end up
//   to and including its own exposure end (ApsFrame::endTimestamp, on the event clock). A frame waits
//   until an event later than its end has arrived, so that its segment is complete, but no longer
//   than two frame periods (learned from the frames' exposure ends): once a frame two periods later
//   has arrived and still no later event, it goes with the events it has (a still scene, a small ROI,
//   a capped event rate or a stopped event sensor give no events). Without waiting for events (the
//   frame-only view) every frame goes at once. Sync signals are not used. This needs no signal from
//   the device, and a lost frame loses only its own events.
//
// Both queues are bounded: a full frame queue drops its oldest frame, a full segment queue its oldest
// segment, and a segment filled to its capacity while nothing closes it drops its oldest half. Each
// drop is counted (counters()) and logged at most once a second. Items are numbered since clear(), so
// that a frame whose segment was dropped (or the other way round) is discarded instead of shifting
// every later pair.
//
// Threads: addApsData runs on the camera's fusion thread, addDvsData and addSyncSignal on its event
// thread; every operation takes the one lock. The fusion callback runs under that lock, on whichever
// thread completed a pair, and must not call back into this object.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "zelvan/ApsFrame.h"
#include "zelvan/Types.h"
#include "zelvan/ZvObjectPool.h"

class DvsApsFusionProccessor {
public:
    using FusionCallback = std::function<void(zelvan::ApsFrame&, zelvan::Event2D*, zelvan::Event2D*)>;
    enum class Pairing : uint8_t { BySyncSignal, ByFrameTime };

    static constexpr size_t kPoolSize = 10;
    static constexpr size_t kSegmentCapacity = 0x300000;  // events a pooled segment holds without growing
    static constexpr size_t kMaxQueuedFrames = 4;
    static constexpr size_t kMaxQueuedSegments = 8;

    struct Counters {
        uint64_t pairs = 0;            // pairs handed out (to the callback, or discarded without one)
        uint64_t droppedFrames = 0;    // frames dropped from a full queue or left without their segment
        uint64_t droppedSegments = 0;  // segments dropped from a full queue or left without their frame
        uint64_t droppedEvents = 0;    // events dropped from a segment that reached its capacity
    };

    explicit DvsApsFusionProccessor(Pairing pairing = Pairing::BySyncSignal);
    ~DvsApsFusionProccessor();
    DvsApsFusionProccessor(const DvsApsFusionProccessor&) = delete;
    DvsApsFusionProccessor& operator=(const DvsApsFusionProccessor&) = delete;

    // Chooses how segments are cut; clears both queues and the segment being filled.
    void setPairing(Pairing pairing);
    Pairing pairing() const;
    // ByFrameTime: whether a frame waits for the events up to its exposure end (default) or goes at
    // once with the events already there.
    void setWaitForEvents(bool wait);

    // Queues a copy of `frame`, then pairs.
    void addApsData(zelvan::ApsFrame frame);
    // Appends the events of [first, last) to the segment being filled (ByFrameTime: then pairs).
    void addDvsData(const zelvan::Event2D* first, const zelvan::Event2D* last);
    // BySyncSignal: polarity 1 closes the segment being filled and starts an empty one, then pairs.
    void addSyncSignal(const zelvan::EventTriggerIn& t);
    void addFusionDataCallback(FusionCallback callback);
    void removeFusionDataCallback();
    // Empties both queues and the segment being filled; numbering starts again.
    void clear();

    // The least time between two log lines about drops (1 s; tests log every drop with 0).
    void setDropLogInterval(std::chrono::milliseconds interval);
    Counters counters() const;
    size_t queuedFrames() const;
    size_t queuedSegments() const;
    // Events in the segment being filled.
    size_t currentSegmentSize() const;

private:
    using Segment = std::shared_ptr<std::vector<zelvan::Event2D>>;
    struct QueuedFrame {
        uint64_t index;
        zelvan::ApsFrame frame;
    };
    struct QueuedSegment {
        uint64_t index;
        Segment events;
    };

    // The pairing, with the lock held.
    void fusionData();
    void fuseByFrameTime();
    void deliver(zelvan::ApsFrame& frame, zelvan::Event2D* first, zelvan::Event2D* last);
    Segment takeSegment();
    void clearLocked();
    // Logs a drop, at most once a second.
    void noteDrop();

    mutable std::mutex mutex_;
    Pairing pairing_;
    std::unique_ptr<zelvan::ZvObjectPool<std::vector<zelvan::Event2D>>> pool_;
    std::deque<QueuedSegment> segments_;
    std::deque<QueuedFrame> frames_;
    Segment current_;
    FusionCallback callback_;
    bool waitForEvents_ = true;
    // ByFrameTime: the latest frame's exposure end and the latest positive step between two frames.
    uint64_t lastFrameEnd_ = 0;
    uint64_t framePeriod_ = 0;
    uint64_t nextFrameIndex_ = 0;
    uint64_t nextSegmentIndex_ = 0;
    Counters counters_;
    std::chrono::steady_clock::time_point lastDropLog_{};
    std::chrono::milliseconds dropLogInterval_{1000};
};
