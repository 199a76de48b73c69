// What the data transfers of simulated cameras share: a producer thread that fills pooled buffers and
// a bounded queue that hands them to one consumer. A paced producer loses a whole buffer when the
// queue is full (counted and logged at most once a second); an unpaced one waits for room.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zelvan/EventStream.h"
#include "zelvan/Interface.h"
#include "zelvan/ObjectPool.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan::simtransfer {

using Clock = std::chrono::steady_clock;

class SimTransfer : public DataTransfer {
public:
    // `what` names the buffers in messages ("event", "frame"). A producer that redraws only part of
    // each buffer asks to `keep_contents`: buffers then come back from the pool (and from a loss)
    // with the bytes they held, otherwise empty.
    SimTransfer(std::shared_ptr<Interface> interface, uint32_t pool_count, uint32_t buffer_bytes,
                uint32_t queue_depth, const char* what, ObjectPool::Allocation allocation,
                bool keep_contents = false);
    // A subclass's destructor must call stop() first: the producer thread runs its run().
    ~SimTransfer() override = default;

    void start() final;
    void stop() final;
    int waitNextBuffer(int timeout_ms) final;
    std::optional<RawBuffer> takeBuffer() final;
    uint64_t lostBuffers() const final;
    uint64_t lostBeforeTaken() const final;
    uint64_t deliveredBytes() const final;

protected:
    static constexpr auto kIdlePoll = std::chrono::milliseconds(1);

    // The producer thread's body: returns when pause() or handOver() report a stop.
    virtual void run() = 0;

    RawBuffer freshBuffer();
    bool stopRequested() const;
    // Waits on the producer's condition until `deadline` or stop; true when stopping.
    bool pause(Clock::time_point deadline);
    // Queues a filled buffer and gives `buffer` a fresh one. A paced device loses it when the queue is
    // full (the buffer is then emptied for reuse); an unpaced one waits for room. False when stopping.
    bool handOver(RawBuffer& buffer, bool paced);
    // Tells waiting consumers that the camera is gone (or back); what was queued is lost with it.
    void setGone(bool gone);
    // Counts buffers the device lost on its own side (frames nobody read in time), logged like the
    // buffers the queue drops.
    void countLost(uint64_t buffers);

    std::shared_ptr<Interface> interface_;
    std::shared_ptr<sim::SimDevice> device_;
    std::string serial_;
    const uint32_t buffer_bytes_;

private:
    void clearQueue();
    void logLosses(bool final);  // caller holds mutex_

    const uint32_t depth_;
    const char* what_;
    const bool keep_contents_;
    ObjectPool pool_;

    std::mutex control_mutex_;  // serialises start and stop
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable ready_;          // consumers wait for buffers
    std::condition_variable wake_producer_;  // the producer waits for room, its deadline or stop
    std::vector<RawBuffer> ring_;            // queue of filled buffers: head_, count_
    std::vector<uint64_t> ring_lost_;        // for each of them, lost_ when it was queued
    uint64_t taken_lost_ = 0;                // the same for the buffer taken last
    size_t head_ = 0;
    size_t count_ = 0;
    bool running_ = false;
    bool stopping_ = false;
    bool gone_ = false;
    uint64_t lost_ = 0;
    uint64_t unlogged_lost_ = 0;
    uint64_t delivered_bytes_ = 0;
    Clock::time_point last_loss_log_{};
};

// The frame endpoint of a simulated fusion camera (SimFrameTransfer.cpp).
std::unique_ptr<DataTransfer> makeFrameTransfer(const std::shared_ptr<Interface>& interface,
                                                uint32_t transfers_in_flight, uint32_t buffer_bytes,
                                                uint32_t queue_depth);

}  // namespace zelvan::simtransfer
