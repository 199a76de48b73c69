#include "camera/DvsCameraPrivate.h"

#include <cstdlib>
#include <stdexcept>

#include "zelvan/Logger.h"
#include "zelvan/ThreadUtils.h"

namespace zelvan {

namespace {
// Set on the camera's own threads, so that stop() and the deleter can tell where they run.
thread_local const DvsCameraPrivate* t_camera_loop_of = nullptr;
thread_local const DvsCameraPrivate* t_statistics_of = nullptr;
}  // namespace

void CameraDeleter::operator()(DvsCameraPrivate* camera) const {
    if (camera && camera->onOwnThread()) {
        // Released inside one of its own callbacks: this thread cannot join itself. Streaming ends
        // now; the camera is destroyed elsewhere once this callback has returned.
        camera->closeCallbacks();
        camera->stop();
        runOnJoiner([camera] {
            camera->shutdown();
            delete camera;
        });
        return;
    }
    // The threads end while the whole object exists, before any destructor runs.
    if (camera) camera->shutdown();
    delete camera;
}

DvsCameraPrivate::DvsCameraPrivate(const CameraDescription& description) : DvsCamera(description) {
    file_info_.serial_number = description.serial;
}

DvsCameraPrivate::~DvsCameraPrivate() { shutdown(); }

bool DvsCameraPrivate::onOwnThread() const { return t_camera_loop_of == this || t_statistics_of == this; }

void DvsCameraPrivate::shutdown() {
    destroying_ = true;
    batches_.close();
    if (onOwnThread()) {
        // Only a camera not made by makeCamera gets here: its thread would go on in a freed object.
        ZV_LOG(LOG_ERROR,
               "A camera is destroyed on its own thread; cameras must be created with makeCamera.");
        std::abort();
    }
    {
        std::lock_guard<std::mutex> control(control_mutex_);
        stopStreaming(false);
        joinThreads();
    }
    batches_.waitUntilNoWaiters();
}

uint32_t DvsCameraPrivate::addEventsStreamHandleCallback(EventsCallback callback) {
    std::lock_guard<std::mutex> lock(event_callback_mutex_);
    const uint32_t id = next_event_callback_id_++;
    event_callbacks_.emplace(id, std::move(callback));
    return id;
}

// A callable may own the last reference to the camera: it is destroyed after the lock is released.
bool DvsCameraPrivate::removeEventsStreamHandleCallback(uint32_t id) {
    decltype(event_callbacks_)::node_type removed;
    {
        std::lock_guard<std::mutex> lock(event_callback_mutex_);
        removed = event_callbacks_.extract(id);
    }
    return !removed.empty();
}

uint32_t DvsCameraPrivate::addTriggerInCallback(TriggerCallback callback) {
    std::lock_guard<std::mutex> lock(trigger_callback_mutex_);
    const uint32_t id = next_trigger_callback_id_++;
    trigger_callbacks_.emplace(id, std::move(callback));
    return id;
}

bool DvsCameraPrivate::removeTriggerInCallback(uint32_t id) {
    decltype(trigger_callbacks_)::node_type removed;
    {
        std::lock_guard<std::mutex> lock(trigger_callback_mutex_);
        removed = trigger_callbacks_.extract(id);
    }
    return !removed.empty();
}

void DvsCameraPrivate::setBatchEventsNum(uint64_t events) { batches_.setCount(events); }

void DvsCameraPrivate::setBatchEventsTime(uint64_t microseconds) { batches_.setTime(microseconds); }

bool DvsCameraPrivate::getNextBatch(std::vector<Event2D>& out) {
    if (batchWaitRefused(out)) return false;
    return batches_.next(out);
}

bool DvsCameraPrivate::getNextBatch(std::vector<Event2D>& out, std::chrono::milliseconds timeout) {
    if (batchWaitRefused(out)) return false;
    return batches_.next(out, timeout);
}

bool DvsCameraPrivate::batchWaitRefused(std::vector<Event2D>& out) const {
    // The camera loop completes the batches: waiting there for one would stall streaming for good.
    if (t_camera_loop_of != this) return false;
    out.clear();
    ZV_LOG(LOG_ERROR, "getNextBatch is refused inside the camera's event and trigger callbacks.");
    return true;
}

ZvStreamCounters DvsCameraPrivate::getStreamCounters() const {
    ZvStreamCounters counters;
    counters.lostBuffers = lostBuffers();
    counters.replacedBatches = batches_.replaced();
    counters.recorderDroppedBytes = recorder_.droppedBytes();
    return counters;
}

void DvsCameraPrivate::eventStreamArrived(Event2D* first, Event2D* last) {
    batches_.add(first, last);
    std::lock_guard<std::mutex> lock(event_callback_mutex_);
    for (auto& [id, callback] : event_callbacks_) {
        if (callbacks_closed_.load(std::memory_order_relaxed)) break;
        callback(first, last);
    }
}

void DvsCameraPrivate::triggerInArrived(EventTriggerIn trigger) {
    std::lock_guard<std::mutex> lock(trigger_callback_mutex_);
    for (auto& [id, callback] : trigger_callbacks_) {
        if (callbacks_closed_.load(std::memory_order_relaxed)) break;
        callback(trigger);
    }
}

int DvsCameraPrivate::startStreaming() {
    // Threads that ended on a connection loss or a stop from a callback are still to be joined.
    joinThreads();
    recorder_.setTimeSource([this]() -> std::optional<uint64_t> {
        if (!decoder_ || !decoder_->isTimeKnown()) return std::nullopt;
        return decoder_->getLastTimestamp();
    });
    if (!isConnected()) {
        ZV_LOG(LOG_ERROR, "Start camera %s failed: the device is not connected.",
               getDescription().serial.c_str());
        return -1;
    }
    if (!sensor_ || sensor_->start() != 0) {
        if (sensor_) sensor_->stop();
        ZV_LOG(LOG_ERROR, "Start camera %s failed: the sensor did not start.",
               getDescription().serial.c_str());
        return -1;
    }
    if (getDescription().interfaceType == ETH) {
        if (auto eth = std::dynamic_pointer_cast<EthInterface>(interface_)) eth->setEventStream(true);
    }
    running_ = true;
    batches_.streamStarted();
    camera_loop_thread_ = std::thread(&DvsCameraPrivate::cameraLoop, this);
    statistics_thread_ = std::thread(&DvsCameraPrivate::statisticLoop, this);
    return 0;
}

void DvsCameraPrivate::joinThreads() {
    if (camera_loop_thread_.joinable()) camera_loop_thread_.join();
    if (statistics_thread_.joinable()) statistics_thread_.join();
}

int DvsCameraPrivate::stop() {
    if (!inited_) return 0;
    if (t_camera_loop_of == this || t_statistics_of == this) return stopStreaming(true);
    std::lock_guard<std::mutex> control(control_mutex_);
    return stopStreaming(false);
}

int DvsCameraPrivate::stopStreaming(bool from_own_thread) {
    bool expected = true;
    if (!running_.compare_exchange_strong(expected, false)) {
        // Not running; threads that stopped themselves are joined here.
        if (!from_own_thread) joinThreads();
        return 0;
    }
    // Everyone waiting learns at once that streaming ended.
    batches_.streamEnded();
    {
        std::lock_guard<std::mutex> lock(statistics_mutex_);
        statistics_cv_.notify_all();
    }
    try {
        if (!from_own_thread) joinThreads();
        const int sensor_result = sensor_ ? sensor_->stop() : 0;
        if (sensor_result != 0) {
            ZV_LOG(LOG_ERROR, "Stop camera failed: the sensor did not stop.");
            return -1;
        }
        ZV_LOG(LOG_INFO, "Stop camera successfully.");
        return 0;
    } catch (const std::exception& e) {
        ZV_LOG(LOG_ERROR, "Stop camera failed: %s", e.what());
        return -1;
    }
}

void DvsCameraPrivate::cameraLoop() {
    t_camera_loop_of = this;
    setCurrentThreadName("zv-camera-loop");
    while (running_.load()) {
        auto buffer = sensor_->getNextBuffer();
        if (buffer && *buffer) {
            const std::vector<uint8_t>& bytes = **buffer;
            if (recorder_.isTakingData()) recorder_.addData(bytes);
            decoder_->decode(bytes.data(), bytes.data() + bytes.size());
            continue;
        }
        if (!isConnected()) {
            stopStreaming(true);
            ZV_LOG(LOG_INFO, "Loss connection to the camera, camera loop thread exited.");
            break;
        }
    }
    t_camera_loop_of = nullptr;
}

void DvsCameraPrivate::statisticLoop() {
    t_statistics_of = this;
    setCurrentThreadName("zv-statistics");
    std::unique_lock<std::mutex> lock(statistics_mutex_);
    while (running_.load()) {
        if (statistics_cv_.wait_for(lock, std::chrono::milliseconds(1000),
                                    [this] { return !running_.load(); })) {
            break;
        }
        StatisticsCallback callback = statistics_callback_;
        if (!callback || callbacks_closed_.load()) continue;
        lock.unlock();
        callback(ZvStatisticInfo(decoder_->getDataRate(), decoder_->getEventRate()));
        callback = nullptr;
        lock.lock();
    }
    t_statistics_of = nullptr;
}

void DvsCameraPrivate::setStatisticInfoCallback(StatisticsCallback callback) {
    {
        std::lock_guard<std::mutex> lock(statistics_mutex_);
        statistics_callback_.swap(callback);
    }
    // `callback` now holds the previous callable, destroyed here, outside the lock.
}

int DvsCameraPrivate::startRecording(std::string path) {
    if (!inited_) throw std::runtime_error("Camera is not inited");
    DvsFileInfo info = file_info_;
    info.dvs_start_timestamp = decoder_ ? decoder_->getLastTimestamp() : 0;
    info.date = std::chrono::system_clock::now();
    return recorder_.startRecording(path, info) ? 0 : -1;
}

void DvsCameraPrivate::setFileCacheTime(uint16_t seconds, std::string prefix) {
    recorder_.setFileCacheTime(seconds, prefix);
}

int DvsCameraPrivate::stopRecording() {
    if (!recorder_.stopRecording()) {
        const ZvRecordingStatus status = recorder_.status();
        ZV_LOG(LOG_ERROR, "Recording %s incomplete: %s", status.path.c_str(),
               status.failed ? status.error.c_str() : "a merge is still running");
        return -1;
    }
    return 0;
}

}  // namespace zelvan
