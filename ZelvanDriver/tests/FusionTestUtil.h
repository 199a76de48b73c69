// Shared pieces of the fusion camera tests: a probe into the device, a simulated fusion camera per
// test, bounded waits.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camera/TandraCamera.h"
#include "zelvan/SyntheticScene.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan::fusiontest {

using namespace std::chrono_literals;

// Gives the tests the device's inner entry points.
class TandraProbe : public TandraCamera {
public:
    using FusionCameraPrivate::batchFillSize;
    using FusionCameraPrivate::BatchMode;
    using FusionCameraPrivate::completedBatches;
    using FusionCameraPrivate::eventStreamArrived;
    using FusionCameraPrivate::lastCompletedBatch;
    using TandraCamera::frameArrived;
    using TandraCamera::frameStartTimestamp;
    using TandraCamera::init;
    using TandraCamera::prepareDvsData2Save;
    using TandraCamera::startRecordingDvsStream;
    using TandraCamera::TandraCamera;
    using TandraCamera::triggerInArrived;

    // Set when the probe is deleted (after the deleter's shutdown joined every thread).
    std::shared_ptr<std::atomic<bool>> destroyed;
    ~TandraProbe() override {
        if (destroyed) *destroyed = true;
    }

    // Lets the trigger handling and the frame reader queue for pairing, as a start of both streams
    // does, without starting the sensors.
    void armPairing() {
        trigger_counter_ = 0;
        have_last_edge_ = false;
        fusing_ = true;
    }
    std::vector<SyncRecord> queuedRecords() {
        std::lock_guard<std::mutex> lock(fusion_mutex_);
        std::vector<SyncRecord> out;
        auto copy = sync_records_;
        while (!copy.empty()) out.push_back(copy.pop().record);
        return out;
    }
    size_t queuedFrames() {
        std::lock_guard<std::mutex> lock(fusion_mutex_);
        return frame_queue_.size();
    }
    // One round of the fusion thread, on the calling thread.
    void fuseOnce() {
        std::unique_lock<std::mutex> lock(fusion_mutex_);
        fuseQueuedLocked(lock);
    }
    bool frameConverterMade() const { return frame_converter_ != nullptr; }
    size_t queuedEventChunks() {
        std::lock_guard<std::mutex> lock(event_record_mutex_);
        return event_chunks_.size();
    }
    bool acceptingEvents() const { return event_accepting_.load(); }
    // Moves the camera's clock as its event stream would, to TIME_HIGH `time_high` (4096 us each).
    void eventClockAt(uint16_t time_high) {
        const uint8_t word[2] = {uint8_t(time_high & 0xFF), uint8_t(0x80 | ((time_high >> 8) & 0x0F))};
        decoder_->decode(word, word + 2);
    }
    size_t collectedEventBytes() {
        std::lock_guard<std::mutex> lock(event_record_mutex_);
        return current_event_chunk_ ? current_event_chunk_->size() : 0;
    }
    // As when the event stream reports lost buffers at event time `at` (event reader thread, here the
    // test's).
    void markEventDataLost(uint64_t at) {
        edges_may_be_lost_ = true;
        loss_noticed_at_ = at;
    }
    void queueRecord(SyncRecord record) {
        std::lock_guard<std::mutex> lock(fusion_mutex_);
        queueSyncRecordLocked(record);
    }
    uint64_t triggerCount() const { return trigger_counter_.load(); }
    size_t framePoolMade() const { return frame_pool_ ? frame_pool_->made() : 0; }
};

inline sim::SimDeviceConfig fusionConfig(const std::string& serial) {
    for (sim::SimDeviceConfig c : sim::SimulatedCameras::defaultConfigs()) {
        if (c.description.product != "Tandra") continue;
        c.description.serial = serial;
        c.settle_scale = 0;  // the sensors settle at once
        c.event_rate = 1'000'000;
        return c;
    }
    ADD_FAILURE() << "the default set has no fusion camera";
    return {};
}

inline std::string uniqueSerial(const std::string& prefix) {
    static int n = 0;
    return prefix + std::to_string(::getpid()) + "_" + std::to_string(n++);
}

// Waits (without a fixed sleep) until `done` holds, or the timeout passes.
template <typename F>
bool waitFor(F done, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Whether a frame of the simulated camera (default calibration: frame pixel = 3 x + 12, 3 y + 6) shows
// the scene's vertical bar where it is at event time t; nullopt when the bar is too near an edge of
// the sensor to tell. Looks at a row away from the horizontal bar.
inline std::optional<bool> showsVerticalBarAt(const ApsFrame& frame, uint64_t t) {
    const SyntheticScene::Bars bars = SyntheticScene::barsAt(1280, 720, t);
    if (bars.column_lead < SyntheticScene::kBarWidth || bars.column_lead > 1270) return std::nullopt;
    const int fx = 3 * int(bars.column_lead - SyntheticScene::kBarWidth / 2) + 12;
    const int fy = 3 * int((bars.row_lead + 360) % 720) + 6;
    const uint8_t* bgr = frame.data() + (size_t(fy) * size_t(frame.width()) + size_t(fx)) * 3;
    return bgr[0] > 200 && bgr[1] > 200 && bgr[2] > 200;
}

// A folder of its own for a test's files, removed afterwards.
class TempFolder {
public:
    explicit TempFolder(const std::string& name)
        : path_(std::filesystem::path(ZELVAN_BINARY_DIR) /
                ("fusion_" + name + "_" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

inline std::string firstLine(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    std::getline(in, line);
    return line;
}

// A simulated fusion camera of its own per test, opened as a probe.
class FusionCameraTest : public ::testing::Test {
protected:
    void SetUp() override {
        config_ = fusionConfig(uniqueSerial("FUSION"));
        configure(config_);
        sim::SimulatedCameras::instance().reset({config_});
        device_ = sim::SimulatedCameras::instance().find(config_.description.serial);
        ASSERT_NE(device_, nullptr);
        camera_ = makeFusionCamera<TandraProbe>(device_->description());
        if (open_) {
            ASSERT_EQ(camera_->init(), 0);
        }
    }
    void TearDown() override {
        camera_.reset();
        device_.reset();
        sim::SimulatedCameras::instance().restoreDefault();
    }
    virtual void configure(sim::SimDeviceConfig& /*config*/) {}

    bool open_ = true;
    sim::SimDeviceConfig config_;
    std::shared_ptr<sim::SimDevice> device_;
    std::shared_ptr<TandraProbe> camera_;
};

}  // namespace zelvan::fusiontest
