#include "processing/FusionFrameQueue.h"

#include <QDebug>
#include <algorithm>

#include "processing/Calibrator.h"
#include "zelvan/ApsFileReader.h"

FusionFrameQueue::FusionFrameQueue(std::shared_ptr<zelvan::ApsFileReader> reader,
                                   std::vector<uint64_t> timestamps, Calibrator& calibrator)
    : reader_(std::move(reader)), timestamps_(std::move(timestamps)), calibrator_(calibrator) {
    // Nothing is decoded ahead before the first seek or rewind places the reader.
    atEnd_ = true;
    thread_ = std::thread(&FusionFrameQueue::decodeLoop, this);
}

FusionFrameQueue::~FusionFrameQueue() { stop(); }

void FusionFrameQueue::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

size_t FusionFrameQueue::queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ready_.size();
}

void FusionFrameQueue::claimReader(std::unique_lock<std::mutex>& lock) {
    ++waiting_;  // the decoder does not start another frame meanwhile
    cv_.wait(lock, [this] { return !busy_; });
    --waiting_;
    busy_ = true;
}

bool FusionFrameQueue::seek(uint64_t timestamp, zelvan::ApsFrame& frame) {
    // Before the first frame there is none: the reader is not touched.
    if (!timestamps_.empty() && timestamp < timestamps_.front()) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_) return false;
    claimReader(lock);
    const bool placed = placed_;
    const uint64_t last_read = lastRead_;
    // The resampled frame goes into a spare buffer, so that `frame` stays as it was on a failure.
    zelvan::ApsFrame out;
    if (!spare_.empty()) {
        out = std::move(spare_.back());
        spare_.pop_back();
    }
    lock.unlock();
    // Holding the reader gives the decoded frame's buffer to this call.
    const bool ok = reader_->getFrameGivenTimeStamp(timestamp, decoded_);
    bool at_end = false;
    if (ok) {
        calibrator_.mapApsToDvs(decoded_, out);
    } else if (placed) {
        // The failed seek may have moved the reader: back to where decoding ahead stood.
        at_end = !reader_->getFrameGivenTimeStamp(last_read, decoded_);
    }
    lock.lock();
    busy_ = false;
    if (ok) {
        for (auto& queued : ready_) spare_.push_back(std::move(queued));
        ready_.clear();
        placed_ = true;
        lastRead_ = out.startTimestamp();
        atEnd_ = false;
        if (!frame.empty()) spare_.push_back(std::move(frame));
        frame = std::move(out);
    } else {
        if (!out.empty()) spare_.push_back(std::move(out));
        // The reader could not be put back: what is queued is still given, nothing more.
        if (at_end) atEnd_ = true;
    }
    cv_.notify_all();
    return ok;
}

bool FusionFrameQueue::rewind(zelvan::ApsFrame& frame) {
    // The first frame that can be decoded, among the first few listed.
    constexpr size_t kTries = 8;
    for (size_t i = 0; i < std::min(kTries, timestamps_.size()); ++i) {
        if (seek(timestamps_[i], frame)) return true;
        if (stopRequested()) return false;
        qWarning().noquote() << "Frame at" << timestamps_[i] << "cannot be decoded: skipped.";
        skipped_.fetch_add(1);
    }
    return false;
}

bool FusionFrameQueue::stopRequested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

bool FusionFrameQueue::next(zelvan::ApsFrame& frame) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return stopping_ || !ready_.empty() || (atEnd_ && !busy_); });
    if (stopping_ || ready_.empty()) return false;
    if (!frame.empty()) spare_.push_back(std::move(frame));
    frame = std::move(ready_.front());
    ready_.pop_front();
    cv_.notify_all();
    return true;
}

void FusionFrameQueue::decodeLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        cv_.wait(lock, [this] {
            return stopping_ || (!busy_ && waiting_ == 0 && !atEnd_ && ready_.size() < kFramesAhead);
        });
        if (stopping_) return;
        busy_ = true;
        zelvan::ApsFrame out;
        if (!spare_.empty()) {
            out = std::move(spare_.back());
            spare_.pop_back();
        }
        const bool placed = placed_;
        const uint64_t last_read = lastRead_;
        lock.unlock();
        bool ok = reader_->getNextFrame(decoded_);
        if (!ok && placed) {
            // A frame the file lists after the last one read cannot be decoded: the reader is past
            // it; it is skipped and decoding goes on with the frames after it.
            const auto listed = std::upper_bound(timestamps_.begin(), timestamps_.end(), last_read);
            for (auto it = listed; !ok && it != timestamps_.end() && !stopRequested(); ++it) {
                qWarning().noquote() << "Frame at" << *it << "cannot be decoded: skipped.";
                skipped_.fetch_add(1);
                if (std::next(it) != timestamps_.end()) ok = reader_->getNextFrame(decoded_);
            }
        }
        if (ok) calibrator_.mapApsToDvs(decoded_, out);
        lock.lock();
        busy_ = false;
        if (ok) {
            lastRead_ = decoded_.startTimestamp();
            ready_.push_back(std::move(out));
        } else {
            atEnd_ = true;
            if (!out.empty()) spare_.push_back(std::move(out));
        }
        cv_.notify_all();
    }
}
