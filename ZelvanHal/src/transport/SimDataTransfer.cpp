// Data transfer from the event endpoint of a simulated camera: a producer thread takes device time in
// short slices, has the device encode each slice and packs the bytes into pooled buffers for a
// bounded queue. The queue machinery (SimTransfer) is shared with the frame endpoint of fusion cameras.
#include <algorithm>
#include <chrono>

#include "SimTransfer.h"
#include "zelvan/Logger.h"
#include "zelvan/StringUtils.h"
#include "zelvan/ThreadUtils.h"

namespace zelvan {

namespace simtransfer {

using std::chrono::microseconds;
using std::chrono::milliseconds;

namespace {
constexpr auto kGoneWait = milliseconds(10);  // how long a wait reports a gone camera
constexpr auto kLossLogInterval = std::chrono::seconds(1);
}  // namespace

SimTransfer::SimTransfer(std::shared_ptr<Interface> interface, uint32_t pool_count, uint32_t buffer_bytes,
                         uint32_t queue_depth, const char* what, ObjectPool::Allocation allocation,
                         bool keep_contents)
    : interface_(std::move(interface)),
      device_(interface_->device()),
      serial_(interface_->description().serial),
      buffer_bytes_(std::max<uint32_t>(buffer_bytes, 64)),
      depth_(std::max<uint32_t>(queue_depth, 1)),
      what_(what),
      keep_contents_(keep_contents),
      pool_(pool_count, false, buffer_bytes_, allocation),
      ring_(depth_),
      ring_lost_(depth_, 0) {}

void SimTransfer::start() {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
        running_ = true;
        gone_ = false;
        clearQueue();
    }
    thread_ = std::thread([this] { run(); });
}

void SimTransfer::stop() {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_producer_.notify_all();
    ready_.notify_all();
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    clearQueue();
    logLosses(true);
}

int SimTransfer::waitNextBuffer(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!running_) return 0;
    ready_.wait_for(lock, milliseconds(std::max(timeout_ms, 0)),
                    [this] { return count_ > 0 || stopping_ || gone_; });
    if (count_ > 0) return static_cast<int>(count_);
    if (stopping_) return 0;
    if (gone_) {
        ready_.wait_for(lock, std::min<milliseconds>(kGoneWait, milliseconds(std::max(timeout_ms, 0))),
                        [this] { return count_ > 0 || stopping_; });
        return count_ > 0 ? static_cast<int>(count_) : -1;
    }
    return 0;
}

std::optional<RawBuffer> SimTransfer::takeBuffer() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (count_ == 0) return std::nullopt;
    RawBuffer buffer = std::move(ring_[head_]);
    taken_lost_ = ring_lost_[head_];
    head_ = (head_ + 1) % depth_;
    --count_;
    delivered_bytes_ += buffer->size();
    lock.unlock();
    wake_producer_.notify_all();
    return buffer;
}

uint64_t SimTransfer::lostBuffers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
}

uint64_t SimTransfer::lostBeforeTaken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return taken_lost_;
}

uint64_t SimTransfer::deliveredBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_bytes_;
}

void SimTransfer::clearQueue() {
    for (auto& b : ring_) b.reset();
    head_ = 0;
    count_ = 0;
}

RawBuffer SimTransfer::freshBuffer() {
    RawBuffer buffer = pool_.acquire();
    if (keep_contents_) return buffer;
    buffer->clear();
    if (buffer->capacity() < buffer_bytes_) buffer->reserve(buffer_bytes_);
    return buffer;
}

bool SimTransfer::stopRequested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

bool SimTransfer::pause(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_producer_.wait_until(lock, deadline, [this] { return stopping_; });
    return stopping_;
}

void SimTransfer::logLosses(bool final) {
    if (unlogged_lost_ == 0) return;
    const auto now = Clock::now();
    if (!final && now - last_loss_log_ < kLossLogInterval) return;
    ZV_LOG(LOG_WARNING, "Camera %s: %llu %s buffer(s) lost, the consumer is too slow (%llu lost in total)",
           serial_.c_str(), static_cast<unsigned long long>(unlogged_lost_), what_,
           static_cast<unsigned long long>(lost_));
    unlogged_lost_ = 0;
    last_loss_log_ = now;
}

void SimTransfer::countLost(uint64_t buffers) {
    if (buffers == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    lost_ += buffers;
    unlogged_lost_ += buffers;
    logLosses(false);
}

bool SimTransfer::handOver(RawBuffer& buffer, bool paced) {
    if (buffer->empty()) return true;
    std::unique_lock<std::mutex> lock(mutex_);
    if (paced) {
        if (count_ == depth_) {
            ++lost_;
            ++unlogged_lost_;
            logLosses(false);
            if (!keep_contents_) buffer->clear();  // reused in place
            return !stopping_;
        }
    } else {
        while (count_ == depth_ && !stopping_) {
            wake_producer_.wait_for(lock, kIdlePoll, [this] { return count_ < depth_ || stopping_; });
            if (!device_->isConnected()) return !stopping_;  // keeps the buffer; the loop drops it
        }
        if (stopping_) return false;
    }
    ring_[(head_ + count_) % depth_] = std::move(buffer);
    ring_lost_[(head_ + count_) % depth_] = lost_;
    ++count_;
    lock.unlock();
    ready_.notify_all();
    buffer = freshBuffer();
    return true;
}

void SimTransfer::setGone(bool gone) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_ == gone) return;
        gone_ = gone;
        if (gone) {
            // What was in flight when the cable came out is lost with it: counted, so that the buffers
            // after it tell the losses before them.
            lost_ += count_;
            clearQueue();
        }
    }
    ready_.notify_all();
}

namespace {

constexpr uint64_t kSliceUs = 1000;         // device time per production step
constexpr uint64_t kMaxBufferAgeUs = 5000;  // a partly filled buffer goes out after this much device time
constexpr auto kMaxLag = milliseconds(50);  // a paced producer further behind gives up catching up
// A paced producer that wakes makes the slices due within this lead at once, so that it sleeps about
// once a millisecond rather than once a slice (a dense scene has slices of a few hundred us).
constexpr auto kPacedLead = milliseconds(1);
constexpr uint64_t kWorstBytesPerEvent = 6;  // row, column and time word

class SimEventTransfer final : public SimTransfer {
public:
    SimEventTransfer(std::shared_ptr<Interface> interface, uint32_t transfers_in_flight,
                     uint32_t buffer_bytes, uint32_t queue_depth)
        : SimTransfer(std::move(interface), queue_depth + transfers_in_flight + 2, buffer_bytes, queue_depth,
                      "event", ObjectPool::Allocation::Upfront),
          // The board of a fusion camera sends the sensor's 16-bit words most significant byte first.
          swap_bytes_(device_->isFusion()) {
        // Short enough that a slice of the scene's rate fits a quarter buffer at its densest.
        const uint64_t rate = device_->config().event_rate;
        const uint64_t fit =
            rate == 0 ? kSliceUs : buffer_bytes_ * 1'000'000ull / (4 * kWorstBytesPerEvent * rate);
        slice_us_ = std::clamp<uint64_t>(fit, 1, kSliceUs);
        slice_.reserve(buffer_bytes_);
    }

    ~SimEventTransfer() override { stop(); }

private:
    void run() override {
        setCurrentThreadName("zv-sim-events");
        const bool paced = device_->config().paced;
        RawBuffer buffer = freshBuffer();
        uint64_t buffer_start = 0;  // device time of the buffer's first slice
        Clock::time_point wall_ref = Clock::now();
        uint64_t device_ref = device_->clock();
        bool rebase = true;

        while (true) {
            if (!device_->isConnected()) {
                buffer->clear();
                setGone(true);
                if (pause(Clock::now() + kIdlePoll)) break;
                rebase = true;
                continue;
            }
            setGone(false);
            if (!device_->isEmitting()) {
                if (!handOver(buffer, paced)) break;
                if (pause(Clock::now() + kIdlePoll)) break;
                rebase = true;
                continue;
            }
            const uint64_t t0 = device_->clock();
            if (rebase) {
                wall_ref = Clock::now();
                device_ref = t0;
                rebase = false;
            }
            const uint64_t t1 = t0 + slice_us_;
            if (paced) {
                const auto deadline = wall_ref + microseconds(t1 - device_ref);
                const auto now = Clock::now();
                if (now > deadline + kMaxLag) {
                    // Too far behind the wall clock to catch up: the device slows down instead.
                    wall_ref += now - deadline;
                } else if (deadline > now + kPacedLead) {
                    if (pause(deadline)) break;
                } else if (stopRequested()) {
                    break;  // catching up: a stop still ends the production at once
                }
            } else if (stopRequested()) {
                break;
            }

            slice_.clear();
            device_->produce(t0, t1, slice_);
            if (slice_.empty()) continue;  // the device stopped in between
            adaptSlice();
            if (swap_bytes_) convertEndian(slice_);
            if (!buffer->empty() && buffer->size() + slice_.size() > buffer_bytes_) {
                if (!handOver(buffer, paced)) break;
            }
            if (buffer->empty()) buffer_start = t0;
            buffer->insert(buffer->end(), slice_.begin(), slice_.end());
            if (buffer->size() >= buffer_bytes_ || t1 - buffer_start >= kMaxBufferAgeUs) {
                if (!handOver(buffer, paced)) break;
            }
        }
    }

    // Keeps one slice well inside a buffer whatever the scene's density.
    void adaptSlice() {
        if (slice_.size() > buffer_bytes_ / 2 && slice_us_ > 1) {
            slice_us_ /= 2;
        } else if (slice_.size() < buffer_bytes_ / 8 && slice_us_ < kSliceUs) {
            slice_us_ = std::min(kSliceUs, slice_us_ * 2);
        }
    }

    const bool swap_bytes_;
    uint64_t slice_us_ = kSliceUs;  // producer thread only
    std::vector<uint8_t> slice_;    // producer thread only
};

}  // namespace

}  // namespace simtransfer

std::unique_ptr<DataTransfer> createDataTransferUniquePtr(const std::shared_ptr<Interface>& interface,
                                                          uint32_t transfers_in_flight, uint32_t buffer_bytes,
                                                          uint32_t queue_depth, uint32_t endpoint) {
    if (!interface || !interface->device()) {
        ZV_LOG(LOG_ERROR, "Data transfer needs an open camera interface");
        return nullptr;
    }
    if (endpoint == kFrameEndpoint && interface->device()->isFusion()) {
        return simtransfer::makeFrameTransfer(interface, transfers_in_flight, buffer_bytes, queue_depth);
    }
    if (endpoint != kEventEndpoint) {
        ZV_LOG(LOG_ERROR, "Camera %s has no data endpoint 0x%02x", interface->description().serial.c_str(),
               endpoint);
        return nullptr;
    }
    return std::make_unique<simtransfer::SimEventTransfer>(interface, transfers_in_flight, buffer_bytes,
                                                           queue_depth);
}

}  // namespace zelvan
