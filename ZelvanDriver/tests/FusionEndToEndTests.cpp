// The fusion camera on the simulated device, end to end: streaming both sensors, pairing, and a
// recording of both streams read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <future>
#include <mutex>

#include "FusionTestUtil.h"
#include "zelvan/CalibratorParameters.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/Logger.h"
#include "zelvan/Mp4FileReader.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/RawFileReader.h"

namespace zelvan::fusiontest {
namespace {

TEST_F(FusionCameraTest, RecordsBothStreamsWithFramesTimedOnTheEventClock) {
    const uint32_t fps = config_.frame_rate;
    std::mutex mutex;
    std::vector<uint64_t> exposure_ends;
    std::vector<uint64_t> exposure_begins;
    uint64_t events = 0;
    std::vector<uint64_t> misplaced;  // exposure ends of frames that do not show the scene at that time
    size_t looked_at = 0;
    camera_->addApsFrameCallback([&](ApsFrame frame) {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(frame.width(), 3840);
        EXPECT_EQ(frame.height(), 2160);
        EXPECT_EQ(frame.getDataSize(), size_t(3840) * 2160 * 3);
        exposure_begins.push_back(frame.startTimestamp());
        exposure_ends.push_back(frame.endTimestamp());
        if (const auto shown = showsVerticalBarAt(frame, frame.endTimestamp())) {
            ++looked_at;
            if (!*shown) misplaced.push_back(frame.endTimestamp());
        }
    });
    camera_->addEventsStreamHandleCallback([&](Event2D* first, Event2D* last) {
        std::lock_guard<std::mutex> lock(mutex);
        events += static_cast<uint64_t>(last - first);
    });
    CalibratorParameters calibration;
    ASSERT_TRUE(camera_->readCalibrationParam(calibration));

    TempFolder folder("e2e");
    ScopedLogCapture log(LOG_INFO);
    ASSERT_EQ(camera_->start(DVS_AND_APS), 0);
    const auto delivered = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return exposure_ends.size();
    };
    // Frames flow before the recording starts, so that its first frame comes within a period.
    ASSERT_TRUE(waitFor([&] { return delivered() > 0; }, 30s));
    const uint64_t period = 1'000'000 / fps;
    const uint64_t lost_before = camera_->lostFrames();
    // Five seconds of frames: the recording stops as the frame after its 5 x fps-th arrives (the
    // callback runs before a frame is handed to the recording), whatever the machine's speed.
    std::promise<int> stopped;
    std::atomic<bool> stopping{false};
    TandraProbe* camera = camera_.get();
    camera_->addApsFrameCallback([&, camera](ApsFrame) {
        if (camera->recordedFrames() >= 5 * fps && !stopping.exchange(true))
            stopped.set_value(camera->stopRecording(DVS_AND_APS));
    });
    ASSERT_EQ(camera_->startRecording(folder.str(), "take", DVS_AND_APS), 0);
    auto result = stopped.get_future();
    ASSERT_EQ(result.wait_for(120s), std::future_status::ready);
    // A machine too busy for the encoder or the event reader loses data: counted, told, and the
    // recording reports it.
    const int stop_result = result.get();
    if (stop_result != 0) {
        EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "the video encoder fell behind") ||
                    log.containsSubstring(LOG_ERROR, "event buffer(s) lost before they reached the file"));
    }
    const uint64_t lost = camera_->lostFrames() - lost_before;
    const uint64_t handed = camera_->recordedFrames();
    ASSERT_EQ(camera_->stop(DVS_AND_APS), 0);

    const auto base = folder.path() / "take";
    ASSERT_TRUE(std::filesystem::exists(base.string() + ".raw"));
    ASSERT_TRUE(std::filesystem::exists(base.string() + ".mp4"));
    ASSERT_TRUE(std::filesystem::exists(base.string() + ".json"));

    // The raw file starts with the first frame's exposure end, the logged offset of the video.
    const std::string line = firstLine(base.string() + ".raw");
    ASSERT_EQ(line.rfind("% aps_start_timestamp ", 0), 0u) << line;
    const uint64_t offset = std::stoull(line.substr(22));
    EXPECT_TRUE(log.contains(LOG_INFO, "Mp4 offset: " + std::to_string(offset)));

    // Every paired frame carries the window of its exposure; frames come one period apart, unless
    // the camera counted some as lost on the way (a machine too busy to keep up).
    uint64_t missing = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (size_t i = 0; i < exposure_ends.size(); ++i) {
            EXPECT_GT(exposure_ends[i], exposure_begins[i]);
            if (i > 0) {
                const uint64_t step = exposure_ends[i] - exposure_ends[i - 1];
                EXPECT_EQ(step % period, 0u) << i;
                EXPECT_GT(step, 0u) << i;
                missing += step / period - 1;
            }
        }
        EXPECT_GT(events, 0u);
        // Each frame shows the scene at its exposure end: frames are paired with their own exposure.
        EXPECT_GT(looked_at, exposure_ends.size() / 4);
        // (Unless event data were lost before the frame period was known, which is logged.)
        if (!log.containsSubstring(LOG_WARNING, "before the frame period was known")) {
            EXPECT_TRUE(misplaced.empty()) << misplaced.size() << " frames, the first at "
                                           << (misplaced.empty() ? 0 : misplaced.front());
        }
    }
    EXPECT_LE(missing, camera_->lostFrames()) << "no frame vanishes without being counted";
    EXPECT_GE(exposure_ends.size(), 5u * fps);

    // The video holds the 5 x fps frames handed to it; they span as many frame periods, plus those
    // of frames counted as lost; its times are the exposure ends less the offset.
    Mp4FileReader video(base.string() + ".mp4");
    ASSERT_TRUE(video.loadFile());
    std::vector<uint64_t> times;
    ASSERT_TRUE(video.getTimeStamps(times));
    ASSERT_FALSE(times.empty());
    EXPECT_EQ(times.size(), handed) << "every frame handed to the recording is in the video";
    EXPECT_EQ(times.front(), 0u);
    const uint64_t slots = (times.back() + period / 2) / period + 1;
    EXPECT_LE(slots, times.size() + lost);
    if (lost == 0) {
        EXPECT_EQ(slots, times.size()) << "one frame per period";
    }
    {
        // Its times are the exposure ends of the frames handed to it, from the first recorded frame
        // on, less the offset: every one of them unless the encoder fell behind.
        std::lock_guard<std::mutex> lock(mutex);
        const auto first = std::find(exposure_ends.begin(), exposure_ends.end(), offset);
        ASSERT_NE(first, exposure_ends.end()) << "the offset is a frame's exposure end";
        auto next = first;
        for (uint64_t t : times) {
            next = std::find(next, exposure_ends.end(), t + offset);
            ASSERT_NE(next, exposure_ends.end()) << "presentation time " << t << " is no exposure end";
            ++next;
        }
        if (stop_result == 0) {
            ASSERT_LE(size_t(first - exposure_ends.begin()) + times.size(), exposure_ends.size());
            for (size_t i = 0; i < times.size(); ++i) EXPECT_EQ(times[i] + offset, first[i]) << i;
        }
    }

    // The events read back from the recording's own start.
    RawFileReader reader(base.string() + ".raw");
    ASSERT_TRUE(reader.loadFile()) << reader.lastErrorMessage();
    uint64_t recorded = 0;
    ASSERT_TRUE(reader.getMaxEvents(recorded));
    EXPECT_GT(recorded, 1'000'000u) << "about 1 Mev/s for 5 s";
    uint64_t start = 0;
    ASSERT_TRUE(reader.getStartTimeStamp(start));
    EXPECT_GE(start + 100'000, offset) << "events from about the first frame on";

    if (HasFailure()) {
        for (const auto& l : log.lines())
            if (l.level >= LOG_WARNING) std::printf("logged: %s\n", l.text.c_str());
    }

    // The calibration travels with the recording.
    CalibratorParameters saved;
    ASSERT_TRUE(jsonFileToParam(base.string() + ".json", saved));
    EXPECT_EQ(saved, calibration);
}

}  // namespace
}  // namespace zelvan::fusiontest
