#include "processing/FusionFrameQueue.h"

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
    ++generation_;  // a frame being decoded now is dropped when it arrives
    ++waiting_;     // the decoder does not start another one meanwhile
    cv_.wait(lock, [this] { return !busy_; });
    --waiting_;
    busy_ = true;
    for (auto& frame : ready_) spare_.push_back(std::move(frame));
    ready_.clear();
}

void FusionFrameQueue::releaseReader(std::unique_lock<std::mutex>& lock, bool at_end) {
    (void)lock;
    busy_ = false;
    atEnd_ = at_end;
    cv_.notify_all();
}

bool FusionFrameQueue::seek(uint64_t timestamp, zelvan::ApsFrame& frame) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_) return false;
    claimReader(lock);
    lock.unlock();
    zelvan::ApsFrame raw;
    const bool ok = reader_->getFrameGivenTimeStamp(timestamp, raw);
    if (ok) calibrator_.mapApsToDvs(raw, frame);
    lock.lock();
    releaseReader(lock, !ok);
    return ok;
}

bool FusionFrameQueue::rewind(zelvan::ApsFrame& frame) {
    if (timestamps_.empty()) return false;
    return seek(timestamps_.front(), frame);
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
        const uint64_t generation = generation_;
        zelvan::ApsFrame out;
        if (!spare_.empty()) {
            out = std::move(spare_.back());
            spare_.pop_back();
        }
        lock.unlock();
        const bool ok = reader_->getNextFrame(decoded_);
        if (ok) calibrator_.mapApsToDvs(decoded_, out);
        lock.lock();
        busy_ = false;
        if (generation == generation_) {
            if (ok)
                ready_.push_back(std::move(out));
            else
                atEnd_ = true;
        } else if (!out.empty()) {
            spare_.push_back(std::move(out));
        }
        cv_.notify_all();
    }
}
