// Raw data streams from a camera: a data transfer fills buffers from one endpoint of the camera and
// an event stream hands them, in order, to one consumer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace zelvan {

class Interface;

// Endpoints of the data transfers.
inline constexpr uint32_t kEventEndpoint = 0x52;
inline constexpr uint32_t kFrameEndpoint = 0x53;

using RawBuffer = std::shared_ptr<std::vector<uint8_t>>;

// Moves data from one endpoint of a camera into buffers. Buffers wait for the consumer in a bounded
// queue; when the consumer falls behind, whole buffers are lost (as on a real bus), counted and logged.
class DataTransfer {
public:
    virtual ~DataTransfer() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    // Waits up to `timeout_ms` for a buffer; returns the number of buffers ready (0 on timeout or
    // when stopped, -1 when the camera is gone: then after a short wait, so that a consumer polling
    // a gone camera does not spin).
    virtual int waitNextBuffer(int timeout_ms) = 0;
    // Takes the oldest ready buffer, if any.
    virtual std::optional<RawBuffer> takeBuffer() = 0;
    virtual uint64_t lostBuffers() const = 0;
    // Of lostBuffers(), those lost before the buffer takeBuffer returned last: where in the stream the
    // losses fell (later ones may already be counted by lostBuffers()).
    virtual uint64_t lostBeforeTaken() const = 0;
    virtual uint64_t deliveredBytes() const = 0;
};

// A data transfer over `interface`: `transfers_in_flight` buffers of `buffer_bytes` bytes are filled
// at a time, at most `queue_depth` filled buffers wait for the consumer, from endpoint `endpoint`
// (kEventEndpoint or kFrameEndpoint). Returns nullptr when the interface is null or the endpoint
// unknown.
std::unique_ptr<DataTransfer> createDataTransferUniquePtr(const std::shared_ptr<Interface>& interface,
                                                          uint32_t transfers_in_flight, uint32_t buffer_bytes,
                                                          uint32_t queue_depth, uint32_t endpoint);

// The consumer side of a data transfer. Thread-safe: start/stop from a control thread,
// waitNextBuffer/getLatestBuffer from the consumer thread.
class EventStream {
public:
    explicit EventStream(std::unique_ptr<DataTransfer> transfer);
    ~EventStream();

    // Both idempotent. Starting a stream that has no transfer logs an error and does nothing.
    void start();
    void stop();
    bool isStarted() const { return started_.load(); }

    // Bounded wait (about 100 ms at most) for the next buffer; > 0 when one is ready, 0 on timeout or
    // when stopped, -1 when the camera is gone (or the stream has no transfer).
    int waitNextBuffer();
    // The next buffer in stream order, if one is ready.
    std::optional<RawBuffer> getLatestBuffer();

    uint64_t lostBuffers() const;
    // Buffers lost before the one getLatestBuffer returned last (see DataTransfer::lostBeforeTaken);
    // read it after a call that returned a buffer.
    uint64_t lostBeforeLatest() const;

private:
    static constexpr int kWaitMs = 100;

    std::unique_ptr<DataTransfer> transfer_;
    std::mutex control_mutex_;  // serialises start and stop
    std::atomic<bool> started_{false};
};

}  // namespace zelvan
