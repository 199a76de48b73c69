// What a camera does at the edges of streaming and recording: waits that must end, stops and
// releases from the camera's own threads, devices that go away, data that must not be lost unseen.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "CameraTestUtil.h"
#include "FileSizeLimit.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/ThreadUtils.h"

namespace fs = std::filesystem;

namespace zelvan {
namespace {

using namespace zelvan::camtest;
using namespace std::chrono_literals;

// Runs getNextBatch on another thread; the test then sees whether and how it returned.
class BatchCall {
public:
    BatchCall(DvsCamera& camera, std::optional<std::chrono::milliseconds> timeout = std::nullopt)
        : future_(std::async(std::launch::async, [&camera, timeout, this] {
              return timeout ? camera.getNextBatch(batch_, *timeout) : camera.getNextBatch(batch_);
          })) {}
    // The result, when the call returned within the deadline.
    std::optional<bool> result(std::chrono::milliseconds deadline = 10s) {
        if (future_.wait_for(deadline) != std::future_status::ready) return std::nullopt;
        return future_.get();
    }
    bool stillWaiting() { return future_.wait_for(50ms) == std::future_status::timeout; }
    const std::vector<Event2D>& batch() const { return batch_; }

private:
    std::vector<Event2D> batch_{Event2D(1, 1, 1, 1)};
    std::future<bool> future_;
};

class Soundness : public LiveCamera {};

TEST_F(Soundness, BatchWaitsEndWhenStreamingDoesAndReportItAsFalse) {
    camera_->setBatchEventsTime(10'000'000);  // a batch would take ten seconds
    std::vector<Event2D> out{Event2D()};
    EXPECT_FALSE(camera_->getNextBatch(out)) << "before start";
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(camera_->getNextBatch(out, 5s)) << "before start, with a deadline";
    EXPECT_FALSE(camera_->isStreaming());

    ASSERT_EQ(camera_->start(), 0);
    EXPECT_TRUE(camera_->isStreaming());
    // A deadline ends a wait for a batch that does not come.
    {
        BatchCall call(*camera_, 100ms);
        EXPECT_EQ(call.result(), std::optional<bool>(false));
        EXPECT_TRUE(call.batch().empty());
    }
    // stop() ends a wait, and the waiter learns that streaming ended.
    BatchCall waiting(*camera_);
    ASSERT_TRUE(waitFor([this] { return seen() > 1000; }));
    EXPECT_TRUE(waiting.stillWaiting());
    EXPECT_EQ(camera_->stop(), 0);
    EXPECT_EQ(waiting.result(), std::optional<bool>(false));
    EXPECT_TRUE(waiting.batch().empty());
    EXPECT_FALSE(camera_->isStreaming());
    // After stop, and after a second stop, every call returns at once.
    EXPECT_EQ(BatchCall(*camera_).result(), std::optional<bool>(false));
    EXPECT_EQ(camera_->stop(), 0);
    EXPECT_EQ(BatchCall(*camera_).result(), std::optional<bool>(false));

    // A batch that does complete is delivered within the deadline.
    camera_->setBatchEventsNum(1000);
    ASSERT_EQ(camera_->start(), 0);
    BatchCall counted(*camera_, 10s);
    EXPECT_EQ(counted.result(), std::optional<bool>(true));
    EXPECT_EQ(counted.batch().size(), 1000u);
    EXPECT_EQ(camera_->stop(), 0);
}

// The camera loop completes the batches: a wait inside its callbacks is refused at once, and streaming
// goes on.
TEST_F(Soundness, BatchWaitsInsideTheCamerasOwnCallbacksAreRefused) {
    camera_->setBatchEventsNum(1000);
    std::atomic<int> calls{0};
    std::atomic<int> refused{0};
    camera_->addEventsStreamHandleCallback([&](const Event2D*, const Event2D*) {
        if (calls.fetch_add(1) >= 2) return;
        std::vector<Event2D> out{Event2D(1, 1, 1, 1)};
        if (!camera_->getNextBatch(out) && out.empty()) ++refused;
        if (!camera_->getNextBatch(out, 10s) && out.empty()) ++refused;
    });
    ScopedLogCapture log;
    ASSERT_EQ(camera_->start(), 0);
    ASSERT_TRUE(waitFor([&] { return calls.load() > 20; })) << "streaming stalled";
    EXPECT_EQ(refused.load(), 4);
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "getNextBatch is refused"));
    // A consumer on a thread of its own still gets its batches.
    BatchCall counted(*camera_, 10s);
    EXPECT_EQ(counted.result(), std::optional<bool>(true));
    EXPECT_EQ(counted.batch().size(), 1000u);
    EXPECT_EQ(camera_->stop(), 0);
}

TEST_F(Soundness, BatchWaitsEndWhenTheDeviceIsLostOrTheCameraDestroyed) {
    camera_->setBatchEventsTime(10'000'000);
    ASSERT_EQ(camera_->start(), 0);
    ASSERT_TRUE(waitFor([this] { return seen() > 1000; }));
    {
        BatchCall waiting(*camera_);
        EXPECT_TRUE(waiting.stillWaiting());
        device_->unplug();
        EXPECT_EQ(waiting.result(), std::optional<bool>(false));
    }
    EXPECT_EQ(BatchCall(*camera_).result(), std::optional<bool>(false)) << "after the loss";
    device_->plug();
    ASSERT_EQ(camera_->start(), 0);
    ASSERT_TRUE(waitFor([this] { return seen() > 2000; }));
    // Destroying the camera while a consumer waits: the consumer returns false, nothing crashes.
    std::shared_ptr<EngineProbe> camera = camera_;
    std::promise<bool> result;
    std::atomic<bool> entered{false};
    std::thread consumer([&, raw = camera.get()] {
        std::vector<Event2D> b;
        entered = true;
        result.set_value(raw->getNextBatch(b));
    });
    ASSERT_TRUE(waitFor([&] { return entered.load(); }));
    ASSERT_TRUE(waitFor([&] { return camera->batchWaiters(2) == 1; }));
    camera_.reset();
    camera.reset();  // the destructor waits until the consumer has left
    auto f = result.get_future();
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(f.get());
    consumer.join();
}

TEST_F(Soundness, StopFromTheCamerasOwnCallbacksIsSafeAndARestartWorks) {
    std::atomic<int> stop_result{1};
    std::atomic<bool> armed{true};
    std::atomic<int> restart_result{1};
    const uint32_t id = camera_->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
        // Once a consumer waits, stop from here; a restart from here is refused.
        if (camera_->batchWaiters(2) == 1 && armed.exchange(false)) {
            stop_result = camera_->stop();
            restart_result = camera_->start();
        }
    });
    camera_->setBatchEventsTime(10'000'000);
    ASSERT_EQ(camera_->start(), 0);
    BatchCall waiting(*camera_);
    EXPECT_EQ(waiting.result(), std::optional<bool>(false)) << "the waiter is woken by the stop";
    EXPECT_TRUE(waitFor([&] { return stop_result.load() == 0; })) << "stop() from the callback returns 0";
    EXPECT_TRUE(waitFor([&] { return restart_result.load() == -1; }))
        << "start() from the callback is refused";
    EXPECT_FALSE(camera_->isStreaming());
    EXPECT_TRUE(camera_->removeEventsStreamHandleCallback(id));

    // Again from the statistics callback.
    std::atomic<int> stats_stop{1};
    camera_->setStatisticInfoCallback([&](ZvStatisticInfo) { stats_stop = camera_->stop(); });
    const size_t before = seen();
    ASSERT_EQ(camera_->start(), 0) << "a restart joins the threads that ended themselves";
    ASSERT_TRUE(waitFor([&] { return stats_stop.load() == 0; }));
    EXPECT_TRUE(waitFor([this] { return !camera_->isStreaming(); }));
    EXPECT_GT(seen(), before);
    EXPECT_EQ(BatchCall(*camera_).result(), std::optional<bool>(false));
    camera_->setStatisticInfoCallback(nullptr);
    ASSERT_EQ(camera_->start(), 0);
    EXPECT_TRUE(camera_->isStreaming());
    EXPECT_EQ(camera_->stop(), 0);
}

// The last outside reference dropped inside a callback: the camera goes away after the callback,
// on its own thread, without terminating the process.
void releaseInsideCallback(LiveCamera& fixture, std::shared_ptr<EngineProbe>& owner, bool statistics) {
    std::mutex m;
    const int destroyed_before = EngineProbe::destroyed().load();
    std::shared_ptr<EngineProbe> holder = std::move(owner);
    std::weak_ptr<EngineProbe> watch = holder;
    std::atomic<int> calls_after_release{0};
    std::atomic<bool> released{false};
    auto release = [&] {
        if (released.load()) {
            ++calls_after_release;
            return;
        }
        std::shared_ptr<EngineProbe> last;
        {
            std::lock_guard<std::mutex> lock(m);
            last = std::move(holder);
        }
        released = true;
        last.reset();
    };
    if (statistics) {
        holder->setStatisticInfoCallback([&](ZvStatisticInfo) { release(); });
    } else {
        holder->addEventsStreamHandleCallback([&](Event2D*, Event2D*) { release(); });
    }
    std::shared_ptr<EngineProbe> starter;
    {
        std::lock_guard<std::mutex> lock(m);
        starter = holder;
    }
    ASSERT_EQ(starter->start(), 0);
    starter.reset();
    EXPECT_TRUE(waitFor([&] { return watch.expired(); })) << "the camera is released";
    // The camera is destroyed on the joiner thread; once that has begun, a task queued after it
    // runs when the camera is gone and has let the device go.
    EXPECT_TRUE(waitFor([&] { return EngineProbe::destroyed().load() > destroyed_before; }));
    std::promise<void> joined;
    runOnJoiner([&] { joined.set_value(); });
    EXPECT_EQ(joined.get_future().wait_for(10s), std::future_status::ready);
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(holder, nullptr);
    EXPECT_EQ(calls_after_release.load(), 0) << "no callback after the release";
    (void)fixture;
}

TEST_F(Soundness, ReleasingTheCameraFromItsOwnCallbacksIsSafe) {
    ScopedLogCapture log;
    releaseInsideCallback(*this, camera_, false);
    EXPECT_FALSE(log.containsSubstring(LOG_ERROR, "destroyed on its own thread"));
    // A new camera on the same device streams.
    camera_ = makeCamera<EngineProbe>(device_->description());
    ASSERT_EQ(camera_->init(), 0);
    releaseInsideCallback(*this, camera_, true);
    camera_ = makeCamera<EngineProbe>(device_->description());
    ASSERT_EQ(camera_->init(), 0);
    std::atomic<uint64_t> n{0};
    camera_->addEventsStreamHandleCallback([&](Event2D* f, Event2D* l) { n += uint64_t(l - f); });
    ASSERT_EQ(camera_->start(), 0);
    EXPECT_TRUE(waitFor([&] { return n.load() > 1000; }));
    EXPECT_EQ(camera_->stop(), 0);
}

TEST_F(Soundness, StartingAnUnpluggedCameraFails) {
    device_->unplug();
    ScopedLogCapture log;
    EXPECT_EQ(camera_->start(), -1);
    EXPECT_FALSE(camera_->isStreaming());
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "Start camera"));
    device_->plug();
    ASSERT_EQ(camera_->start(), 0);
    EXPECT_TRUE(waitFor([this] { return seen() > 1000; }));
    EXPECT_EQ(camera_->stop(), 0);
}

TEST_F(Soundness, LossesAreCounted) {
    EXPECT_EQ(camera_->getStreamCounters(), ZvStreamCounters{});
    // Batches nobody takes are replaced.
    camera_->setBatchEventsNum(1000);
    ASSERT_EQ(camera_->start(), 0);
    EXPECT_TRUE(waitFor([this] { return camera_->getStreamCounters().replacedBatches > 3; }));
    // A consumer that holds up the camera loop makes the paced device lose buffers.
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    const uint32_t id = camera_->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, 10s, [&] { return release; });
    });
    EXPECT_TRUE(waitFor([this] { return camera_->getStreamCounters().lostBuffers > 0; }));
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    EXPECT_EQ(camera_->stop(), 0);
    camera_->removeEventsStreamHandleCallback(id);
}

fs::path tempFile(const std::string& name) {
    return fs::temp_directory_path() / ("zelvan-sound-" + std::to_string(::getpid()) + "-" + name);
}

// A camera whose clock started at 20 s, past the first 2^24 us wrap.
class LateStartedCamera : public LiveCamera {
    void configure(sim::SimDeviceConfig& config) override { config.start_time_us = 20'000'000; }
};

TEST_F(LateStartedCamera, RecordingStartsAtTheTimeOfItsFirstWordAndDecodesAsDelivered) {
    const fs::path file = tempFile("late.raw");
    ASSERT_EQ(camera_->startRecording(file.string()), 0);
    ASSERT_EQ(camera_->start(), 0);
    ASSERT_TRUE(waitFor([this] { return seen() > 100'000; }));
    drain();
    EXPECT_EQ(camera_->stopRecording(), 0);
    EXPECT_EQ(camera_->stop(), 0);
    RawFileHeader header;
    const auto decoded = decodeRecording(file, header);
    removeRecording(file);
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_FALSE(seen_.empty());
    ASSERT_TRUE(header.has_dvs_start_timestamp);
    EXPECT_LE(header.info.dvs_start_timestamp, seen_.front().timestamp);
    EXPECT_LT(seen_.front().timestamp, header.info.dvs_start_timestamp + 100'000)
        << "within one buffer's span";
    ASSERT_EQ(decoded.size(), seen_.size());
    EXPECT_TRUE(decoded == seen_) << "the file decodes with the times the camera delivered";
}

TEST_F(Soundness, UnpluggedDuringARecordingTheFileHoldsEverythingUpToTheUnplug) {
    for (const bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "cached" : "direct");
        const fs::path file = tempFile(cached ? "unplug-cached.raw" : "unplug-direct.raw");
        if (cached) camera_->setFileCacheTime(2, tempFile("cache-").string());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.clear();
        }
        ASSERT_EQ(camera_->startRecording(file.string()), 0);
        ASSERT_EQ(camera_->start(), 0);
        EXPECT_TRUE(camera_->isRecording());
        ASSERT_TRUE(waitFor([this] { return seen() > 200'000; }));
        device_->unplug();
        ASSERT_TRUE(waitFor([this] { return !camera_->isStreaming(); }));
        const int stopped = camera_->stopRecording();
        EXPECT_EQ(stopped, 0);
        EXPECT_TRUE(camera_->waitForRecordingMerged(30s));
        const ZvRecordingStatus status = camera_->getRecordingStatus();
        EXPECT_FALSE(status.failed) << status.error;
        EXPECT_EQ(status.path, file.string());
        EXPECT_EQ(status.bytesWritten, fs::file_size(file));
        RawFileHeader header;
        const auto decoded = decodeRecording(file, header);
        removeRecording(file);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ASSERT_GE(decoded.size(), seen_.size());
            // A cached recording also holds up to two seconds from before it started.
            EXPECT_TRUE(std::equal(seen_.begin(), seen_.end(), decoded.end() - std::ptrdiff_t(seen_.size())))
                << "every event the camera delivered is in the file";
        }
        if (cached) camera_->setFileCacheTime(0, tempFile("cache-").string());
        device_->plug();
        ASSERT_EQ(camera_->start(), 0) << "re-plug and start works";
        EXPECT_EQ(camera_->stop(), 0);
    }
}

TEST_F(Soundness, ACachedRecordingIntoAFullDiskIsReportedAfterItsMerge) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    camera_->setFileCacheTime(2, tempFile("fullcache-").string());
    ASSERT_EQ(camera_->start(), 0);
    ASSERT_TRUE(waitFor([this] { return seen() > 100'000; }));
    ASSERT_EQ(camera_->startRecording("/dev/full"), 0);
    ASSERT_TRUE(waitFor([this] { return seen() > 300'000; }));
    camera_->stopRecording();
    EXPECT_TRUE(camera_->waitForRecordingMerged(30s));
    const ZvRecordingStatus status = camera_->getRecordingStatus();
    EXPECT_TRUE(status.failed);
    EXPECT_NE(status.error.find("Write error"), std::string::npos) << status.error;
    // The cached data that could not be merged are kept under names the cache does not reuse.
    const auto at = status.error.find("kept in ");
    ASSERT_NE(at, std::string::npos) << status.error;
    std::string kept = status.error.substr(at + 8);
    kept = kept.substr(0, kept.find(','));
    ASSERT_TRUE(waitFor([this] { return seen() > 400'000; }));  // the cache goes on for a while
    EXPECT_TRUE(fs::exists(kept)) << kept;
    EXPECT_GT(fs::file_size(kept), 0u);
    EXPECT_EQ(camera_->stop(), 0);
    camera_->setFileCacheTime(0, tempFile("fullcache-").string());
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
        if (entry.path().filename().string().rfind("zelvan-sound-" + std::to_string(::getpid()), 0) == 0) {
            fs::remove(entry.path());
        }
    }
}

TEST_F(Soundness, ARecordingIntoAFullDiskIsReportedAsFailed) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    ASSERT_EQ(camera_->startRecording("/dev/full"), 0);
    ASSERT_EQ(camera_->start(), 0);
    EXPECT_TRUE(waitFor([this] { return camera_->getRecordingStatus().failed; }));
    EXPECT_EQ(camera_->stopRecording(), -1);
    EXPECT_EQ(camera_->stop(), 0);
    const ZvRecordingStatus status = camera_->getRecordingStatus();
    EXPECT_TRUE(status.failed);
    EXPECT_FALSE(status.error.empty());
    EXPECT_EQ(camera_->startRecording((tempFile("no-such-dir") / "x.raw").string()), -1);
    EXPECT_NE(camera_->getRecordingStatus().error.find("Cannot open recording file"), std::string::npos);
}

// The camera gives the reason of every recording it refuses or that fails.
TEST_F(Soundness, RecordingFailuresCarryTheirReason) {
    EXPECT_EQ(camera_->lastRecordingError(), RecorderError::None);
    EXPECT_EQ(camera_->startRecording((tempFile("no-such-dir") / "x.raw").string()), -1);
    EXPECT_EQ(camera_->lastRecordingError(), RecorderError::CannotOpen);
    EXPECT_EQ(camera_->getRecordingStatus().reason, RecorderError::CannotOpen);

    const fs::path first = tempFile("first.raw");
    ASSERT_EQ(camera_->startRecording(first.string()), 0);
    EXPECT_EQ(camera_->lastRecordingError(), RecorderError::None);
    EXPECT_EQ(camera_->startRecording(tempFile("second.raw").string()), -1);
    EXPECT_EQ(camera_->lastRecordingError(), RecorderError::AlreadyRecording);
    EXPECT_EQ(camera_->getRecordingStatus().path, first.string()) << "the running recording goes on";
    EXPECT_FALSE(camera_->getRecordingStatus().failed);
    EXPECT_EQ(camera_->stopRecording(), 0);
    EXPECT_EQ(camera_->lastRecordingError(), RecorderError::None);
    removeRecording(first);

    // A disk that fills up while the camera streams into the file.
    const fs::path full = tempFile("full.raw");
    {
        testing_support::FileSizeLimit limit(256 * 1024);
        ASSERT_TRUE(limit.applied());
        ASSERT_EQ(camera_->startRecording(full.string()), 0);
        ASSERT_EQ(camera_->start(), 0);
        EXPECT_TRUE(waitFor([this] { return camera_->getRecordingStatus().failed; }));
        EXPECT_EQ(camera_->stopRecording(), -1);
        EXPECT_EQ(camera_->stop(), 0);
    }
    EXPECT_EQ(camera_->lastRecordingError(), RecorderError::WriteFailed);
    const ZvRecordingStatus status = camera_->getRecordingStatus();
    EXPECT_EQ(status.reason, RecorderError::WriteFailed);
    EXPECT_STREQ(recorderErrorText(status.reason), "the file cannot be written");
    EXPECT_LE(fs::file_size(full), 256u * 1024u);
    removeRecording(full);
}

}  // namespace
}  // namespace zelvan
