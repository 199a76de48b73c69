// The fusion camera's handle, device and recording: the edge cases that catch real faults.
#include <gtest/gtest.h>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "FileSizeLimit.h"
#include "FusionTestUtil.h"
#include "IndexCheck.h"
#include "zelvan/DvsCameraManager.h"
#include "zelvan/Logger.h"
#include "zelvan/Mp4FileReader.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/RawFileReader.h"
#include "zelvan/RegisterController.h"

namespace zelvan::fusiontest {
namespace {

using SyncRecord = FusionCameraPrivate::SyncRecord;

std::vector<Event2D> ramp(uint64_t t0, uint64_t step, size_t n) {
    std::vector<Event2D> v;
    for (size_t i = 0; i < n; ++i)
        v.emplace_back(uint16_t(i), uint16_t(i % 720), uint8_t(i & 1), t0 + i * step);
    return v;
}

// A frame of the frame sensor whose luma starts with `mark`.
std::vector<uint8_t> markedFrame(uint8_t mark) {
    std::vector<uint8_t> frame(TandraCamera::kFrameBytes, 128);
    std::memset(frame.data(), mark, 3840);
    return frame;
}

// --- The handle (callbacks, tools, batches) ---

TEST_F(FusionCameraTest, ToolsOfTheFusionCamera) {
    const auto infos = camera_->getAllToolsInfo();
    std::vector<ToolType> types;
    for (const auto& info : infos) types.push_back(info.type);
    EXPECT_EQ(types, (std::vector<ToolType>{BIASES, ANTI_FLICKER, EVENT_TRAIL_FILTER, EVENT_RATE_CONTROL, ROI,
                                            APS_CTRL}));
    EXPECT_EQ(camera_->getTool("ApsCtrl"), camera_->getTool(APS_CTRL));
    EXPECT_EQ(camera_->getTool("apsctrl"), nullptr);
    for (ToolType missing : {TRIGGER_IN, SYNC}) {
        ScopedLogCapture log;
        EXPECT_EQ(camera_->getTool(missing), nullptr);
        EXPECT_TRUE(log.contains(LOG_ERROR, "Tool not found"));
        try {
            camera_->getToolInfo(missing);
            ADD_FAILURE() << "expected std::runtime_error";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Tool not found");
        }
    }
    // The trigger input is on, held aside: the board's edges must reach the stream.
    EXPECT_NE(device_->readRegister(sim::reg::kTriggerIn) & (1u << 10), 0u);
}

TEST_F(FusionCameraTest, CallbackIdsCountPerKindAndRemovalsSayWhetherTheyExisted) {
    EXPECT_EQ(camera_->addSyncSignalCallback([](EventTriggerIn) {}), 0u);
    EXPECT_EQ(camera_->addSyncSignalCallback([](EventTriggerIn) {}), 1u);
    EXPECT_TRUE(camera_->removeSyncSignalCallback(0));
    EXPECT_FALSE(camera_->removeSyncSignalCallback(0));
    EXPECT_EQ(camera_->addEventsStreamHandleCallback([](Event2D*, Event2D*) {}), 0u);
    EXPECT_FALSE(camera_->removeEventsStreamHandleCallback(5));
    EXPECT_TRUE(camera_->removeEventsStreamHandleCallback(0));

    // Frame callbacks are removed for real.
    std::atomic<int> calls{0};
    const unsigned id = camera_->addApsFrameCallback([&](ApsFrame) { ++calls; });
    EXPECT_EQ(id, 0u);
    EXPECT_TRUE(camera_->removeApsFrameCallback(id));
    EXPECT_FALSE(camera_->removeApsFrameCallback(id));
    camera_->armPairing();
    camera_->triggerInArrived({0, 1, 1000});  // arms
    ASSERT_TRUE(camera_->frameArrived(markedFrame(7)));
    camera_->triggerInArrived({0, 1, 101000});
    camera_->fuseOnce();
    EXPECT_EQ(calls.load(), 0) << "a removed callback is not called";
    EXPECT_FALSE(camera_->frameConverterMade()) << "no frame is converted for nobody";

    // Ids only grow, also after opening again empties the registries.
    EXPECT_EQ(camera_->addApsFrameCallback([](ApsFrame) {}), 1u);
}

TEST_F(FusionCameraTest, CountBatchesOfFourFromTenEvents) {
    std::vector<Event2D> out = ramp(0, 1, 3);
    EXPECT_FALSE(camera_->getNextBatch(out)) << "no batch mode: false at once";
    EXPECT_TRUE(out.empty());

    camera_->setBatchEventsNum(4);
    auto events = ramp(100, 10, 10);
    camera_->eventStreamArrived(events.data(), events.data() + events.size());
    EXPECT_EQ(camera_->batchFillSize(TandraProbe::BatchMode::ByCount), 2u);
    const auto last = camera_->lastCompletedBatch(TandraProbe::BatchMode::ByCount);
    ASSERT_EQ(last.size(), 4u);
    EXPECT_EQ(last.front(), events[4]) << "the second batch replaced the first";
    EXPECT_EQ(camera_->replacedBatches(), 1u);

    ScopedLogCapture log;
    camera_->setBatchEventsNum(0);
    EXPECT_TRUE(
        log.contains(LOG_WARNING, "Batch events number 0 refused: a batch holds at least one event."));
}

TEST_F(FusionCameraTest, TimeBatchesSplitAtTheirBoundary) {
    camera_->setBatchEventsTime(100);
    auto events = ramp(1000, 10, 35);  // 1000 .. 1340
    camera_->eventStreamArrived(events.data(), events.data() + events.size());
    const auto last = camera_->lastCompletedBatch(TandraProbe::BatchMode::ByTime);
    // Events at 1100, 1200 and 1300 lie exactly on boundaries: each opens the next batch.
    EXPECT_EQ(camera_->completedBatches(TandraProbe::BatchMode::ByTime), 3u);
    ASSERT_EQ(last.size(), 10u);
    EXPECT_EQ(last.front().timestamp, 1200u);
    EXPECT_EQ(last.back().timestamp, 1290u);
    EXPECT_EQ(camera_->batchFillSize(TandraProbe::BatchMode::ByTime), 5u);
}

TEST_F(FusionCameraTest, GetNextBatchEndsWhenStreamingStops) {
    camera_->setBatchEventsTime(10'000'000);  // longer than the test: no batch completes
    ASSERT_EQ(camera_->start(DVS), 0);
    auto waiter = std::async(std::launch::async, [this] {
        std::vector<Event2D> out;
        return camera_->getNextBatch(out);
    });
    EXPECT_EQ(waiter.wait_for(200ms), std::future_status::timeout) << "waits while the stream runs";
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(waiter.get());
}

TEST_F(FusionCameraTest, BatchWaitsInsideTheCamerasOwnCallbacksAreRefused) {
    camera_->setBatchEventsNum(100);
    std::atomic<int> calls{0};
    std::atomic<int> refused{0};
    camera_->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
        if (calls.fetch_add(1) >= 2) return;
        std::vector<Event2D> out{Event2D(1, 1, 1, 1)};
        if (!camera_->getNextBatch(out) && out.empty()) ++refused;
    });
    // A frame callback runs on another thread: it may wait for the events of its frame.
    std::atomic<int> frame_batches{-1};
    camera_->addApsFrameCallback([&](ApsFrame) {
        if (frame_batches.load() != -1) return;
        std::vector<Event2D> out;
        frame_batches = camera_->getNextBatch(out, 10s) ? static_cast<int>(out.size()) : 0;
    });
    ScopedLogCapture log;
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    EXPECT_TRUE(waitFor([&] { return calls.load() > 20; })) << "the event stream stalled";
    EXPECT_EQ(refused.load(), 2);
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "getNextBatch is refused"));
    EXPECT_TRUE(waitFor([&] { return frame_batches.load() != -1; }, 30s));
    EXPECT_EQ(frame_batches.load(), 100);
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
}

TEST_F(FusionCameraTest, WidthsAndHeights) {
    EXPECT_EQ(camera_->getWidth(DVS), 1280);
    EXPECT_EQ(camera_->getHeight(DVS), 720);
    EXPECT_EQ(camera_->getWidth(APS), 3840);
    EXPECT_EQ(camera_->getHeight(APS), 2160);
    EXPECT_EQ(camera_->getWidth(DVS_AND_APS), 0);
    EXPECT_EQ(camera_->getWidth(static_cast<STREAM_TYPE>(7)), 0);
    EXPECT_EQ(camera_->getHeight(static_cast<STREAM_TYPE>(7)), 0);
}

// --- Trigger handling and pairing ---

TEST_F(FusionCameraTest, RisingEdgesMakeExposureRecordsAfterTheFirst) {
    ASSERT_TRUE(camera_->getTool(APS_CTRL)->setParam("exposure_time", 10000));
    camera_->armPairing();
    for (uint64_t ts : {100000, 133333, 166666}) camera_->triggerInArrived({0, 1, ts});
    const std::vector<SyncRecord> expected = {{123133, 159053}, {156466, 192386}};
    EXPECT_EQ(camera_->queuedRecords(), expected) << "the first rising edge only arms the counter";
    EXPECT_EQ(camera_->triggerCount(), 1u);
}

TEST_F(FusionCameraTest, AnEdgeSoonAfterTheClockStartsKeepsItsExposureEnd) {
    ASSERT_TRUE(camera_->getTool(APS_CTRL)->setParam("exposure_time", 10000));
    camera_->armPairing();
    for (uint64_t ts : {100, 5000}) camera_->triggerInArrived({0, 1, ts});
    // The exposure began before the clock did: its begin is cut at 0, its end is not moved.
    const std::vector<SyncRecord> expected = {{0, 5000 + 25720}};
    EXPECT_EQ(camera_->queuedRecords(), expected);
}

TEST_F(FusionCameraTest, SyncSignalsArePolarityTwoDeliveredAsOne) {
    std::vector<EventTriggerIn> delivered;
    camera_->addSyncSignalCallback([&](EventTriggerIn t) { delivered.push_back(t); });
    camera_->armPairing();
    camera_->triggerInArrived({0, 1, 10});
    camera_->triggerInArrived({0, 2, 20});
    camera_->triggerInArrived({0, 1, 30});
    camera_->triggerInArrived({0, 0, 40});
    camera_->triggerInArrived({3, 5, 50});
    const std::vector<EventTriggerIn> expected = {{0, 1, 20}, {0, 0, 40}, {3, 5, 50}};
    EXPECT_EQ(delivered, expected) << "polarity 1 never reaches the sync-signal callbacks";
    EXPECT_EQ(camera_->triggerCount(), 2u) << "the polarity-2 edge counted";
}

TEST_F(FusionCameraTest, AnUnreadableExposureTimeGivesAZeroRecord) {
    camera_->armPairing();
    device_->unplug();
    ScopedLogCapture log;
    camera_->triggerInArrived({0, 1, 100});
    camera_->triggerInArrived({0, 1, 200});
    device_->plug();
    EXPECT_TRUE(log.contains(LOG_ERROR, "Get aps exposure time failed."));
    EXPECT_EQ(camera_->queuedRecords(), (std::vector<SyncRecord>{{0, 0}}));
}

TEST_F(FusionCameraTest, FramesAndRecordsArePairedStrictlyInOrder) {
    std::vector<std::pair<uint8_t, uint64_t>> got;  // frame mark, exposure end
    camera_->addApsFrameCallback([&](ApsFrame frame) {
        // BGR of the first pixel of a luma 16 + k frame.
        got.emplace_back(frame.data()[0], frame.endTimestamp());
    });
    ASSERT_TRUE(camera_->getTool(APS_CTRL)->setParam("exposure_time", 1000));
    camera_->armPairing();
    camera_->triggerInArrived({0, 1, 0});  // arms
    ASSERT_TRUE(camera_->frameArrived(markedFrame(40)));
    ASSERT_TRUE(camera_->frameArrived(markedFrame(200)));
    camera_->fuseOnce();
    EXPECT_TRUE(got.empty()) << "frames wait for their records";
    camera_->triggerInArrived({0, 1, 100000});
    camera_->fuseOnce();
    camera_->triggerInArrived({0, 1, 200000});
    camera_->triggerInArrived({0, 1, 300000});
    camera_->fuseOnce();
    EXPECT_EQ(camera_->queuedRecords().size(), 1u) << "a record waits for its frame";
    ASSERT_EQ(got.size(), 2u);
    EXPECT_LT(got[0].first, got[1].first) << "the darker frame came first";
    EXPECT_EQ(got[0].second, 100000u + 25720u);
    EXPECT_EQ(got[1].second, 200000u + 25720u);

    // A frame that arrives unusable (a short transfer) still had its exposure: the next frame keeps
    // its own.
    camera_->triggerInArrived({0, 1, 400000});
    {
        ScopedLogCapture quiet;
        EXPECT_FALSE(camera_->frameArrived(std::vector<uint8_t>(1000, 7)));  // exposed at 300000
    }
    ASSERT_TRUE(camera_->frameArrived(markedFrame(120)));
    camera_->fuseOnce();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].second, 400000u + 25720u);
    EXPECT_EQ(camera_->droppedFrames(), 1u);
}

TEST_F(FusionCameraTest, EdgesLostWithEventDataAreCountedFromTheFramePeriod) {
    std::vector<std::pair<uint8_t, uint64_t>> got;  // frame mark, exposure end
    camera_->addApsFrameCallback(
        [&](ApsFrame frame) { got.emplace_back(frame.data()[0], frame.endTimestamp()); });
    ASSERT_TRUE(camera_->getTool(APS_CTRL)->setParam("exposure_time", 1000));
    camera_->armPairing();
    camera_->triggerInArrived({0, 1, 0});  // arms
    camera_->triggerInArrived({0, 1, 100'000});
    // The loss is noticed before the buffers the stream still held (with the edge at 200000); the
    // data it dropped came after them and held the edges at 300000 and 400000.
    camera_->markEventDataLost(150'000);
    camera_->triggerInArrived({0, 1, 200'000});
    camera_->triggerInArrived({0, 1, 500'000});
    for (uint8_t k = 0; k < 5; ++k) {
        ASSERT_TRUE(camera_->frameArrived(markedFrame(uint8_t(16 + 40 * k))));
        camera_->fuseOnce();
    }
    ASSERT_EQ(got.size(), 3u);
    // BGR of a luma 16 + 40 k frame: the first, second and fifth frame, each with its own exposure.
    EXPECT_EQ(got[0].second, 125'720u);
    EXPECT_EQ(got[1].second, 225'720u);
    EXPECT_EQ(got[2].second, 525'720u);
    EXPECT_LT(got[0].first, got[1].first);
    EXPECT_GT(got[2].first, 170) << "the fifth frame, not the third";
    EXPECT_EQ(camera_->droppedFrames(), 2u) << "the frames of the lost edges";

    // Without a loss a longer gap is a new frame period, not lost edges.
    camera_->triggerInArrived({0, 1, 800'000});
    ASSERT_TRUE(camera_->frameArrived(markedFrame(240)));
    camera_->fuseOnce();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[3].second, 825'720u);
}

TEST_F(FusionCameraTest, PairingQueuesAreBoundedAndDropTheOldest) {
    camera_->armPairing();
    ScopedLogCapture log;
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(camera_->frameArrived(markedFrame(uint8_t(i))));
    EXPECT_EQ(camera_->queuedFrames(), FusionCameraPrivate::kMaxQueuedFrames);
    EXPECT_EQ(camera_->droppedFrames(), 10 - FusionCameraPrivate::kMaxQueuedFrames);
    EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "dropped without a partner"));
    camera_->triggerInArrived({0, 1, 0});
    for (uint64_t i = 1; i <= 40; ++i) camera_->triggerInArrived({0, 1, i * 1000});
    // Nothing pairs them here: the records are bounded as well.
    EXPECT_EQ(camera_->queuedRecords().size(), FusionCameraPrivate::kMaxQueuedSyncRecords);
    EXPECT_EQ(camera_->droppedSyncRecords(), 40 - FusionCameraPrivate::kMaxQueuedSyncRecords);
    const size_t lines = log.lines().size();
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(camera_->frameArrived(markedFrame(uint8_t(i))));
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin);
    size_t drop_lines = 0;
    for (size_t i = lines; i < log.lines().size(); ++i)
        if (log.lines()[i].text.find("dropped without a partner") != std::string::npos) ++drop_lines;
    EXPECT_LE(drop_lines, 1u + size_t(seconds.count())) << "drops are told at most once a second";
}

TEST_F(FusionCameraTest, OutsideBothStreamsNothingIsQueuedForPairing) {
    // Not armed: as in DVS or APS alone.
    camera_->triggerInArrived({0, 1, 0});
    camera_->triggerInArrived({0, 1, 100000});
    ASSERT_TRUE(camera_->frameArrived(markedFrame(1)));
    EXPECT_TRUE(camera_->queuedRecords().empty());
    EXPECT_EQ(camera_->queuedFrames(), 0u);
}

TEST_F(FusionCameraTest, AFrameBufferOfAnotherSizeIsRefused) {
    camera_->armPairing();
    ScopedLogCapture log;
    std::vector<uint8_t> larger(TandraCamera::kFrameBytes + 2, 1);
    EXPECT_FALSE(camera_->frameArrived(larger));
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "a frame of 12441602 bytes was refused"));
    std::vector<uint8_t> smaller(100, 1);
    EXPECT_FALSE(camera_->frameArrived(smaller));
    EXPECT_EQ(camera_->queuedFrames(), 0u);
}

// --- Streaming on the simulated device ---

TEST_F(FusionCameraTest, StartingTheRunningTypeAgainIsTold) {
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    ScopedLogCapture log;
    EXPECT_EQ(camera_->start(DVS_AND_APS), 0);
    EXPECT_TRUE(log.contains(LOG_INFO, "Camera already started."));
    EXPECT_EQ(camera_->stop(DVS_AND_APS), 0);
    EXPECT_FALSE(camera_->isStreaming());
}

TEST_F(FusionCameraTest, PartialStopsAndStartsOfSingleTypesNeverWaitForARunningThread) {
    std::atomic<uint64_t> events{0};
    camera_->addEventsStreamHandleCallback(
        [&](Event2D* first, Event2D* last) { events += static_cast<uint64_t>(last - first); });
    ASSERT_EQ(camera_->start(DVS), 0);
    ASSERT_TRUE(waitFor([&] { return events.load() > 0; }));
    ASSERT_EQ(camera_->stop(DVS), 0);
    EXPECT_FALSE(camera_->isStreaming()) << "the only stream stopped";
    ASSERT_EQ(camera_->start(DVS), 0);
    ASSERT_EQ(camera_->start(APS), 0);
    ASSERT_EQ(camera_->stop(DVS), 0);
    EXPECT_TRUE(camera_->isStreaming()) << "the frames still stream";
    // The event reader still runs its loop: starting events again must use it, not wait for it.
    auto again = std::async(std::launch::async, [this] { return camera_->start(DVS); });
    ASSERT_EQ(again.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(again.get(), 0);
    const uint64_t before = events.load();
    EXPECT_TRUE(waitFor([&] { return events.load() > before; })) << "events flow again";
    ASSERT_EQ(camera_->stop(APS), 0);
    EXPECT_TRUE(camera_->isStreaming()) << "the events still stream";
    ASSERT_EQ(camera_->stop(DVS), 0);
    EXPECT_FALSE(camera_->isStreaming()) << "both streams stopped one at a time";
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
}

TEST_F(FusionCameraTest, StoppingOneSensorEndsPairingAndBatchWaitsAndBothRestartTogether) {
    std::mutex mutex;
    std::vector<ApsFrame> frames;  // a few, to look at
    std::atomic<uint64_t> paired{0};
    camera_->addApsFrameCallback([&](ApsFrame frame) {
        ++paired;
        std::lock_guard<std::mutex> lock(mutex);
        if (frames.size() < 3) frames.push_back(std::move(frame));
    });
    camera_->setBatchEventsTime(10'000'000);  // no batch completes during the test
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    ASSERT_TRUE(waitFor([&] { return paired.load() > 0; }, 30s));
    auto waiter = std::async(std::launch::async, [this] {
        std::vector<Event2D> out;
        return camera_->getNextBatch(out);
    });
    ScopedLogCapture log;
    ASSERT_EQ(camera_->stop(DVS), 0);
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready) << "the event stream stopped";
    EXPECT_FALSE(waiter.get());
    EXPECT_TRUE(log.containsSubstring(LOG_INFO, "frames are no longer paired"));
    EXPECT_TRUE(camera_->isStreaming()) << "the frame sensor goes on";

    // Events alone again, then both: the frame sensor, already on, restarts with the event sensor,
    // so that its start edge arms the exposure count and frame k pairs with exposure k.
    ASSERT_EQ(camera_->start(DVS), 0);
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    EXPECT_TRUE(log.containsSubstring(LOG_INFO, "the running stream restarts together with the other"));
    {
        std::lock_guard<std::mutex> lock(mutex);
        frames.clear();
    }
    const uint64_t before = paired.load();
    ASSERT_TRUE(waitFor([&] { return paired.load() >= before + 3; }, 30s));
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);  // no callback runs any more
    ASSERT_EQ(frames.size(), 3u);
    const uint64_t period = 1'000'000 / config_.frame_rate;
    int told = 0;
    for (const ApsFrame& frame : frames) {
        // The frame shows the scene at its exposure end, not one frame before or after it.
        const auto at = showsVerticalBarAt(frame, frame.endTimestamp());
        const auto earlier = showsVerticalBarAt(frame, frame.endTimestamp() - period);
        const auto later = showsVerticalBarAt(frame, frame.endTimestamp() + period);
        if (!at || !earlier || !later) continue;
        ++told;
        EXPECT_TRUE(*at) << frame.endTimestamp();
        EXPECT_FALSE(*earlier) << frame.endTimestamp();
        EXPECT_FALSE(*later) << frame.endTimestamp();
    }
    EXPECT_GT(told, 0) << "the bar was near an edge of the sensor in every frame";
}

TEST_F(FusionCameraTest, BothStreamsDoNotStartOverARecordingOfOne) {
    TempFolder folder("one");
    ASSERT_EQ(camera_->start(DVS), 0);
    ASSERT_EQ(camera_->startRecording(folder.str(), "one", DVS), 0);
    ScopedLogCapture log;
    EXPECT_EQ(camera_->start(DVS_AND_APS), -1);
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "stop the recording first"));
    EXPECT_TRUE(camera_->isRecording()) << "the recording goes on";
    EXPECT_EQ(camera_->stop(DVS), 0) << "stopping the recorded stream ends the recording";
    EXPECT_FALSE(camera_->isRecording());
    EXPECT_EQ(camera_->stop(DVS_AND_APS), 0);
}

TEST_F(FusionCameraTest, ALostDeviceIsNoticedWhileOnlyFramesStream) {
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    ASSERT_EQ(camera_->stop(DVS), 0);
    ScopedLogCapture log;
    device_->unplug();
    EXPECT_TRUE(waitFor([&] { return !camera_->isStreaming(); }));
    EXPECT_TRUE(waitFor([&] { return log.contains(LOG_INFO, "Tandra loss connection."); }));
    size_t told = 0;
    for (const auto& line : log.lines()) told += line.text == "Tandra loss connection." ? 1 : 0;
    EXPECT_EQ(told, 1u) << "told once, though both readers look";
    // Nothing of a camera whose device is gone would reach a recording.
    TempFolder folder("gone");
    EXPECT_EQ(camera_->startRecording(folder.str(), "gone", DVS), -1);
    EXPECT_TRUE(log.contains(
        LOG_ERROR, "Recording refused: camera " + camera_->getDescription().serial + " is not open."));
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "gone.raw"));
    device_->plug();
}

TEST_F(FusionCameraTest, CallbacksMayStopBothStreamsButNotOne) {
    std::promise<int> one;
    std::atomic<bool> once{false};
    camera_->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
        if (!once.exchange(true)) one.set_value(camera_->stop(DVS));
    });
    ScopedLogCapture log;
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    auto result = one.get_future();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), -1) << "refused, not done quietly";
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "only both streams can stop"));
    EXPECT_TRUE(camera_->isStreaming());
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
}

TEST_F(FusionCameraTest, AStopFromAnEventCallbackWhileAFrameCallbackWaitsForTheEventCallbacks) {
    // The frame callback registers an event callback, which waits for the event callbacks' lock that
    // the stopping event callback holds: the stop must not wait for the frame callback's thread.
    std::atomic<bool> in_frame_callback{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> armed{false};  // once the start has returned
    std::atomic<bool> frame_once{false};
    std::atomic<bool> event_once{false};
    std::promise<int> stopped;
    camera_->addApsFrameCallback([&](ApsFrame) {
        if (!armed.load() || frame_once.exchange(true)) return;
        in_frame_callback = true;
        waitFor([&] { return stopping.load(); });
        camera_->addEventsStreamHandleCallback([](Event2D*, Event2D*) {});
    });
    camera_->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
        if (!in_frame_callback.load() || event_once.exchange(true)) return;
        stopping = true;
        std::this_thread::yield();
        stopped.set_value(camera_->stop(DVS_AND_APS));
    });
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    armed = true;
    auto result = stopped.get_future();
    ASSERT_EQ(result.wait_for(60s), std::future_status::ready) << "the stop hangs";
    EXPECT_EQ(result.get(), 0);
    EXPECT_TRUE(waitFor([&] { return !camera_->isStreaming(); }));
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0) << "the ended threads are joined by the next start";
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
}

TEST_F(FusionCameraTest, AStopFromACallbackDuringAStartIsCarriedOut) {
    // A callback stops while the user's thread starts the other sensor: whichever comes first, the
    // camera ends up stopped (not running without threads) and starts again normally.
    std::atomic<bool> armed{false};
    std::atomic<int> stops{0};
    camera_->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
        if (armed.exchange(false)) {
            camera_->stop(DVS_AND_APS);
            ++stops;
        }
    });
    TempFolder folder("duringstart");
    ASSERT_EQ(camera_->start(DVS), 0);
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(camera_->startRecording(folder.str(), "r" + std::to_string(round), DVS), 0);
        armed = true;
        // 0, or -1 when the callback's stop came while the start ran: the start then carried it out.
        const int started = camera_->start(APS);
        ASSERT_TRUE(waitFor([&] { return stops.load() == round + 1; })) << round;
        if (started == -1) {
            EXPECT_FALSE(camera_->isStreaming()) << round;
        }
        // Carried out without any further call of the user: both sensors off, the recording closed.
        EXPECT_TRUE(waitFor([&] {
            return !camera_->isStreaming() && !camera_->isRecording() && !device_->isEmitting() &&
                   !device_->frameSensorRunning();
        })) << round;
        ASSERT_EQ(camera_->start(DVS), 0) << round;
    }
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
}

// Runs `action` (once) when a log line equals `cue`, on the logging thread.
class ActOnLine : public LogSink {
public:
    ActOnLine(std::string cue, std::function<void()> action)
        : cue_(std::move(cue)), action_(std::move(action)) {}
    void write(int, const char*, int, const std::string& message) override {
        if (message == cue_ && !done_.exchange(true)) action_();
    }

private:
    std::string cue_;
    std::function<void()> action_;
    std::atomic<bool> done_{false};
};

TEST_F(FusionCameraTest, AStartDuringWhichACallbackStopsReturnsMinusOne) {
    std::atomic<bool> armed{false};
    std::atomic<bool> asked{false};
    camera_->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
        if (armed.exchange(false)) {
            asked = true;
            camera_->stop(DVS_AND_APS);
        }
    });
    // The start holds, once the event stream runs, until a callback has claimed its stop: the stop is
    // then carried out by the start or by the callback's thread, and the start tells it either way.
    const int level = Logger::Instance().level();
    Logger::Instance().setLevel(LOG_INFO);
    const auto previous = Logger::Instance().setSink(std::make_shared<ActOnLine>("Aps start.", [&] {
        armed = true;
        waitFor([&] { return !camera_->isStreaming(); }, 30s);
    }));
    const int started = camera_->start(DVS_AND_APS);
    Logger::Instance().setSink(previous);
    Logger::Instance().setLevel(level);
    EXPECT_TRUE(asked.load());
    EXPECT_EQ(started, -1);
    EXPECT_TRUE(waitFor([&] { return !camera_->isStreaming() && !device_->isEmitting(); }));
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0) << "a later start is not told of that stop";
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
}

TEST_F(FusionCameraTest, StopFromACallbackAndReleaseInsideOne) {
    std::promise<int> stopped;
    std::atomic<bool> armed{false};  // once the start has returned
    camera_->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
        if (armed.exchange(false)) stopped.set_value(camera_->stop(DVS_AND_APS));
    });
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    armed = true;
    auto result = stopped.get_future();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_TRUE(waitFor([&] { return !camera_->isStreaming(); }));
    // Started again from the user's thread: the ended threads are joined first.
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);

    // The last reference dropped inside a frame callback: destroyed elsewhere, nothing hangs.
    std::promise<void> released;
    std::atomic<bool> released_once{false};
    auto* raw = camera_.get();
    auto destroyed = std::make_shared<std::atomic<bool>>(false);
    raw->destroyed = destroyed;
    std::shared_ptr<TandraProbe> held = camera_;
    camera_.reset();
    auto holder = std::make_shared<std::shared_ptr<TandraProbe>>(std::move(held));
    raw->addApsFrameCallback([holder, &released, &released_once](ApsFrame) {
        if (released_once.exchange(true)) return;
        holder->reset();
        released.set_value();
    });
    ASSERT_EQ(released.get_future().wait_for(10s), std::future_status::ready);
    // Deleted elsewhere once its threads are joined, without hanging.
    EXPECT_TRUE(waitFor([&] { return destroyed->load(); }, 30s));
}

TEST_F(FusionCameraTest, StatisticsArriveWhileEventsStream) {
    std::mutex mutex;
    std::vector<ZvStatisticInfo> infos;
    camera_->setStatisticInfoCallback([&](ZvStatisticInfo info) {
        std::lock_guard<std::mutex> lock(mutex);
        infos.push_back(info);
    });
    ASSERT_EQ(camera_->start(DVS), 0);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return infos.size() >= 2;
    }));
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_GT(infos.back().eventRate, 0u);
    EXPECT_GT(infos.back().dataRate, 0u);
}

TEST_F(FusionCameraTest, FramesAloneAreNotQueuedForPairing) {
    ScopedLogCapture log(LOG_DETAIL);
    ASSERT_EQ(camera_->start(APS), 0);
    EXPECT_TRUE(waitFor([&] { return log.containsSubstring(LOG_DETAIL, "aps frame cnt: 2"); }));
    EXPECT_EQ(camera_->queuedFrames(), 0u) << "nothing would take them";
    EXPECT_TRUE(camera_->queuedRecords().empty());
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
}

TEST_F(FusionCameraTest, ALostDeviceEndsStreamingAndTheRecordingWhichReportsIt) {
    TempFolder folder("lostdevice");
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    ASSERT_EQ(camera_->startRecording(folder.str(), "cut", DVS), 0);
    ScopedLogCapture log;
    device_->unplug();
    EXPECT_TRUE(waitFor([&] { return !camera_->isStreaming(); }));
    EXPECT_TRUE(waitFor([&] { return log.contains(LOG_INFO, "Tandra loss connection."); }));
    EXPECT_FALSE(camera_->isConnected());
    EXPECT_TRUE(waitFor([&] { return !camera_->isRecording(); }));
    EXPECT_EQ(camera_->start(DVS_AND_APS), -1);
    EXPECT_EQ(camera_->stopRecording(DVS_AND_APS), -1) << "the recording the camera ended is incomplete";
    EXPECT_EQ(camera_->stopRecording(DVS_AND_APS), 0) << "told once";
    // Plugged in again, the lost handle stays closed until it is opened again.
    device_->plug();
    EXPECT_EQ(camera_->start(DVS_AND_APS), -1);
    ASSERT_EQ(camera_->init(), 0);
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    ASSERT_EQ(camera_->startRecording(folder.str(), "next", DVS), 0);
    EXPECT_EQ(camera_->stopRecording(DVS), 0) << "the next recording does not inherit the loss";
    device_->unplug();  // and a second loss is noticed as well
    EXPECT_TRUE(waitFor([&] { return !camera_->isStreaming(); }));
    device_->plug();
}

TEST_F(FusionCameraTest, ADeviceBackBeforeItsLossIsHandledStillNeedsOpening) {
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    ScopedLogCapture log;
    device_->unplug();
    // Plugged in again as soon as a reader has noticed, while it may still be stopping.
    ASSERT_TRUE(waitFor([&] { return log.contains(LOG_INFO, "Tandra loss connection."); }));
    device_->plug();
    EXPECT_EQ(camera_->start(DVS_AND_APS), -1);
    EXPECT_TRUE(waitFor([&] { return !camera_->isStreaming(); }));
    EXPECT_EQ(camera_->start(DVS_AND_APS), -1);
    ASSERT_EQ(camera_->init(), 0);
    EXPECT_EQ(camera_->start(DVS_AND_APS), 0);
    EXPECT_EQ(camera_->stop(DVS_AND_APS), 0);
}

// --- Board identity ---

TEST_F(FusionCameraTest, SerialNumbersShorterThanSixtyFourCharacters) {
    ScopedLogCapture log;
    EXPECT_FALSE(camera_->setSerialNumber(std::string(64, 'a')));
    EXPECT_TRUE(log.contains(LOG_ERROR, "Serial number length must less than 64."));
    const std::string serial(63, 'b');
    ASSERT_TRUE(camera_->setSerialNumber(serial));
    EXPECT_TRUE(log.contains(LOG_INFO, "Set Serial number: " + serial));
    uint8_t block[64];
    std::memset(block, 0xEE, sizeof block);
    device_->readControlData(sim::reg::kBoardSerialNumber, block);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block), 63), serial);
    EXPECT_EQ(block[63], 0) << "63 characters and a zero byte";
    std::string read;
    ASSERT_TRUE(camera_->getSerialNumber(read));
    EXPECT_EQ(read, serial);
    EXPECT_TRUE(log.contains(LOG_INFO, "Serial number: " + serial));

    std::string firmware;
    ASSERT_TRUE(camera_->getFirmwareVersion(firmware));
    EXPECT_EQ(firmware, "Tandra_V1.7.2");
    device_->unplug();
    EXPECT_FALSE(camera_->getSerialNumber(read));
    EXPECT_FALSE(camera_->setSerialNumber("x"));
    EXPECT_FALSE(camera_->getFirmwareVersion(firmware));
    device_->plug();
    EXPECT_TRUE(log.contains(LOG_ERROR, "Failed to get Serial number."));
    EXPECT_TRUE(log.contains(LOG_ERROR, "Failed to set Serial number."));
    EXPECT_TRUE(log.contains(LOG_ERROR, "Failed to get firmware version."));
}

class FusionFirmware : public FusionCameraTest {
    void configure(sim::SimDeviceConfig& config) override {
        config.description.firmwareVersion = "Tandra_V2.0.0";
    }
};

TEST_F(FusionFirmware, TheBoardTellsItsOwnFirmwareVersion) {
    std::string firmware;
    ASSERT_TRUE(camera_->getFirmwareVersion(firmware));
    EXPECT_EQ(firmware, "Tandra_V2.0.0");
}

// --- Calibration ---

TEST_F(FusionCameraTest, CalibrationIsReadAndStored) {
    CalibratorParameters params;
    ASSERT_TRUE(camera_->readCalibrationParam(params));
    EXPECT_EQ(params.aps_width, 3840);
    params.description = "corrected";
    params.transforms["1"] = {3.0, 0.0, 14.0, 0.0, 3.0, 6.0};
    TempFolder folder("calibration");
    const std::string path = folder.str() + "/cal.json";
    ASSERT_TRUE(paramToJsonFile(params, path));
    ASSERT_TRUE(camera_->writeCalibrationFile(path));
    // A recording started now carries the calibration just written.
    ASSERT_EQ(camera_->start(DVS), 0);
    ASSERT_EQ(camera_->startRecording(folder.str(), "after", DVS), 0);
    ASSERT_EQ(camera_->stopRecording(DVS), 0);
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
    CalibratorParameters recorded;
    ASSERT_TRUE(jsonFileToParam(folder.str() + "/after.json", recorded));
    EXPECT_EQ(recorded, params);
    CalibratorParameters back;
    ASSERT_TRUE(camera_->readCalibrationParam(back));
    EXPECT_EQ(back, params);
    EXPECT_FALSE(camera_->writeCalibrationFile(folder.str() + "/missing.json"));
}

// Unplugs the device as soon as a log line holds `cue`: a bring-up that fails half-way.
class UnplugOnLine : public LogSink {
public:
    UnplugOnLine(std::shared_ptr<sim::SimDevice> device, std::string cue)
        : device_(std::move(device)), cue_(std::move(cue)) {}
    void write(int, const char*, int, const std::string& message) override {
        if (message.find(cue_) != std::string::npos) device_->unplug();
    }

private:
    std::shared_ptr<sim::SimDevice> device_;
    std::string cue_;
};

class FusionOpening : public FusionCameraTest {
    void SetUp() override {
        open_ = false;
        FusionCameraTest::SetUp();
    }
};

TEST_F(FusionOpening, ABringUpThatFailsHalfWayLeavesNothingBehind) {
    {
        const int level = Logger::Instance().level();
        Logger::Instance().setLevel(LOG_DETAIL);
        const auto previous =
            Logger::Instance().setSink(std::make_shared<UnplugOnLine>(device_, "Imx6x6Sensor init success!"));
        const int result = camera_->init();
        Logger::Instance().setSink(previous);
        Logger::Instance().setLevel(level);
        ASSERT_EQ(result, -1) << "the trigger input cannot be enabled on an unplugged device";
    }
    EXPECT_FALSE(camera_->isConnected());
    EXPECT_EQ(camera_->getTool(BIASES), nullptr) << "no tool of the failed bring-up stays";
    {
        ScopedLogCapture quiet;
        EXPECT_EQ(camera_->start(DVS), -1);
    }
    device_->plug();
    ASSERT_EQ(camera_->init(), 0);
    EXPECT_TRUE(camera_->isConnected());
    ASSERT_NE(camera_->getTool(BIASES), nullptr);
    ASSERT_TRUE(camera_->getTool(APS_CTRL)->setParam("exposure_time", 5000))
        << "the tools write to the device";
    EXPECT_EQ(device_->frameExposureUs(), 5000u);
    ASSERT_EQ(camera_->start(DVS), 0);
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
}

TEST_F(FusionCameraTest, TheExposureIsSavedOnceAndItsEarlierNameStillLoads) {
    TempFolder folder("exposure");
    const std::string saved = folder.str() + "/saved.json";
    ASSERT_TRUE(camera_->exportCameraConfigParams(saved));
    nlohmann::json document;
    std::ifstream(saved) >> document;
    ASSERT_TRUE(document["ApsCtrl"].contains("exposure_time"));
    EXPECT_FALSE(document["ApsCtrl"].contains("shutter_sweep_time"));
    // An edited exposure is what the camera takes.
    document["ApsCtrl"]["exposure_time"] = 4000;
    std::ofstream(saved) << document.dump(4);
    ASSERT_TRUE(camera_->loadCameraConfigParams(saved));
    EXPECT_EQ(device_->frameExposureUs(), 4000u);
    // Files of earlier versions name it "shutter_sweep_time" as well.
    const std::string earlier = folder.str() + "/earlier.json";
    std::ofstream(earlier) << R"({"ApsCtrl": {"auto_exposure": false, "shutter_sweep_time": 3000}})";
    ASSERT_TRUE(camera_->loadCameraConfigParams(earlier));
    EXPECT_EQ(device_->frameExposureUs(), 3000u);
    int exposure = 0;
    ASSERT_TRUE(camera_->getTool(APS_CTRL)->getParam("shutter_sweep_time", exposure));
    EXPECT_EQ(exposure, 3000);
}

class FusionWithoutCalibration : public FusionCameraTest {
    void configure(sim::SimDeviceConfig& config) override { config.calibration.clear(); }
    void SetUp() override {
        open_ = false;
        FusionCameraTest::SetUp();
        ScopedLogCapture log;
        ASSERT_EQ(camera_->init(), 0);
        EXPECT_TRUE(log.contains(LOG_ERROR, "Read calibration data error."));
    }
};

TEST_F(FusionWithoutCalibration, RecordingsHaveNoJsonFile) {
    CalibratorParameters params;
    EXPECT_FALSE(camera_->readCalibrationParam(params));
    TempFolder folder("nocal");
    ASSERT_EQ(camera_->start(DVS), 0);
    ASSERT_EQ(camera_->startRecording(folder.str(), "plain", DVS), 0);
    ASSERT_EQ(camera_->stopRecording(DVS), 0);
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "plain.raw"));
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "plain.json"));
}

// --- Recording ---

// The raw recording carries its bookmark index, the one a reader would build itself.
TEST_F(FusionCameraTest, TheRawRecordingCarriesTheReadersIndex) {
    TempFolder folder("index");
    std::atomic<uint64_t> events{0};
    camera_->addEventsStreamHandleCallback([&](Event2D* f, Event2D* l) { events += uint64_t(l - f); });
    ASSERT_EQ(camera_->start(DVS), 0);
    ASSERT_EQ(camera_->startRecording(folder.str(), "indexed", DVS), 0);
    const uint64_t target = events.load() + 800'000;
    ASSERT_TRUE(waitFor([&] { return events.load() >= target; }, 30s));
    ASSERT_EQ(camera_->stopRecording(DVS), 0);
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
    indexcheck::expectIndexAsReaderBuildsIt(folder.path() / "indexed.raw");
    // A recording of that name that cannot remove the index beside it is refused, and the earlier
    // recording keeps its content.
    const auto earlier = std::filesystem::file_size(folder.path() / "indexed.raw");
    const std::filesystem::path side = indexcheck::indexOf(folder.path() / "indexed.raw");
    std::filesystem::remove(side);
    std::filesystem::create_directories(side / "x");
    ScopedLogCapture log;
    EXPECT_EQ(camera_->startRecording(folder.str(), "indexed", DVS), -1);
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "old index"));
    EXPECT_EQ(std::filesystem::file_size(folder.path() / "indexed.raw"), earlier);
    EXPECT_FALSE(camera_->isRecording());
}

TEST_F(FusionCameraTest, ASecondRecordingWhileOneRunsIsRefused) {
    TempFolder folder("twice");
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    ASSERT_EQ(camera_->startRecording(folder.str(), "one", DVS_AND_APS), 0);
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "one.json"));
    ScopedLogCapture log;
    EXPECT_EQ(camera_->startRecording(folder.str(), "two", DVS_AND_APS), -1);
    EXPECT_TRUE(log.contains(LOG_INFO, "Do not save again while saving."));
    EXPECT_EQ(camera_->startRecording(folder.str(), "three", DVS), -1);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "two.raw"));
    EXPECT_TRUE(camera_->isRecording());
    ASSERT_TRUE(waitFor([&] { return camera_->recordedFrames() > 0; }, 30s));
    EXPECT_EQ(camera_->stopRecording(DVS_AND_APS), 0);
    EXPECT_FALSE(camera_->isRecording());
    EXPECT_EQ(camera_->stop(DVS_AND_APS), 0);
}

// A recording of both streams whose first frame comes only after the raw file's header was written
// (no "% aps_start_timestamp": the video cannot be placed among the events) is not complete.
TEST_F(FusionCameraTest, AVideoThatCannotBePlacedAmongTheEventsFailsTheRecording) {
    TempFolder folder("late");
    ASSERT_TRUE(camera_->getTool(APS_CTRL)->setParam("exposure_time", 1000));
    ScopedLogCapture log;
    ASSERT_EQ(camera_->startRecording(folder.str(), "late", DVS_AND_APS), 0);
    // The header is written without the frame's time once the wait for the first frame ends.
    ASSERT_TRUE(waitFor([&] { return camera_->acceptingEvents(); }, 30s));
    std::vector<uint8_t> bytes = {0x00, 0x80, 0x07, 0x00, 0x09, 0x28};  // TIME_HIGH, ADDR_Y, ADDR_X
    camera_->prepareDvsData2Save(bytes);
    camera_->armPairing();
    camera_->triggerInArrived({0, 1, 0});
    camera_->triggerInArrived({0, 1, 100000});
    ASSERT_TRUE(camera_->frameArrived(markedFrame(40)));
    camera_->fuseOnce();
    ASSERT_TRUE(waitFor([&] { return camera_->recordedFrames() >= 1; }, 30s));
    EXPECT_EQ(camera_->stopRecording(DVS_AND_APS), -1);
    EXPECT_NE(firstLine(folder.path() / "late.raw").rfind("% aps_start_timestamp ", 0), 0u);
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "the first frame came too late"));

    // Frames of another video, started after the one the event file waited for ended without a frame,
    // are no matter of the event file's.
    ASSERT_EQ(camera_->startRecording(folder.str(), "other", DVS_AND_APS), 0);
    EXPECT_EQ(camera_->stopRecording(APS), -1) << "no frame was recorded";
    ASSERT_TRUE(waitFor([&] { return camera_->acceptingEvents(); }, 30s));
    ASSERT_EQ(camera_->startRecording(folder.str(), "later", APS), 0);
    camera_->triggerInArrived({0, 1, 200000});
    ASSERT_TRUE(camera_->frameArrived(markedFrame(80)));
    camera_->fuseOnce();
    ASSERT_TRUE(waitFor([&] { return camera_->recordedFrames() >= 1; }, 30s));
    log.clear();
    EXPECT_EQ(camera_->stopRecording(DVS), 0);
    EXPECT_FALSE(log.containsSubstring(LOG_ERROR, "the first frame came too late"));
    EXPECT_EQ(camera_->stopRecording(APS), 0);

    // The video the event file waited for got its frames late and ended; another one runs when the
    // events stop: the event file still cannot place that video.
    ASSERT_EQ(camera_->startRecording(folder.str(), "third", DVS_AND_APS), 0);
    ASSERT_TRUE(waitFor([&] { return camera_->acceptingEvents(); }, 30s));
    camera_->triggerInArrived({0, 1, 300000});
    ASSERT_TRUE(camera_->frameArrived(markedFrame(120)));
    camera_->fuseOnce();
    ASSERT_TRUE(waitFor([&] { return camera_->recordedFrames() >= 1; }, 30s));
    EXPECT_EQ(camera_->stopRecording(APS), 0);
    ASSERT_EQ(camera_->startRecording(folder.str(), "fourth", APS), 0);
    log.clear();
    EXPECT_EQ(camera_->stopRecording(DVS), -1);
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "the first frame came too late"));
    EXPECT_EQ(camera_->stopRecording(APS), -1) << "no frame was recorded";
}

// The wait for the first frame goes by the camera's clock: a computer that gets the camera's data
// late (here: half as fast as it is made) does not cost the recording its video's place.
TEST_F(FusionCameraTest, TheWaitForTheFirstFrameGoesByTheCamerasClock) {
    TempFolder folder("slow");
    camera_->eventClockAt(100);
    ASSERT_EQ(camera_->startRecording(folder.str(), "slow", DVS_AND_APS), 0);
    // The stream paused before: its first time in the recording is 10 s after the last one seen.
    uint16_t time_high = 100 + 2441;
    camera_->eventClockAt(time_high);
    // 3 s of the computer's time hold about 1.5 s of the camera's (12 TIME_HIGH steps of 4096 us
    // each 100 ms), never still for long.
    const auto until = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < until) {
        time_high = uint16_t(time_high + 12);
        camera_->eventClockAt(time_high);
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_FALSE(camera_->acceptingEvents()) << "the header still waits for the first frame";
    const uint64_t exposure_end = (uint64_t(time_high) << 12) + 1000;
    camera_->armPairing();
    camera_->triggerInArrived({0, 1, exposure_end - 100000});
    camera_->triggerInArrived({0, 1, exposure_end});
    ASSERT_TRUE(camera_->frameArrived(markedFrame(40)));
    camera_->fuseOnce();
    ASSERT_TRUE(waitFor([&] { return camera_->acceptingEvents(); }, 30s));
    const uint64_t video_start = camera_->frameStartTimestamp();
    EXPECT_GT(video_start, exposure_end - 100000);
    EXPECT_EQ(camera_->stopRecording(DVS_AND_APS), 0);
    EXPECT_EQ(firstLine(folder.path() / "slow.raw"), "% aps_start_timestamp " + std::to_string(video_start));

    // Once the camera's clock has gone 2 s without a frame (here at twice its pace), the events are
    // recorded without it: well before the longest wait.
    ScopedLogCapture log;
    ASSERT_EQ(camera_->startRecording(folder.str(), "none", DVS_AND_APS), 0);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!camera_->acceptingEvents() && std::chrono::steady_clock::now() < deadline) {
        time_high = uint16_t(time_high + 49);  // about 200 ms
        camera_->eventClockAt(time_high);
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(camera_->acceptingEvents());
    EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "of the camera's time")) << "ended by the camera's clock";
    EXPECT_EQ(camera_->stopRecording(DVS_AND_APS), -1) << "no frame was recorded";
}

TEST_F(FusionCameraTest, ARecordingIntoAMissingFolderFails) {
    ScopedLogCapture log;
    EXPECT_EQ(camera_->startRecording(std::string(ZELVAN_BINARY_DIR) + "/no/such/folder", "x", DVS), -1);
    EXPECT_FALSE(camera_->isRecording());
}

// A disk that fills up during a recording is told as soon as a write fails, and again by the stop.
TEST_F(FusionCameraTest, AFullDiskIsToldAtOnceAndByTheStop) {
    TempFolder folder("full");
    ASSERT_EQ(camera_->start(DVS), 0);
    ScopedLogCapture log;
    {
        testing_support::FileSizeLimit limit(256 * 1024);
        ASSERT_TRUE(limit.applied());
        ASSERT_EQ(camera_->startRecording(folder.str(), "full", DVS), 0);
        EXPECT_TRUE(waitFor(
            [&] { return log.containsSubstring(LOG_ERROR, "writing " + folder.str() + "/full.raw failed"); },
            30s));
        EXPECT_TRUE(camera_->isRecording());
        EXPECT_EQ(camera_->stopRecording(DVS), -1);
    }
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "incomplete"));
    EXPECT_EQ(camera_->stop(DVS_AND_APS), 0);
}

// A recording of both streams whose event file cannot be written is refused before the video and the
// calibration of an earlier recording of that name are touched.
TEST_F(FusionCameraTest, ARefusedRecordingLeavesAnEarlierOneOfItsNameAlone) {
    TempFolder folder("refused");
    std::ofstream(folder.path() / "take.mp4") << "an earlier video";
    std::ofstream(folder.path() / "take.json") << "an earlier calibration";
    std::filesystem::create_directories(folder.path() / "take.raw" / "x");  // cannot be written
    ScopedLogCapture log;
    EXPECT_EQ(camera_->startRecording(folder.str(), "take", DVS_AND_APS), -1);
    EXPECT_TRUE(
        log.containsSubstring(LOG_ERROR, "Unable to open " + folder.str() + "/take.raw for writing."));
    EXPECT_FALSE(camera_->isRecording());
    EXPECT_EQ(firstLine(folder.path() / "take.mp4"), "an earlier video");
    EXPECT_EQ(firstLine(folder.path() / "take.json"), "an earlier calibration");
    // One refused for its video leaves no event file of its own behind.
    std::filesystem::create_directories(folder.path() / "novideo.mp4" / "x");
    EXPECT_EQ(camera_->startRecording(folder.str(), "novideo", DVS_AND_APS), -1);
    EXPECT_FALSE(camera_->isRecording());
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "novideo.raw"));
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "novideo.json"));
}

TEST_F(FusionCameraTest, StoppingWritesTheEventsStillCollected) {
    // A short recording stays below one chunk: everything it holds is the collected rest. A full stop
    // hands every buffer decoded before it to the recording, so the file ends with the last event seen.
    std::atomic<uint64_t> seen{0};
    std::atomic<uint64_t> last_seen{0};
    camera_->addEventsStreamHandleCallback([&](Event2D* first, Event2D* last) {
        seen += static_cast<uint64_t>(last - first);
        if (last > first) last_seen = (last - 1)->timestamp;
    });
    TempFolder folder("rest");
    ASSERT_EQ(camera_->start(DVS), 0);
    ASSERT_EQ(camera_->startRecording(folder.str(), "rest", DVS), 0);
    ASSERT_TRUE(waitFor([&] { return camera_->acceptingEvents(); }));
    const uint64_t before = seen.load();
    ASSERT_TRUE(waitFor([&] { return seen.load() > before + 200'000; }));
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);  // stops the recording too
    const auto file = folder.path() / "rest.raw";
    EXPECT_LT(std::filesystem::file_size(file), TandraCamera::kEventChunkBytes);
    RawFileReader reader(file.string());
    ASSERT_TRUE(reader.loadFile()) << reader.lastErrorMessage();
    uint64_t events = 0;
    ASSERT_TRUE(reader.getMaxEvents(events));
    EXPECT_GE(events, 200'000u);
    uint64_t end = 0;
    ASSERT_TRUE(reader.getEndTimeStamp(end));
    EXPECT_EQ(end, last_seen.load()) << "the file ends with the last event decoded";
    EXPECT_EQ(firstLine(file), "% evt 3.0") << "events alone: no aps_start_timestamp line";
}

TEST_F(FusionCameraTest, EventBytesAreQueuedOnlyBeyondOneChunk) {
    TempFolder folder("chunks");
    ASSERT_EQ(camera_->startRecordingDvsStream(folder.str() + "/chunks.raw"), 0);
    ASSERT_TRUE(waitFor([&] { return camera_->acceptingEvents(); }));
    // The first hand-over stays in the writer's queue only as long as the writer has not taken it;
    // what is counted here is that nothing is queued up to one chunk.
    std::vector<uint8_t> bytes(TandraCamera::kEventChunkBytes / 4, 0);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        bytes[i] = 0x00;
        bytes[i + 1] = 0x80;  // TIME_HIGH 0
    }
    for (int i = 0; i < 4; ++i) camera_->prepareDvsData2Save(bytes);  // exactly one chunk
    EXPECT_EQ(camera_->queuedEventChunks(), 0u);
    EXPECT_EQ(camera_->collectedEventBytes(), TandraCamera::kEventChunkBytes);
    // Two bytes more (one event word) do not fit: the full chunk goes to the writer.
    camera_->prepareDvsData2Save(std::vector<uint8_t>{0x00, 0x80});
    EXPECT_EQ(camera_->collectedEventBytes(), 2u);
    ASSERT_EQ(camera_->stopRecording(DVS), 0);
    EXPECT_EQ(
        std::filesystem::file_size(folder.path() / "chunks.raw") -
            [&] {
                RawFileHeader header;
                std::string error;
                EXPECT_TRUE(readRawFileHeader((folder.path() / "chunks.raw").string(), header, error));
                return header.payload_offset;
            }(),
        TandraCamera::kEventChunkBytes + 2);
}

TEST_F(FusionCameraTest, ARecordingOfBothStreamsWithoutFramesStillRecordsItsEvents) {
    // Events only stream: the frame recording never gets a frame.
    TempFolder folder("noframes");
    ASSERT_EQ(camera_->start(DVS), 0);
    ScopedLogCapture log;
    ASSERT_EQ(camera_->startRecording(folder.str(), "noframes", DVS_AND_APS), 0);
    // The longest wait is 30 s; by the camera's clock it is 2 s.
    EXPECT_TRUE(waitFor([&] { return camera_->acceptingEvents(); }, 40s)) << "the wait for a frame ends";
    EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "no frame within"));
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(folder.path() / "noframes.raw"); }));
    ASSERT_TRUE(waitFor([&] { return camera_->collectedEventBytes() > 0; })) << "events to record";
    EXPECT_EQ(camera_->stopRecording(DVS_AND_APS), -1) << "the video holds nothing";
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "no frame was recorded"));
    EXPECT_EQ(camera_->stop(DVS_AND_APS), 0);
    const auto raw = folder.path() / "noframes.raw";
    EXPECT_EQ(firstLine(raw), "% evt 3.0") << "no aps_start_timestamp line without a frame";
    RawFileReader reader(raw.string());
    ASSERT_TRUE(reader.loadFile()) << reader.lastErrorMessage();
    uint64_t events = 0;
    ASSERT_TRUE(reader.getMaxEvents(events));
    EXPECT_GT(events, 0u);
}

TEST_F(FusionCameraTest, FramesAreRecordedWithoutFrameCallbacks) {
    EXPECT_EQ(camera_->framePoolMade(), 0u) << "frame buffers are made when frames come";
    TempFolder folder("nocallbacks");
    ScopedLogCapture log(LOG_INFO);
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    ASSERT_EQ(camera_->startRecording(folder.str(), "nocb", DVS_AND_APS), 0);
    ASSERT_TRUE(waitFor([&] { return camera_->recordedFrames() >= 3; }, 30s));
    ASSERT_TRUE(log.containsSubstring(LOG_INFO, "Mp4 offset: "));
    ASSERT_EQ(camera_->stopRecording(DVS_AND_APS), 0);
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
    EXPECT_FALSE(camera_->frameConverterMade()) << "no ApsFrame is built for nobody";
    Mp4FileReader video((folder.path() / "nocb.mp4").string());
    ASSERT_TRUE(video.loadFile());
    std::vector<uint64_t> times;
    ASSERT_TRUE(video.getTimeStamps(times));
    EXPECT_GE(times.size(), 3u) << "every frame handed to the recording is in the video";
    EXPECT_LE(camera_->framePoolMade(), TandraCamera::kFramePoolCount);
}

TEST_F(FusionCameraTest, FramesWithoutAnExposureTimeStayOutOfTheVideoAndFailTheRecording) {
    TempFolder folder("noexposure");
    ASSERT_EQ(camera_->startRecording(folder.str(), "noexp", APS), 0);
    camera_->armPairing();
    camera_->triggerInArrived({0, 1, 0});  // arms
    {
        ScopedLogCapture quiet;
        device_->unplug();  // the exposure time cannot be read
        camera_->triggerInArrived({0, 1, 1000});
        device_->plug();
    }
    camera_->triggerInArrived({0, 1, 14'280});  // exposure end 40000
    camera_->triggerInArrived({0, 1, 47'613});  // 73333
    for (uint8_t mark : {16, 32, 48}) ASSERT_TRUE(camera_->frameArrived(markedFrame(mark)));
    for (int pair = 0; pair < 3; ++pair) camera_->fuseOnce();  // one pair a round while not streaming
    ScopedLogCapture log;
    EXPECT_EQ(camera_->stopRecording(APS), -1);
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "a frame whose exposure time could not be read"));
    Mp4FileReader video((folder.path() / "noexp.mp4").string());
    ASSERT_TRUE(video.loadFile());
    std::vector<uint64_t> times;
    ASSERT_TRUE(video.getTimeStamps(times));
    EXPECT_EQ(times, (std::vector<uint64_t>{0, 33'333})) << "the timed frames alone, from the video's start";
}

TEST_F(FusionCameraTest, EventDataTheStreamLostFailTheRecording) {
    // An event callback holds the event reader until the stream has lost buffers.
    std::atomic<bool> hold{false};
    camera_->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
        if (hold.exchange(false)) waitFor([&] { return camera_->lostEventBuffers() > 0; }, 30s);
    });
    TempFolder folder("lost");
    ASSERT_EQ(camera_->start(DVS), 0);
    ASSERT_EQ(camera_->startRecording(folder.str(), "lost", DVS), 0);
    ASSERT_TRUE(waitFor([&] { return camera_->acceptingEvents(); }));
    hold = true;
    ASSERT_TRUE(waitFor([&] { return camera_->lostEventBuffers() > 0; }, 40s));
    ScopedLogCapture log;
    EXPECT_EQ(camera_->stopRecording(DVS), -1);
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "event buffer(s) lost before they reached the file"));
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);
}

// --- Discovery and opening ---

class FusionManager : public ::testing::Test {
protected:
    void SetUp() override {
        fusion_ = fusionConfig(uniqueSerial("FZ"));
        evk4_ = sim::SimulatedCameras::defaultConfigs().front();
        ASSERT_EQ(evk4_.description.product, "EVK4");
        evk4_.description.serial = "zz" + uniqueSerial("EVK");  // sorts after the fusion camera
        evk4_.settle_scale = 0;
        sim::SimulatedCameras::instance().reset({fusion_, evk4_});
    }
    void TearDown() override { sim::SimulatedCameras::instance().restoreDefault(); }
    sim::SimDeviceConfig fusion_;
    sim::SimDeviceConfig evk4_;
};

TEST_F(FusionManager, EventCamerasAreListedBeforeFusionCameras) {
    DvsCameraManager manager;
    const auto descs = manager.getCameraDescs();
    ASSERT_EQ(descs.size(), 2u);
    EXPECT_EQ(descs[0].serial, evk4_.description.serial);
    EXPECT_EQ(descs[1].serial, fusion_.description.serial);
    EXPECT_EQ(manager.findCameras(TANDRA), 1u);
    EXPECT_EQ(manager.updateCameras(), 2);
}

TEST_F(FusionManager, OpeningTheWrongKindGivesNothing) {
    DvsCameraManager manager;
    EXPECT_EQ(manager.openFusionCamera(fusion_.description.serial), nullptr) << "nothing before a search";
    manager.getCameraDescs();
    EXPECT_EQ(manager.openFusionCamera(evk4_.description.serial), nullptr);
    EXPECT_EQ(manager.openCamera(fusion_.description.serial), nullptr);
    ScopedLogCapture log;
    auto fusion = manager.openFusionCamera(fusion_.description.serial);
    ASSERT_NE(fusion, nullptr);
    EXPECT_TRUE(log.contains(LOG_DETAIL, "Fusion Camera serial: " + fusion_.description.serial));
    EXPECT_TRUE(fusion->isConnected());
    EXPECT_EQ(manager.openFusionCamera(fusion_.description.serial), fusion) << "the same object";
}

TEST_F(FusionManager, AFusionCameraFoundButNeverOpenedIsReplacedAtTheNextSearch) {
    // A camera object that was never opened has no interface and reports not connected.
    EXPECT_FALSE(makeFusionCamera<TandraCamera>(fusion_.description)->isConnected());

    DvsCameraManager manager;
    manager.getCameraDescs();
    auto device = sim::SimulatedCameras::instance().find(fusion_.description.serial);
    device->unplug();
    std::shared_ptr<FusionCamera> unopened;
    {
        ScopedLogCapture quiet;
        unopened = manager.openFusionCamera(fusion_.description.serial);  // cannot open: no interface
    }
    ASSERT_NE(unopened, nullptr);
    EXPECT_FALSE(unopened->isConnected());
    device->plug();

    ScopedLogCapture log;
    EXPECT_EQ(manager.getCameraDescs().size(), 2u);
    for (const auto& line : log.lines()) {
        EXPECT_EQ(line.text.find(fusion_.description.serial), std::string::npos)
            << "erased silently: " << line.text;
    }
    auto fresh = manager.openFusionCamera(fusion_.description.serial);
    ASSERT_NE(fresh, nullptr);
    EXPECT_NE(fresh, unopened) << "a fresh object for the camera";
    EXPECT_TRUE(fresh->isConnected());
    manager.getCameraDescs();
    EXPECT_EQ(manager.openFusionCamera(fusion_.description.serial), fresh) << "an opened camera stays";
}

TEST_F(FusionManager, AFailedOpenStillGivesTheCameraWhichRefusesToStart) {
    DvsCameraManager manager;
    manager.getCameraDescs();
    sim::SimulatedCameras::instance().find(fusion_.description.serial)->unplug();
    ScopedLogCapture log;
    auto fusion = manager.openFusionCamera(fusion_.description.serial);
    ASSERT_NE(fusion, nullptr);
    EXPECT_TRUE(log.contains(LOG_ERROR, "Interface init error."));
    EXPECT_FALSE(fusion->isConnected());
    EXPECT_EQ(fusion->start(DVS_AND_APS), -1);
    EXPECT_EQ(fusion->stop(DVS_AND_APS), 0);
}

}  // namespace
}  // namespace zelvan::fusiontest
