// Decodes the frames of a recording ahead of playback on a thread of its own and resamples them onto
// the event sensor's grid, so that showing a frame only takes a decoded one from a short queue.
//
// Threads: one decoding thread, owned and joined by this object (stop() and the destructor). The
// other operations may be called from any one thread at a time (the playback thread, or the GUI
// thread while playback is stopped); a seek or a rewind waits for the frame being decoded and decodes
// the frame it asks for itself; once it has that frame it drops the queue and decoding ahead goes on
// after it. A failed seek leaves the queue as it was and puts the reader back after the last frame
// decoded, so that playing and stepping go on from where they were.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "zelvan/ApsFrame.h"

namespace zelvan {
class ApsFileReader;
}
class Calibrator;

class FusionFrameQueue {
public:
    static constexpr size_t kFramesAhead = 4;

    // `reader` is loaded; `timestamps` are its frames' times (for the rewind). The calibrator
    // outlives this object.
    FusionFrameQueue(std::shared_ptr<zelvan::ApsFileReader> reader, std::vector<uint64_t> timestamps,
                     Calibrator& calibrator);
    ~FusionFrameQueue();
    FusionFrameQueue(const FusionFrameQueue&) = delete;
    FusionFrameQueue& operator=(const FusionFrameQueue&) = delete;

    // The frame at or before `timestamp` (presentation time), resampled; decoding ahead goes on from
    // the frame after it. False (and `frame`, the queue and what next() gives untouched) when there
    // is none or it cannot be read. `frame`'s old buffer is reused for a later frame.
    bool seek(uint64_t timestamp, zelvan::ApsFrame& frame);
    // The first frame, resampled; decoding ahead goes on from the second. Listed frames that cannot
    // be decoded are skipped (up to eight): the first that can be is taken.
    bool rewind(zelvan::ApsFrame& frame);
    // The next frame in file order, waiting for it to be decoded. False at the end of the file, when
    // a frame cannot be decoded, or after stop(). `frame`'s old buffer is reused for a later frame.
    bool next(zelvan::ApsFrame& frame);
    // Ends decoding ahead; next() returns false from then on.
    void stop();

    // Frames decoded and not yet taken (tests).
    size_t queued() const;
    // Frames of the file that could not be decoded and were skipped.
    uint64_t skippedFrames() const { return skipped_.load(); }

private:
    void decodeLoop();
    bool stopRequested() const;
    // Waits until no decode runs and marks the reader as the caller's (lock held).
    void claimReader(std::unique_lock<std::mutex>& lock);

    std::shared_ptr<zelvan::ApsFileReader> reader_;
    std::vector<uint64_t> timestamps_;
    Calibrator& calibrator_;

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<zelvan::ApsFrame> ready_;
    std::vector<zelvan::ApsFrame> spare_;  // resampled buffers to reuse
    bool busy_ = false;                    // someone reads the reader
    bool atEnd_ = false;                   // the decoder met the end of the file (or a failure)
    bool stopping_ = false;
    int waiting_ = 0;  // seeks waiting for the reader
    // The time of the last frame the reader gave (the reader stands after it), once there is one.
    bool placed_ = false;
    uint64_t lastRead_ = 0;
    std::atomic<uint64_t> skipped_{0};
    zelvan::ApsFrame decoded_;  // the reader's output, used only by whoever holds the reader (busy_)
    std::thread thread_;
};
