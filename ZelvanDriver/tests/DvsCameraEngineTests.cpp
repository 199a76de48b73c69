#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "CameraTestUtil.h"
#include "camera/DvsEventCamera.h"
#include "camera/EventBatcher.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/sim/SimDevice.h"

namespace fs = std::filesystem;

namespace zelvan {
namespace {

using namespace zelvan::camtest;
using namespace std::chrono_literals;

TEST(CameraEngine, CallbackIdsCountPerKindAndAreNeverReused) {
    EngineProbe cam(evk4Description("ids"));
    EXPECT_EQ(cam.addEventsStreamHandleCallback([](Event2D*, Event2D*) {}), 0u);
    EXPECT_EQ(cam.addTriggerInCallback([](EventTriggerIn) {}), 0u);
    EXPECT_EQ(cam.addEventsStreamHandleCallback([](Event2D*, Event2D*) {}), 1u);
    EXPECT_TRUE(cam.removeEventsStreamHandleCallback(1));
    EXPECT_FALSE(cam.removeEventsStreamHandleCallback(1));
    EXPECT_EQ(cam.addEventsStreamHandleCallback([](Event2D*, Event2D*) {}), 2u);
    EXPECT_EQ(cam.addTriggerInCallback([](EventTriggerIn) {}), 1u);
    EXPECT_FALSE(cam.removeTriggerInCallback(7));
}

TEST(CameraEngine, CallbacksSeeTheDecoderSpanAsIs) {
    EngineProbe cam(evk4Description("spans"));
    auto events = ramp(0, 1, 10);
    Event2D* seen_a[2] = {nullptr, nullptr};
    Event2D* seen_b[2] = {nullptr, nullptr};
    cam.addEventsStreamHandleCallback([&](Event2D* f, Event2D* l) { seen_a[0] = f, seen_a[1] = l; });
    const uint32_t b =
        cam.addEventsStreamHandleCallback([&](Event2D* f, Event2D* l) { seen_b[0] = f, seen_b[1] = l; });
    cam.eventStreamArrived(events.data(), events.data() + 10);
    EXPECT_EQ(seen_a[0], events.data());
    EXPECT_EQ(seen_a[1], events.data() + 10);
    EXPECT_EQ(seen_b[0], events.data());
    EXPECT_TRUE(cam.removeEventsStreamHandleCallback(b));
    std::vector<EventTriggerIn> triggers;
    cam.addTriggerInCallback([&](EventTriggerIn t) { triggers.push_back(t); });
    cam.triggerInArrived(EventTriggerIn(3, 1, 500));
    ASSERT_EQ(triggers.size(), 1u);
    EXPECT_EQ(triggers[0].id, 3);
}

TEST(CameraEngine, CountBatches) {
    EngineProbe cam(evk4Description("count"));
    std::vector<Event2D> out(5);
    EXPECT_FALSE(cam.getNextBatch(out)) << "no batching set";
    EXPECT_TRUE(out.empty());

    ScopedLogCapture log;
    cam.setBatchEventsNum(0);
    EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "Batch events number 0 refused"));
    EXPECT_FALSE(cam.getNextBatch(out)) << "a refused size does not switch batching on";

    cam.setBatchEventsNum(100);
    auto events = ramp(0, 1, 200);
    // Spans of 30: the fourth completes a batch of exactly 100 and leaves 20 behind.
    for (int span = 0; span < 3; ++span)
        cam.eventStreamArrived(events.data() + 30 * span, events.data() + 30 * span + 30);
    EXPECT_EQ(cam.batcher().completed(cam.batchMode(1)), 0u);
    cam.eventStreamArrived(events.data() + 90, events.data() + 120);
    EXPECT_EQ(cam.batcher().completed(cam.batchMode(1)), 1u);
    ASSERT_EQ(cam.batcher().lastCompleted(cam.batchMode(1)).size(), 100u);
    EXPECT_EQ(cam.batcher().lastCompleted(cam.batchMode(1)).back().timestamp, 99u);
    ASSERT_EQ(cam.batcher().filling(cam.batchMode(1)).size(), 20u);
    EXPECT_EQ(cam.batcher().filling(cam.batchMode(1)).front().timestamp, 100u);
    // One span that completes a batch and starts another.
    cam.eventStreamArrived(events.data() + 120, events.data() + 200);
    EXPECT_EQ(cam.batcher().completed(cam.batchMode(1)), 1u);
    cam.eventStreamArrived(events.data(), events.data() + 30);
    EXPECT_EQ(cam.batcher().completed(cam.batchMode(1)), 2u);
    EXPECT_EQ(cam.batcher().lastCompleted(cam.batchMode(1)).front().timestamp, 100u);
    EXPECT_EQ(cam.batcher().filling(cam.batchMode(1)).size(),
              30u);  // the full batch completed only when more arrived
}

TEST(CameraEngine, TimeBatches) {
    EngineProbe cam(evk4Description("time"));
    ScopedLogCapture log;
    cam.setBatchEventsTime(0);
    EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "Batch events time 0 refused"));
    cam.setBatchEventsTime(10000);
    auto events = ramp(0, 100, 251);  // 0 .. 25000
    cam.eventStreamArrived(events.data(), events.data() + events.size());
    // Boundaries 10000 and 20000 complete two batches; an event at a boundary opens the next one.
    EXPECT_EQ(cam.batcher().completed(cam.batchMode(2)), 2u);
    ASSERT_EQ(cam.batcher().lastCompleted(cam.batchMode(2)).size(), 100u);
    EXPECT_EQ(cam.batcher().lastCompleted(cam.batchMode(2)).front().timestamp, 10000u);
    EXPECT_EQ(cam.batcher().lastCompleted(cam.batchMode(2)).back().timestamp, 19900u);
    ASSERT_EQ(cam.batcher().filling(cam.batchMode(2)).size(), 51u);
    EXPECT_EQ(cam.batcher().filling(cam.batchMode(2)).front().timestamp, 20000u);
    // A whole period without events gives an empty batch.
    std::vector<Event2D> later = {Event2D(0, 0, 0, 45000)};
    cam.eventStreamArrived(later.data(), later.data() + 1);
    EXPECT_EQ(cam.batcher().completed(cam.batchMode(2)), 4u);
    EXPECT_TRUE(cam.batcher().lastCompleted(cam.batchMode(2)).empty());
    // Switching modes keeps what each mode collected.
    cam.setBatchEventsNum(5);
    cam.setBatchEventsTime(10000);
    EXPECT_EQ(cam.batcher().filling(cam.batchMode(2)).size(), 1u);
}

// --- The batcher on its own ---

namespace {
std::vector<Event2D> at(std::initializer_list<uint64_t> times) {
    std::vector<Event2D> events;
    for (uint64_t t : times) events.emplace_back(1, 1, 1, t);
    return events;
}
std::vector<uint64_t> timesOf(const std::vector<Event2D>& events) {
    std::vector<uint64_t> times;
    for (const Event2D& e : events) times.push_back(e.timestamp);
    return times;
}
}  // namespace

TEST(EventBatcher, TimeBatchesDoNotDependOnHowTheStreamIsSplit) {
    std::vector<std::vector<uint64_t>> batches[2];
    for (int split = 0; split < 2; ++split) {
        EventBatcher batcher;
        batcher.setTime(10'000);
        batcher.streamStarted();
        auto events = at({0, 15'000, 24'000, 26'000, 31'000});
        std::vector<size_t> cuts = split ? std::vector<size_t>{2, 4, 5} : std::vector<size_t>{5};
        size_t from = 0;
        for (size_t cut : cuts) {
            const uint64_t before = batcher.completed(EventBatcher::Mode::ByTime);
            batcher.add(events.data() + from, events.data() + cut);
            for (uint64_t n = before; n < batcher.completed(EventBatcher::Mode::ByTime); ++n)
                batches[split].push_back({});  // the count of batches completed in this call
            if (batcher.completed(EventBatcher::Mode::ByTime) > before)
                batches[split].back() = timesOf(batcher.lastCompleted(EventBatcher::Mode::ByTime));
            from = cut;
        }
        batches[split].push_back(timesOf(batcher.filling(EventBatcher::Mode::ByTime)));
    }
    // Boundaries at 10, 20 and 30 ms whatever the calls.
    EXPECT_EQ(batches[0].back(), (std::vector<uint64_t>{31'000}));
    EXPECT_EQ(batches[1].back(), (std::vector<uint64_t>{31'000}));
    EXPECT_EQ(batches[1][1], (std::vector<uint64_t>{15'000}));
    EXPECT_EQ(batches[1][2], (std::vector<uint64_t>{24'000, 26'000}));
}

TEST(EventBatcher, APeriodNearTheEndOfTimeNeverSpins) {
    EventBatcher batcher;
    batcher.setTime(UINT64_MAX);
    batcher.streamStarted();
    auto events = at({3'600'000'000, 3'600'000'001});
    batcher.add(events.data(), events.data() + events.size());
    EXPECT_EQ(batcher.completed(EventBatcher::Mode::ByTime), 0u);
    EXPECT_EQ(batcher.fillSize(EventBatcher::Mode::ByTime), 2u);
}

TEST(EventBatcher, ANewStreamStartsWithEmptyBatches) {
    EventBatcher batcher;
    batcher.setCount(3);
    batcher.streamStarted();
    auto events = at({1, 2});
    batcher.add(events.data(), events.data() + 2);
    batcher.streamEnded();
    batcher.streamStarted();
    auto next = at({5});
    batcher.add(next.data(), next.data() + 1);
    EXPECT_EQ(timesOf(batcher.filling(EventBatcher::Mode::ByCount)), (std::vector<uint64_t>{5}));
}

TEST(EventBatcher, EachBatchGoesToOneWaiterAndAModeChangeCarriesWaitsOver) {
    EventBatcher batcher;
    batcher.setCount(2);
    batcher.streamStarted();
    std::mutex mutex;
    std::vector<std::vector<uint64_t>> got;
    const auto consumer = [&] {
        std::vector<Event2D> out;
        const bool ok = batcher.next(out, 10s);
        std::lock_guard<std::mutex> lock(mutex);
        got.push_back(ok ? timesOf(out) : std::vector<uint64_t>{});
    };
    std::thread a(consumer), b(consumer);
    ASSERT_TRUE(waitFor([&] { return batcher.waiters(EventBatcher::Mode::ByCount) == 2; }));
    auto events = at({1, 2, 3});
    batcher.add(events.data(), events.data() + 3);  // one batch: one waiter takes it, the other waits on
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return got.size() == 1;
    }));
    ASSERT_TRUE(waitFor([&] { return batcher.waiters(EventBatcher::Mode::ByCount) == 1; }));
    // The remaining waiter goes on with time batches.
    batcher.setTime(10);
    auto later = at({20, 35});
    batcher.add(later.data(), later.data() + 2);
    a.join();
    b.join();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (std::vector<uint64_t>{1, 2}));
    EXPECT_FALSE(got[1].empty()) << "a time batch, not an empty one";
}

TEST(CameraEngine, LongSilenceYieldsABoundedNumberOfEmptyBatches) {
    EngineProbe cam(evk4Description("gap"));
    cam.setBatchEventsTime(10);
    std::vector<Event2D> events = {Event2D(1, 1, 1, 0), Event2D(2, 2, 1, uint64_t(1) << 40)};
    const auto start = std::chrono::steady_clock::now();
    cam.eventStreamArrived(events.data(), events.data() + 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "a huge time gap must not spin";
}

TEST(CameraEngine, StopOnANeverStartedCameraIsSilent) {
    EngineProbe cam(evk4Description("quiet"));
    ScopedLogCapture log;
    EXPECT_EQ(cam.stop(), 0);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_THROW(cam.start(), std::runtime_error);
    EXPECT_THROW(static_cast<void>(cam.startRecording("x.raw")), std::runtime_error);
    EXPECT_EQ(cam.getWidth(), 1280);
}

TEST_F(LiveCamera, EveryEventExactlyOnceAndInOrder) {
    ASSERT_EQ(camera_->start(), 0);
    EXPECT_EQ(camera_->start(), 0) << "already running";
    ASSERT_TRUE(waitFor([this] { return seen() > 600'000; }));
    drain();
    ASSERT_EQ(camera_->stop(), 0);
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_EQ(seen_.size(), sent_.size());
    EXPECT_TRUE(seen_ == sent_);
    EXPECT_TRUE(seen_triggers_ == sent_triggers_);
    EXPECT_GT(seen_triggers_.size(), 10u);
    EXPECT_GT(seen_.back().timestamp, uint64_t(1) << 24) << "the stream crossed the 24-bit wrap";
}

TEST_F(LiveCamera, BatchesAreContiguousRunsOfTheStream) {
    camera_->setBatchEventsNum(5000);
    ASSERT_EQ(camera_->start(), 0);
    std::vector<std::vector<Event2D>> batches;
    std::vector<Event2D> batch;
    while (batches.size() < 5) {
        ASSERT_TRUE(camera_->getNextBatch(batch));
        if (!batch.empty()) batches.push_back(batch);
    }
    drain();
    ASSERT_EQ(camera_->stop(), 0);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& b : batches) {
        ASSERT_EQ(b.size(), 5000u);
        auto at = std::search(sent_.begin(), sent_.end(), b.begin(), b.begin() + 50);
        ASSERT_NE(at, sent_.end());
        ASSERT_LE(size_t(sent_.end() - at), sent_.size());
        EXPECT_TRUE(std::equal(b.begin(), b.end(), at)) << "a batch is a contiguous run of the stream";
    }
}

TEST_F(LiveCamera, StopWakesABlockedBatchConsumer) {
    camera_->setBatchEventsTime(10'000'000);  // a batch would take ten seconds
    ASSERT_EQ(camera_->start(), 0);
    std::atomic<bool> returned{false};
    std::thread consumer([&] {
        std::vector<Event2D> b;
        camera_->getNextBatch(b);
        returned = true;
    });
    ASSERT_TRUE(waitFor([this] { return seen() > 1000; }));
    EXPECT_EQ(camera_->stop(), 0);
    consumer.join();
    EXPECT_TRUE(returned.load());
}

TEST_F(LiveCamera, StatisticsMatchWhatTheDeviceSent) {
    // Each sample is compared with what the device emitted between the samples (a slow build may
    // not reach the configured rate, but the report must still be true).
    struct Sample {
        ZvStatisticInfo info;
        uint64_t emitted_events;
        uint64_t emitted_bytes;
        std::chrono::steady_clock::time_point at;
    };
    std::mutex m;
    std::vector<Sample> samples;
    camera_->setStatisticInfoCallback([&](ZvStatisticInfo s) {
        std::lock_guard<std::mutex> lock(m);
        samples.push_back(
            {s, device_->emittedEvents(), device_->emittedBytes(), std::chrono::steady_clock::now()});
    });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(camera_->start(), 0);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(m);
        return samples.size() >= 4;
    }));
    ASSERT_EQ(camera_->stop(), 0);
    std::lock_guard<std::mutex> lock(m);
    EXPECT_GE(std::chrono::duration<double>(samples[3].at - start).count(), 3.5)
        << "about one sample per second";
    // Over samples 1..3 the reported rates, times their windows, account for what the device sent
    // in that time (the windows and the device's own pacing drift by milliseconds, so the sum is
    // compared, not each second).
    double reported_events = 0, reported_bytes = 0;
    for (size_t k = 1; k < 4; ++k) {
        const double dt = std::chrono::duration<double>(samples[k].at - samples[k - 1].at).count();
        // A busy machine runs the statistics thread late now and then.
        EXPECT_GT(dt, 0.5);
        EXPECT_LT(dt, 5.0);
        reported_events += double(samples[k].info.eventRate) * dt;
        reported_bytes += double(samples[k].info.dataRate) * dt;
    }
    const double sent_events = double(samples[3].emitted_events - samples[0].emitted_events);
    const double sent_bytes = double(samples[3].emitted_bytes - samples[0].emitted_bytes);
    ASSERT_GT(sent_events, 0.0);
    EXPECT_NEAR(reported_events, sent_events, 0.3 * sent_events);
    EXPECT_NEAR(reported_bytes, sent_bytes, 0.3 * sent_bytes);
}

TEST_F(LiveCamera, ConnectionLossStopsTheCameraAndARestartWorksAfterReplug) {
    ScopedLogCapture log;
    ASSERT_EQ(camera_->start(), 0);
    ASSERT_TRUE(waitFor([this] { return seen() > 10'000; }));
    device_->unplug();
    ASSERT_TRUE(waitFor([this] { return !camera_->isRunning(); }));
    ASSERT_TRUE(waitFor(
        [&] { return log.contains(LOG_INFO, "Loss connection to the camera, camera loop thread exited."); }));
    EXPECT_FALSE(camera_->isConnected());
    EXPECT_EQ(camera_->stop(), 0);
    device_->plug();
    EXPECT_TRUE(camera_->isConnected());
    const size_t before = seen();
    ASSERT_EQ(camera_->start(), 0);
    ASSERT_TRUE(waitFor([&] { return seen() > before + 10'000; }));
    EXPECT_EQ(camera_->stop(), 0);
}

TEST_F(LiveCamera, DirectRecordingHoldsExactlyWhatTheDeviceSent) {
    const fs::path file =
        fs::temp_directory_path() / ("zelvan-cam-rec-" + std::to_string(::getpid()) + ".raw");
    ASSERT_EQ(camera_->startRecording(file.string()), 0);
    ASSERT_EQ(camera_->start(), 0);
    ASSERT_TRUE(waitFor([this] { return seen() > 300'000; }));
    drain();
    EXPECT_EQ(camera_->stopRecording(), 0);
    ASSERT_EQ(camera_->stop(), 0);

    RawFileHeader header;
    std::vector<EventTriggerIn> triggers;
    const std::vector<Event2D> decoded = decodeRecording(file, header, &triggers);
    EXPECT_EQ(header.info.serial_number, camera_->getDescription().serial);
    removeRecording(file);
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_EQ(decoded.size(), sent_.size());
    EXPECT_TRUE(decoded == sent_);
    EXPECT_TRUE(triggers == sent_triggers_);
}

}  // namespace
}  // namespace zelvan
