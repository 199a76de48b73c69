#include "zelvan/EventStream.h"

#include "zelvan/Logger.h"

namespace zelvan {

EventStream::EventStream(std::unique_ptr<DataTransfer> transfer) : transfer_(std::move(transfer)) {}

EventStream::~EventStream() { stop(); }

void EventStream::start() {
    if (!transfer_) {
        ZV_LOG(LOG_ERROR, "Event stream cannot start: it has no data transfer");
        return;
    }
    std::lock_guard<std::mutex> lock(control_mutex_);
    if (started_.load()) return;
    transfer_->start();
    started_.store(true);
}

void EventStream::stop() {
    std::lock_guard<std::mutex> lock(control_mutex_);
    if (!started_.load()) return;
    transfer_->stop();
    started_.store(false);
}

int EventStream::waitNextBuffer() {
    if (!transfer_) return -1;
    return transfer_->waitNextBuffer(kWaitMs);
}

std::optional<RawBuffer> EventStream::getLatestBuffer() {
    if (!transfer_) return std::nullopt;
    return transfer_->takeBuffer();
}

uint64_t EventStream::lostBuffers() const { return transfer_ ? transfer_->lostBuffers() : 0; }

uint64_t EventStream::lostBeforeLatest() const { return transfer_ ? transfer_->lostBeforeTaken() : 0; }

}  // namespace zelvan
