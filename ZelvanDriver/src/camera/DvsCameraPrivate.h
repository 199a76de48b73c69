// The streaming engine shared by every event camera: camera loop, statistics loop, callbacks,
// batches and the recorder hand-off.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "FileRecorder/DvsFileRecorder.h"
#include "camera/EventBatcher.h"
#include "sensor/Sensor.h"
#include "zelvan/Decoder.h"
#include "zelvan/DvsCamera.h"
#include "zelvan/Interface.h"

namespace zelvan {

class RegisterController;

// Cameras are made with makeCamera (below): their deleter lets a callback drop the last reference.
class DvsCameraPrivate : public DvsCamera {
public:
    explicit DvsCameraPrivate(const CameraDescription& description);
    ~DvsCameraPrivate() override;

    uint32_t addEventsStreamHandleCallback(EventsCallback callback) override;
    bool removeEventsStreamHandleCallback(uint32_t id) override;
    uint32_t addTriggerInCallback(TriggerCallback callback) override;
    bool removeTriggerInCallback(uint32_t id) override;
    bool getNextBatch(std::vector<Event2D>& out) override;
    bool getNextBatch(std::vector<Event2D>& out, std::chrono::milliseconds timeout) override;
    // 0 is refused (logged): a batch must hold at least one event / last at least 1 us.
    void setBatchEventsNum(uint64_t events) override;
    void setBatchEventsTime(uint64_t microseconds) override;
    int stop() override;
    [[nodiscard]] int startRecording(std::string path) override;
    void setFileCacheTime(uint16_t seconds, std::string prefix) override;
    int stopRecording() override;
    void setStatisticInfoCallback(StatisticsCallback callback) override;
    bool isStreaming() const override { return running_.load(); }
    bool isRecording() const override { return recorder_.isRecording(); }
    ZvRecordingStatus getRecordingStatus() const override { return recorder_.status(); }
    RecorderError lastRecordingError() const override { return recorder_.lastError(); }
    bool waitForRecordingMerged(std::chrono::milliseconds timeout) override {
        return recorder_.waitForMerge(timeout);
    }
    ZvStreamCounters getStreamCounters() const override;

    bool isInited() const { return inited_; }
    bool isRunning() const { return running_.load(); }
    DvsFileRecorder& recorder() { return recorder_; }
    Decoder* decoder() const { return decoder_.get(); }
    const std::shared_ptr<Interface>& interface() const { return interface_; }
    // Raw buffers the stream lost because the camera loop fell behind.
    uint64_t lostBuffers() const {
        return sensor_ && sensor_->eventStream() ? sensor_->eventStream()->lostBuffers() : 0;
    }

protected:
    virtual std::string getRawEventStreamFormat() const = 0;

    // Steps of start() shared by every model once the camera is inited and not running.
    [[nodiscard]] int startStreaming();

    void cameraLoop();
    void statisticLoop();
    void eventStreamArrived(Event2D* first, Event2D* last);
    void triggerInArrived(EventTriggerIn trigger);

    // Ends streaming. From one of the camera's own threads nothing is joined: the threads end by
    // themselves and the next start(), stop() or the destructor joins them.
    int stopStreaming(bool from_own_thread);
    // Joins camera-loop and statistics threads that have ended or are ending; not from those threads.
    void joinThreads();
    // Ends streaming and joins the threads; every model's destructor calls it first, while the whole
    // object still exists.
    void shutdown();
    friend struct CameraDeleter;

public:
    // True on the camera's own camera-loop or statistics thread.
    bool onOwnThread() const;
    // True, with `out` emptied and the reason logged, on the thread that completes the batches.
    bool batchWaitRefused(std::vector<Event2D>& out) const;
    // No callback is called any more (the camera was released and is on its way out).
    void closeCallbacks() { callbacks_closed_ = true; }

protected:
    std::unordered_map<uint32_t, EventsCallback> event_callbacks_;
    uint32_t next_event_callback_id_ = 0;
    std::mutex event_callback_mutex_;
    std::unordered_map<uint32_t, TriggerCallback> trigger_callbacks_;
    uint32_t next_trigger_callback_id_ = 0;
    std::mutex trigger_callback_mutex_;

    // How decoded events are collected into batches for getNextBatch().
    EventBatcher batches_;

    std::shared_ptr<RegisterController> register_controller_;
    std::unique_ptr<Decoder> decoder_;
    std::shared_ptr<Interface> interface_;
    Interface::StatusWord interface_status_word_ = std::make_shared<std::atomic<uint64_t>>(0);
    std::thread camera_loop_thread_;
    bool inited_ = false;
    std::atomic<bool> running_{false};  // between start and stop (or the loss of the device)

    DvsFileInfo file_info_;
    DvsFileRecorder recorder_;
    std::unique_ptr<Sensor> sensor_;

    std::thread statistics_thread_;
    std::mutex statistics_mutex_;  // guards the callback and wakes the statistics loop
    std::condition_variable statistics_cv_;
    StatisticsCallback statistics_callback_;

    std::mutex control_mutex_;  // serialises start and stop from user threads
    std::atomic<bool> destroying_{false};
    std::atomic<bool> callbacks_closed_{false};
};

// Deletes a camera; when the last reference goes inside one of the camera's own callbacks, streaming
// ends at once and the camera is deleted on the process-wide joiner thread, which joins the camera's
// threads as any other owner would.
struct CameraDeleter {
    void operator()(DvsCameraPrivate* camera) const;
};

template <typename Camera, typename... Args>
std::shared_ptr<Camera> makeCamera(Args&&... args) {
    return std::shared_ptr<Camera>(new Camera(std::forward<Args>(args)...), CameraDeleter{});
}

}  // namespace zelvan
