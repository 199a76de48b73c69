#include "camera/DvsCameraPrivate.h"

#include <pthread.h>

#include <stdexcept>

#include "zelvan/Logger.h"

namespace zelvan {

namespace {
// Set on the camera-loop thread, so that stop() can tell it is called from there.
thread_local bool t_on_camera_loop = false;
// A gap longer than this many batch periods yields one empty batch instead of one per period.
constexpr uint64_t kMaxEmptyBatchesPerGap = 1000;
}  // namespace

DvsCameraPrivate::DvsCameraPrivate(const CameraDescription& description) : DvsCamera(description) {
    file_info_.serial_number = description.serial;
}

DvsCameraPrivate::~DvsCameraPrivate() {
    stop();
    if (camera_loop_thread_.joinable() && !t_on_camera_loop) camera_loop_thread_.join();
    if (statistics_thread_.joinable()) statistics_thread_.join();
}

uint32_t DvsCameraPrivate::addEventsStreamHandleCallback(EventsCallback callback) {
    std::lock_guard<std::mutex> lock(event_callback_mutex_);
    const uint32_t id = next_event_callback_id_++;
    event_callbacks_.emplace(id, std::move(callback));
    return id;
}

bool DvsCameraPrivate::removeEventsStreamHandleCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(event_callback_mutex_);
    return event_callbacks_.erase(id) > 0;
}

uint32_t DvsCameraPrivate::addTriggerInCallback(TriggerCallback callback) {
    std::lock_guard<std::mutex> lock(trigger_callback_mutex_);
    const uint32_t id = next_trigger_callback_id_++;
    trigger_callbacks_.emplace(id, std::move(callback));
    return id;
}

bool DvsCameraPrivate::removeTriggerInCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(trigger_callback_mutex_);
    return trigger_callbacks_.erase(id) > 0;
}

void DvsCameraPrivate::setBatchEventsNum(uint64_t events) {
    if (events == 0) {
        ZV_LOG(LOG_WARNING, "Batch events number 0 refused: a batch holds at least one event.");
        return;
    }
    batch_events_num_ = events;
    std::lock_guard<std::mutex> lock(batch_mode_mutex_);
    batch_mode_ = 1;
}

void DvsCameraPrivate::setBatchEventsTime(uint64_t microseconds) {
    if (microseconds == 0) {
        ZV_LOG(LOG_WARNING, "Batch events time 0 refused: a batch lasts at least 1 us.");
        return;
    }
    batch_events_time_ = microseconds;
    std::lock_guard<std::mutex> lock(batch_mode_mutex_);
    batch_mode_ = 2;
}

bool DvsCameraPrivate::getNextBatch(std::vector<Event2D>& out) {
    out.clear();
    int mode;
    {
        std::lock_guard<std::mutex> lock(batch_mode_mutex_);
        mode = batch_mode_;
    }
    if (mode != 1 && mode != 2) return false;
    Batches& b = mode == 1 ? count_batches_ : time_batches_;
    std::unique_lock<std::mutex> lock(b.mutex);
    const uint64_t completed = b.completed;
    const uint64_t wakeups = b.wakeups;
    b.cv.wait(lock, [&] { return b.completed != completed || b.wakeups != wakeups; });
    out.swap(b.ready);
    return true;
}

void DvsCameraPrivate::completeBatch(Batches& b) {
    std::lock_guard<std::mutex> lock(b.mutex);
    b.ready.clear();
    b.ready.swap(b.filling);
    ++b.completed;
    b.cv.notify_all();
}

void DvsCameraPrivate::wakeBatchWaiters(Batches& b) {
    std::lock_guard<std::mutex> lock(b.mutex);
    ++b.wakeups;
    b.cv.notify_all();
}

void DvsCameraPrivate::eventStreamArrived(Event2D* first, Event2D* last) {
    int mode;
    {
        std::lock_guard<std::mutex> lock(batch_mode_mutex_);
        mode = batch_mode_;
    }
    Event2D* const span_first = first;
    if (mode == 1 && last > first) {
        auto& filling = count_batches_.filling;
        const uint64_t target = batch_events_num_;
        uint64_t n = static_cast<uint64_t>(last - first);
        for (;;) {
            const uint64_t room = target > filling.size() ? target - filling.size() : 0;
            if (n <= room) {
                filling.insert(filling.end(), first, first + n);
                break;
            }
            filling.insert(filling.end(), first, first + room);
            completeBatch(count_batches_);
            first += room;
            n -= room;
        }
    } else if (mode == 2 && last > first) {
        auto& filling = time_batches_.filling;
        const uint64_t period = batch_events_time_;
        uint64_t boundary = period + (filling.empty() ? first->timestamp : filling.front().timestamp);
        const uint64_t last_ts = (last - 1)->timestamp;
        for (;;) {
            // Events at the boundary open the next batch, as binarySearchTimestamp splits.
            if (boundary > last_ts) {
                filling.insert(filling.end(), first, last);
                break;
            }
            Event2D* split = binarySearchTimestamp(boundary, first, last);
            filling.insert(filling.end(), first, split);
            completeBatch(time_batches_);
            first = split;
            boundary += period;
            if (first < last && first->timestamp >= boundary &&
                (first->timestamp - boundary) / period > kMaxEmptyBatchesPerGap) {
                // A long silence: one empty batch stands for it.
                completeBatch(time_batches_);
                boundary = first->timestamp - (first->timestamp - boundary) % period + period;
            }
        }
    }
    std::lock_guard<std::mutex> lock(event_callback_mutex_);
    for (auto& [id, callback] : event_callbacks_) callback(span_first, last);
}

void DvsCameraPrivate::triggerInArrived(EventTriggerIn trigger) {
    std::lock_guard<std::mutex> lock(trigger_callback_mutex_);
    for (auto& [id, callback] : trigger_callbacks_) callback(trigger);
}

int DvsCameraPrivate::startStreaming() {
    // A camera loop that ended on a connection loss is still to be joined.
    if (camera_loop_thread_.joinable()) camera_loop_thread_.join();
    if (statistics_thread_.joinable()) statistics_thread_.join();
    recorder_.setTimeSource([this] { return decoder_ ? decoder_->getLastTimestamp() : 0; });
    if (!sensor_ || sensor_->start() != 0) return -1;
    if (getDescription().interfaceType == ETH) {
        if (auto eth = std::dynamic_pointer_cast<EthInterface>(interface_)) eth->setEventStream(true);
    }
    running_ = 1;
    camera_loop_thread_ = std::thread(&DvsCameraPrivate::cameraLoop, this);
    statistics_thread_ = std::thread(&DvsCameraPrivate::statisticLoop, this);
    return 0;
}

int DvsCameraPrivate::stop() {
    if (!inited_) return 0;
    if (t_on_camera_loop) return stopStreaming(true);
    std::lock_guard<std::mutex> control(control_mutex_);
    return stopStreaming(false);
}

int DvsCameraPrivate::stopStreaming(bool from_camera_loop) {
    int expected = 1;
    if (!running_.compare_exchange_strong(expected, 0)) {
        // Not running; a loop that stopped itself after a connection loss is joined here.
        if (!from_camera_loop && camera_loop_thread_.joinable()) camera_loop_thread_.join();
        return 0;
    }
    try {
        if (!from_camera_loop && camera_loop_thread_.joinable()) camera_loop_thread_.join();
        {
            std::lock_guard<std::mutex> lock(statistics_mutex_);
            statistics_cv_.notify_all();
        }
        if (statistics_thread_.joinable()) statistics_thread_.join();
        wakeBatchWaiters(count_batches_);
        wakeBatchWaiters(time_batches_);
        if (sensor_) sensor_->stop();
        ZV_LOG(LOG_INFO, "Stop camera successfully.");
        return 0;
    } catch (const std::exception& e) {
        ZV_LOG(LOG_ERROR, "Stop camera failed: %s", e.what());
        return -1;
    }
}

void DvsCameraPrivate::cameraLoop() {
    t_on_camera_loop = true;
    pthread_setname_np(pthread_self(), "zv-camera-loop");
    while (running_.load() == 1) {
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
    t_on_camera_loop = false;
}

void DvsCameraPrivate::statisticLoop() {
    pthread_setname_np(pthread_self(), "zv-statistics");
    std::unique_lock<std::mutex> lock(statistics_mutex_);
    while (running_.load() == 1) {
        if (statistics_cv_.wait_for(lock, std::chrono::milliseconds(1000), [this] { return running_.load() != 1; })) {
            break;
        }
        StatisticsCallback callback = statistics_callback_;
        if (!callback) continue;
        lock.unlock();
        callback(ZvStatisticInfo(decoder_->getDataRate(), decoder_->getEventRate()));
        lock.lock();
    }
}

void DvsCameraPrivate::setStatisticInfoCallback(StatisticsCallback callback) {
    std::lock_guard<std::mutex> lock(statistics_mutex_);
    statistics_callback_ = std::move(callback);
}

int DvsCameraPrivate::startRecording(std::string path) {
    if (!inited_) throw std::runtime_error("Camera is not inited");
    file_info_.dvs_start_timestamp = decoder_ ? decoder_->getLastTimestamp() : 0;
    file_info_.date = std::chrono::system_clock::now();
    return recorder_.startRecording(path, file_info_) ? 0 : -1;
}

void DvsCameraPrivate::setFileCacheTime(uint16_t seconds, std::string prefix) {
    recorder_.setFileCacheTime(seconds, prefix);
}

int DvsCameraPrivate::stopRecording() {
    recorder_.stopRecording();
    return 0;
}

}  // namespace zelvan
