// Shared pieces of the camera tests: a probe into the engine, descriptions, bounded waits, and a
// camera on a fresh simulated device whose every event and trigger is known.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "camera/DvsEventCamera.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/RawFileReader.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan::camtest {

using namespace std::chrono_literals;

// Gives the tests the engine's decoder-facing entry points.
class EngineProbe : public DvsEventCamera {
public:
    using DvsEventCamera::DvsEventCamera;
    ~EngineProbe() override { ++destroyed(); }
    // Probes destroyed so far in this process.
    static std::atomic<int>& destroyed() {
        static std::atomic<int> count{0};
        return count;
    }
    using DvsCameraPrivate::eventStreamArrived;
    using DvsCameraPrivate::triggerInArrived;
    // The batcher of events (mode 1: by count, 2: by time).
    EventBatcher& batcher() { return batches_; }
    static EventBatcher::Mode batchMode(int mode) {
        return mode == 1 ? EventBatcher::Mode::ByCount : EventBatcher::Mode::ByTime;
    }
    // Callers waiting in getNextBatch for batches of `mode`.
    int batchWaiters(int mode) { return batches_.waiters(batchMode(mode)); }
};

inline CameraDescription evk4Description(const std::string& serial) {
    CameraDescription d;
    d.serial = serial;
    d.product = "EVK4";
    d.manufacturer = "Prophesee";
    d.vendorId = 0x04B4;
    d.productId = 0x00F5;
    return d;
}

inline std::vector<Event2D> ramp(uint64_t t0, uint64_t step, size_t n) {
    std::vector<Event2D> v;
    for (size_t i = 0; i < n; ++i)
        v.emplace_back(uint16_t(i % 1280), uint16_t(i % 720), uint8_t(i & 1), t0 + i * step);
    return v;
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

// Removes a recording and the index the recorder wrote beside it.
inline void removeRecording(const std::filesystem::path& file) {
    std::filesystem::remove(file);
    std::filesystem::remove(RawFileReader::bookmarkPathFor(file.string()));
}

// Decodes a recording as a reader would: from the header's start time.
inline std::vector<Event2D> decodeRecording(const std::filesystem::path& file, RawFileHeader& header,
                                            std::vector<EventTriggerIn>* triggers = nullptr) {
    std::ifstream in(file, std::ios::binary);
    std::string error;
    EXPECT_TRUE(readRawFileHeader(in, header, error)) << error;
    in.seekg(std::streamoff(header.payload_offset));
    std::vector<uint8_t> payload((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EVT3Decoder decoder(1280, 720);
    if (header.has_dvs_start_timestamp) decoder.setTimeBase(header.info.dvs_start_timestamp);
    std::vector<Event2D> decoded;
    decoder.setEventsStreamHandleCallback(
        [&](Event2D* f, Event2D* l) { decoded.insert(decoded.end(), f, l); });
    if (triggers) decoder.setTriggerInCallback([triggers](EventTriggerIn t) { triggers->push_back(t); });
    decoder.decode(payload.data(), payload.data() + payload.size());
    return decoded;
}

// A camera on a fresh simulated device.
class LiveCamera : public ::testing::Test {
protected:
    void SetUp() override {
        sim::SimDeviceConfig config;
        config.description = evk4Description("SIMTEST" + std::to_string(::getpid()));
        config.event_rate = rate_;
        config.paced = true;
        config.start_time_us = (uint64_t(1) << 24) - 400'000;  // crosses the 24-bit wrap soon
        config.trigger_period_us = 10'000;
        config.settle_scale = 0;  // the sensor bring-up settles at once
        configure(config);
        sim::SimulatedCameras::instance().reset({config});
        device_ = sim::SimulatedCameras::instance().find(config.description.serial);
        ASSERT_NE(device_, nullptr);
        device_->writeRegister(sim::reg::kTriggerIn, 1u << 10);
        device_->setObserver({[this](const Event2D* f, const Event2D* l) {
                                  std::lock_guard<std::mutex> lock(mutex_);
                                  sent_.insert(sent_.end(), f, l);
                              },
                              [this](const EventTriggerIn& t) {
                                  std::lock_guard<std::mutex> lock(mutex_);
                                  sent_triggers_.push_back(t);
                              }});
        camera_ = makeCamera<EngineProbe>(config.description);
        ASSERT_EQ(camera_->init(), 0);
        camera_->addEventsStreamHandleCallback([this](Event2D* f, Event2D* l) {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.insert(seen_.end(), f, l);
        });
        camera_->addTriggerInCallback([this](EventTriggerIn t) {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_triggers_.push_back(t);
        });
    }
    void TearDown() override {
        camera_.reset();
        device_.reset();
        sim::SimulatedCameras::instance().restoreDefault();
    }
    size_t seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_.size();
    }
    // Puts the sensor in standby and waits until everything it sent has been decoded.
    void drain() {
        device_->writeRegister(sim::reg::kReadoutControl, 2);
        ASSERT_TRUE(waitFor([this] {
            std::lock_guard<std::mutex> lock(mutex_);
            return seen_.size() == sent_.size() && seen_triggers_.size() == sent_triggers_.size();
        }));
    }

    // Lets a test change the simulated device before it appears.
    virtual void configure(sim::SimDeviceConfig& /*config*/) {}

    uint64_t rate_ = 1'000'000;
    std::shared_ptr<sim::SimDevice> device_;
    std::shared_ptr<EngineProbe> camera_;
    std::mutex mutex_;
    std::vector<Event2D> sent_, seen_;
    std::vector<EventTriggerIn> sent_triggers_, seen_triggers_;
};

}  // namespace zelvan::camtest
