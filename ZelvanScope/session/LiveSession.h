// The open event camera of the live view: its stream, the display thread that feeds the event
// processor, its statistics and the detection of its loss.
#pragma once

#include <QObject>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "zelvan/DvsCamera.h"

class ZvEventProcessor;

// Threads: every member function runs on the GUI thread. The display thread takes batches from the
// camera and hands them to the processor; the camera's statistics thread and the display thread
// reach the GUI thread only through queued signals, which name the camera they are about, so a
// signal about a camera that has since been replaced is dropped.
class LiveSession : public QObject {
    Q_OBJECT
public:
    explicit LiveSession(ZvEventProcessor* processor, QObject* parent = nullptr);
    // Stops the stream and joins the display thread.
    ~LiveSession() override;

    // Takes `camera` as the one shown (after releasing the previous one); not yet streaming.
    void install(std::shared_ptr<zelvan::DvsCamera> camera);
    // Stops the camera's stream and lets it go.
    void release();
    const std::shared_ptr<zelvan::DvsCamera>& camera() const { return camera_; }
    bool isConnected() const { return camera_ && camera_->isConnected(); }

    // Starts the camera and the display thread: 0, or the camera's -1 when it does not start.
    int start(uint64_t batch_time_us);
    // Ends the display thread and the camera's stream.
    void stop();
    // The time one batch (one shown frame) spans, given to the camera at once when it streams and
    // at the next start otherwise.
    void setBatchTime(uint64_t batch_time_us);
    uint64_t batchTime() const { return batchTime_; }
    bool isRunning() const { return running_.load(); }
    // Reports the loss of the camera shown (cameraLost) when it is gone and the loss not yet told,
    // for losses noticed elsewhere (a recording's watch while not streaming).
    void noticeLoss();
    // The stream time of the latest events handed to the processor (microseconds).
    uint64_t latestTimestamp() const { return latestTimestamp_.load(); }

signals:
    // A batch reached the processor: a frame can be shown (from the display thread).
    void framesReady();
    // Once per second while streaming.
    void statisticsChanged(uint64_t data_rate, uint64_t event_rate);
    // The camera shown went away while streaming (or was found gone); once per start.
    void cameraLost();

private:
    void displayLoop(std::shared_ptr<zelvan::DvsCamera> camera);
    void stopDisplay();
    // Reports the loss of `camera` on the GUI thread when it is still the one shown.
    void reportLoss(const std::weak_ptr<zelvan::DvsCamera>& camera);

    ZvEventProcessor* processor_;
    std::shared_ptr<zelvan::DvsCamera> camera_;
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> latestTimestamp_{0};
    bool lossReported_ = false;
    uint64_t batchTime_ = 33333;
    std::thread displayThread_;
    std::vector<zelvan::Event2D> batch_;          // the display thread's only
    static constexpr uint32_t kDisplayRate = 33;  // batches per second
};
