#include "processing/DvsApsFusionProccessor.h"

#include <QDebug>
#include <algorithm>

DvsApsFusionProccessor::DvsApsFusionProccessor(Pairing pairing)
    : pairing_(pairing),
      pool_(zelvan::ZvObjectPoolFactory::createUniqueZvObjectPoolWithArgs(kPoolSize, kSegmentCapacity)) {
    current_ = takeSegment();
}

DvsApsFusionProccessor::~DvsApsFusionProccessor() {
    std::lock_guard<std::mutex> lock(mutex_);
    callback_ = nullptr;
    clearLocked();
    current_.reset();
}

void DvsApsFusionProccessor::setPairing(Pairing pairing) {
    std::lock_guard<std::mutex> lock(mutex_);
    pairing_ = pairing;
    clearLocked();
}

void DvsApsFusionProccessor::setWaitForEvents(bool wait) {
    std::lock_guard<std::mutex> lock(mutex_);
    waitForEvents_ = wait;
    fusionData();
}

DvsApsFusionProccessor::Pairing DvsApsFusionProccessor::pairing() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pairing_;
}

DvsApsFusionProccessor::Segment DvsApsFusionProccessor::takeSegment() {
    Segment segment = pool_->acquire();
    segment->clear();
    return segment;
}

void DvsApsFusionProccessor::addApsData(zelvan::ApsFrame frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (frames_.size() >= kMaxQueuedFrames) {
        // The oldest frame goes; in sync-signal pairing its segment, when it comes, is discarded.
        frames_.pop_front();
        ++counters_.droppedFrames;
        noteDrop();
    }
    const uint64_t end = frame.endTimestamp();
    if (end > lastFrameEnd_ && lastFrameEnd_ != 0) framePeriod_ = end - lastFrameEnd_;
    lastFrameEnd_ = end;
    // The frame was copied for this call already: it is kept as it is.
    frames_.push_back(QueuedFrame{nextFrameIndex_++, std::move(frame)});
    fusionData();
}

void DvsApsFusionProccessor::addDvsData(const zelvan::Event2D* first, const zelvan::Event2D* last) {
    if (!first || last <= first) return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<zelvan::Event2D>& events = *current_;
    size_t count = size_t(last - first);
    if (count > kSegmentCapacity) {
        // More than a segment holds at once: only the latest events are kept.
        counters_.droppedEvents += count - kSegmentCapacity;
        first = last - kSegmentCapacity;
        count = kSegmentCapacity;
        events.clear();
        noteDrop();
    }
    if (events.size() + count > kSegmentCapacity) {
        // Nothing closed this segment for long: its oldest half (at least the room needed) goes, so
        // that it never grows beyond its capacity.
        const size_t drop =
            std::min(events.size(), std::max(events.size() / 2, events.size() + count - kSegmentCapacity));
        events.erase(events.begin(), events.begin() + std::ptrdiff_t(drop));
        counters_.droppedEvents += drop;
        noteDrop();
    }
    events.insert(events.end(), first, last);
    if (pairing_ == Pairing::ByFrameTime) fusionData();
}

void DvsApsFusionProccessor::addSyncSignal(const zelvan::EventTriggerIn& t) {
    if (t.polarity != 1) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (pairing_ != Pairing::BySyncSignal) return;
    if (segments_.size() >= kMaxQueuedSegments) {
        segments_.pop_front();
        ++counters_.droppedSegments;
        noteDrop();
    }
    segments_.push_back(QueuedSegment{nextSegmentIndex_++, std::move(current_)});
    current_ = takeSegment();
    fusionData();
}

void DvsApsFusionProccessor::addFusionDataCallback(FusionCallback callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    callback_ = std::move(callback);
}

void DvsApsFusionProccessor::removeFusionDataCallback() {
    std::lock_guard<std::mutex> lock(mutex_);
    callback_ = nullptr;
}

void DvsApsFusionProccessor::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    clearLocked();
}

void DvsApsFusionProccessor::clearLocked() {
    frames_.clear();
    segments_.clear();
    if (current_) current_->clear();
    nextFrameIndex_ = 0;
    nextSegmentIndex_ = 0;
    lastFrameEnd_ = 0;
    framePeriod_ = 0;
}

void DvsApsFusionProccessor::setDropLogInterval(std::chrono::milliseconds interval) {
    std::lock_guard<std::mutex> lock(mutex_);
    dropLogInterval_ = interval;
}

DvsApsFusionProccessor::Counters DvsApsFusionProccessor::counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

size_t DvsApsFusionProccessor::queuedFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
}

size_t DvsApsFusionProccessor::queuedSegments() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return segments_.size();
}

size_t DvsApsFusionProccessor::currentSegmentSize() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_ ? current_->size() : 0;
}

void DvsApsFusionProccessor::deliver(zelvan::ApsFrame& frame, zelvan::Event2D* first, zelvan::Event2D* last) {
    ++counters_.pairs;
    if (callback_) callback_(frame, first, last);
}

void DvsApsFusionProccessor::fusionData() {
    if (pairing_ == Pairing::ByFrameTime) {
        fuseByFrameTime();
        return;
    }
    while (!frames_.empty() && !segments_.empty()) {
        QueuedFrame& frame = frames_.front();
        QueuedSegment& segment = segments_.front();
        // A partner dropped from its full queue leaves the other one alone: it is discarded, and the
        // pairs after it stay aligned.
        if (frame.index < segment.index) {
            frames_.pop_front();
            ++counters_.droppedFrames;
            noteDrop();
            continue;
        }
        if (segment.index < frame.index) {
            segments_.pop_front();
            ++counters_.droppedSegments;
            noteDrop();
            continue;
        }
        std::vector<zelvan::Event2D>& events = *segment.events;
        deliver(frame.frame, events.data(), events.data() + events.size());
        frames_.pop_front();
        segments_.pop_front();  // the vector goes back to the pool once nobody holds it
    }
}

void DvsApsFusionProccessor::fuseByFrameTime() {
    std::vector<zelvan::Event2D>& events = *current_;
    while (!frames_.empty()) {
        zelvan::ApsFrame& frame = frames_.front().frame;
        const uint64_t end = frame.endTimestamp();
        // Complete once the stream has passed the frame's exposure end; without later events for two
        // frame periods (or without waiting for events) it goes with what it has.
        const bool complete = !events.empty() && events.back().timestamp > end;
        const uint64_t newest = frames_.back().frame.endTimestamp();
        const bool waited_enough = framePeriod_ != 0 && newest >= end && newest - end >= 2 * framePeriod_;
        if (!complete && !waited_enough && waitForEvents_) return;
        const auto split =
            std::upper_bound(events.begin(), events.end(), end,
                             [](uint64_t t, const zelvan::Event2D& e) { return t < e.timestamp; });
        const size_t taken = size_t(split - events.begin());
        deliver(frame, events.data(), events.data() + taken);
        events.erase(events.begin(), split);
        frames_.pop_front();
    }
}

void DvsApsFusionProccessor::noteDrop() {
    const auto now = std::chrono::steady_clock::now();
    if (lastDropLog_ != std::chrono::steady_clock::time_point{} && now - lastDropLog_ < dropLogInterval_)
        return;
    lastDropLog_ = now;
    qWarning().noquote()
        << QString("Fusion pairing fell behind: %1 frames, %2 segments and %3 events dropped so far.")
               .arg(counters_.droppedFrames)
               .arg(counters_.droppedSegments)
               .arg(counters_.droppedEvents);
}
