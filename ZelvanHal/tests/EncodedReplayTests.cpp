// The replay of a recording's encoded words (SimDeviceConfig::replay_encoded).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "SimTestUtil.h"
#include "src/sim/EncodedReplay.h"
#include "src/sim/RegisterEffects.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan {
namespace {

using sim::SimDevice;
using sim::SimDeviceConfig;
using sim::SimulatedCameras;
using testing::DecodeLog;
using testing::kWrap;
using testing::ObservedLog;
using testing::StreamDecoder;
using testing::testCamera;

constexpr uint64_t kStepUs = 4096;

std::string testData(const std::string& name) { return std::string(ZELVAN_TESTDATA_DIR) + "/" + name; }

bool exists(const std::string& path) { return static_cast<bool>(std::ifstream(path)); }

using testing::recordPattern;
using testing::writeRawFile;

// What a reader of the file gets, and the time words that frame it.
struct Recording {
    DecodeLog log;
    uint64_t first_high_time = 0;  // time of the first TIME_HIGH word
    uint64_t end_time = 0;         // the reader's time at the end
};

Recording decodeFile(const std::string& path) {
    RawFileHeader header;
    std::string error;
    EXPECT_TRUE(readRawFileHeader(path, header, error)) << error;
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(header.payload_offset));
    const std::vector<uint8_t> payload{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    Recording r;
    StreamDecoder decoder(header.info.width, header.info.height);
    decoder.feed(payload);
    r.log = std::move(decoder.log);
    r.first_high_time =
        EVT3Decoder::firstTimeHighTime(payload.data(), payload.data() + payload.size()).value_or(0);
    r.end_time = decoder.decoder.getLastTimestamp();
    return r;
}

uint64_t timeOf(const testing::Delivered& d) {
    return d.is_trigger ? d.trigger.timestamp : d.event.timestamp;
}

// The loop period: the recording's span plus one mean gap, in whole 4096 us steps, and past its last
// TIME_HIGH value.
uint64_t expectedPeriod(const Recording& r) {
    uint64_t first = UINT64_MAX, last = 0;
    for (const auto& d : r.log) {
        first = std::min(first, timeOf(d));
        last = std::max(last, timeOf(d));
    }
    const uint64_t span = last - first;
    const uint64_t gap = r.log.size() > 1 ? std::max<uint64_t>(1, span / (r.log.size() - 1)) : 1;
    const uint64_t steps = (span + gap + kStepUs - 1) / kStepUs;
    const uint64_t time_steps = (r.end_time >> 12) - (r.first_high_time >> 12) + 1;
    return std::max(steps, time_steps) * kStepUs;
}

// Device time of the recording's first TIME_HIGH in the first pass: the first event lands at the
// device's start time or just after it.
uint64_t firstPassOrigin(const Recording& r, uint64_t start) {
    uint64_t first = UINT64_MAX;
    for (const auto& d : r.log) first = std::min(first, timeOf(d));
    const uint64_t lead = first - r.first_high_time;
    return start > lead ? (start - lead + kStepUs - 1) / kStepUs * kStepUs : 0;
}

DecodeLog shifted(const DecodeLog& log, int64_t by) {
    DecodeLog out = log;
    for (auto& d : out) {
        if (d.is_trigger) {
            d.trigger.timestamp = static_cast<uint64_t>(static_cast<int64_t>(d.trigger.timestamp) + by);
        } else {
            d.event.timestamp = static_cast<uint64_t>(static_cast<int64_t>(d.event.timestamp) + by);
        }
    }
    return out;
}

SimDeviceConfig encodedReplay(const std::string& serial, const std::string& path, uint64_t start = 0) {
    auto config = testCamera(serial);
    config.scene = sim::SceneKind::Replay;
    config.replay_path = path;
    config.replay_encoded = true;
    config.start_time_us = start;
    return config;
}

// Produces slices of `slice_us` until the clock reaches `until` and decodes them in one stream.
void runUntil(SimDevice& device, uint64_t until, StreamDecoder& decoder, uint64_t slice_us = 1000) {
    std::vector<uint8_t> bytes;
    while (device.clock() < until) {
        bytes.clear();
        const uint64_t t0 = device.clock();
        device.produce(t0, t0 + slice_us, bytes);
        ASSERT_FALSE(bytes.empty());
        decoder.feed(bytes);
    }
}

// Index of the first entry where `got` differs from `want` (want.size() when `got` starts with it).
size_t firstDifference(const DecodeLog& got, const DecodeLog& want) {
    const size_t n = std::min(got.size(), want.size());
    for (size_t i = 0; i < n; ++i)
        if (!(got[i] == want[i])) return i;
    return n;
}

TEST(EncodedReplay, TwoPassesOfARealRecordingAreItsEventsShiftedByTheLoopPeriod) {
    // One crosses the 24-bit wrap-around and carries triggers; the other is dense with vector groups.
    const std::vector<std::string> files = {testData("event_camera_py_test_events_ros2_1.derived.raw"),
                                            testData("expelliarmus_evt3_sample.raw")};
    if (!exists(files[0]) || !exists(files[1])) GTEST_SKIP() << "test recordings not present";
    for (const auto& path : files) {
        SCOPED_TRACE(path);
        const Recording rec = decodeFile(path);
        ASSERT_GT(rec.log.size(), 100'000u);
        const uint64_t period = expectedPeriod(rec);
        // The device clock wraps in the middle of the first pass.
        const uint64_t start = kWrap - 700'000;
        const uint64_t origin = firstPassOrigin(rec, start);

        SimDevice device(encodedReplay("e1", path, start));
        ASSERT_EQ(device.sceneError(), "");
        device.writeRegister(sim::reg::kReadoutControl, 0);
        StreamDecoder decoder;
        runUntil(device, origin + 2 * period + 20'000, decoder);

        DecodeLog want = shifted(rec.log, static_cast<int64_t>(origin - rec.first_high_time));
        const DecodeLog second = shifted(want, static_cast<int64_t>(period));
        want.insert(want.end(), second.begin(), second.end());
        ASSERT_GE(decoder.log.size(), want.size());
        const size_t diff = firstDifference(decoder.log, want);
        ASSERT_EQ(diff, want.size()) << "got " << decoder.log[diff] << ", want " << want[diff];
        EXPECT_GE(device.emittedEvents(), testing::eventsOf(want).size());
    }
}

// A recording made with the encoder, longer than the 2^24 us that TIME_HIGH and TIME_LOW can hold.
std::string longRecording(const std::string& name, std::vector<Event2D>& events,
                          std::vector<EventTriggerIn>& triggers) {
    const uint64_t t0 = 3'000'000;
    for (uint64_t i = 0; i < 20'000; ++i) {
        const uint64_t t = t0 + i * 1000;
        if (i % 1000 == 7) {
            // A run along one row that the encoder writes as a vector group.
            for (uint16_t k = 0; k < 8; ++k)
                events.emplace_back(uint16_t(64 + k), uint16_t(9), uint8_t(1), t);
        } else {
            events.emplace_back(uint16_t(i * 7 % 1280), uint16_t(i / 7 % 720), uint8_t(i % 2), t);
        }
        if (i % 100 == 50) triggers.emplace_back(int16_t(1), int16_t(i / 100 % 2), t + 500);
    }
    EVT3Encoder encoder(1280);
    std::vector<uint8_t> bytes;
    encoder.encode(events.data(), events.data() + events.size(), triggers.data(),
                   triggers.data() + triggers.size(), bytes);
    const std::string path = std::string(ZELVAN_BINARY_DIR) + "/" + name;
    writeRawFile(path, bytes);
    return path;
}

TEST(EncodedReplay, TimeIncreasesAcrossWrapAroundsOfALongRecording) {
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
    const std::string path = longRecording("encoded_replay_long.raw", events, triggers);
    const Recording rec = decodeFile(path);
    ASSERT_EQ(testing::eventsOf(rec.log), events);
    ASSERT_EQ(testing::triggersOf(rec.log), triggers);
    ASSERT_GT(rec.log.back().event.timestamp, kWrap);  // the recording itself wraps around

    const uint64_t start = kWrap - 2'000'000;
    const uint64_t period = expectedPeriod(rec);
    const uint64_t origin = firstPassOrigin(rec, start);
    SimDevice device(encodedReplay("e2", path, start));
    ASSERT_EQ(device.sceneError(), "");
    device.writeRegister(sim::reg::kReadoutControl, 0);
    StreamDecoder decoder;
    runUntil(device, origin + 2 * period + 5'000, decoder);

    // Two passes take about 40 s of device time: the device clock wraps around three times.
    DecodeLog want = shifted(rec.log, static_cast<int64_t>(origin - rec.first_high_time));
    const DecodeLog second = shifted(want, static_cast<int64_t>(period));
    want.insert(want.end(), second.begin(), second.end());
    ASSERT_GT(timeOf(want.back()), 3 * kWrap);
    ASSERT_GE(decoder.log.size(), want.size());
    const size_t diff = firstDifference(decoder.log, want);
    ASSERT_EQ(diff, want.size()) << "got " << decoder.log[diff] << ", want " << want[diff];
    for (size_t i = 1; i < decoder.log.size(); ++i)
        ASSERT_GE(timeOf(decoder.log[i]), timeOf(decoder.log[i - 1])) << i;
    // The reader's time follows the device clock closely, without events too.
    EXPECT_LE(decoder.decoder.getLastTimestamp(), device.clock() - 1);
    EXPECT_GE(decoder.decoder.getLastTimestamp() + 2 * kStepUs, device.clock());
}

TEST(EncodedReplay, ATimeHighGlitchNeverCountsAWrapAround) {
    // TIME_HIGH 100, 101, back to 100 (a glitch of the recording), 101, 102, with one event after each.
    std::vector<uint8_t> bytes;
    const auto put = [&bytes](uint32_t w) {
        bytes.push_back(uint8_t(w & 0xFF));
        bytes.push_back(uint8_t(w >> 8));
    };
    put(0x8000 | 100);
    put(0x6005);
    put(0x0000 | 7);
    put(0x2000 | 1);
    for (uint32_t high : {101u, 100u, 101u, 102u}) {
        put(0x8000 | high);
        put(0x6005);
        put(0x2000 | high);
    }
    const std::string path = std::string(ZELVAN_BINARY_DIR) + "/encoded_replay_glitch.raw";
    writeRawFile(path, bytes);
    // The first pass starts at TIME_HIGH step 4095: its second TIME_HIGH is the first after a
    // wrap-around, and the glitch would reach back across it.
    const uint64_t start = 4095 * kStepUs + 5;
    SimDevice device(encodedReplay("e7", path, start));
    ASSERT_EQ(device.sceneError(), "");
    device.writeRegister(sim::reg::kReadoutControl, 0);
    StreamDecoder decoder;
    runUntil(device, start + 100'000, decoder);
    const auto events = testing::eventsOf(decoder.log);
    ASSERT_GT(events.size(), 10u);
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].x, (std::vector<uint16_t>{1, 101, 100, 101, 102})[i % 5]) << i;
        EXPECT_GE(events[i].timestamp, start) << i;
        EXPECT_LT(events[i].timestamp, device.clock()) << i;
    }
    EXPECT_EQ(events[2].timestamp, kWrap + 5) << "the glitch stays after the wrap-around";
}

TEST(EncodedReplay, ALeapInTheRecordingsTimeIsSteppedThrough) {
    // TIME_HIGH 5, then 3000: a leap of 2995 steps (about 12 s) that a reader cannot tell from a step
    // back when it crosses a wrap-around.
    std::vector<uint8_t> bytes;
    for (uint32_t w : {0x8005u, 0x6001u, 0x0003u, 0x200Au, 0x8000u | 3000u, 0x6001u, 0x200Bu}) {
        bytes.push_back(uint8_t(w & 0xFF));
        bytes.push_back(uint8_t(w >> 8));
    }
    const std::string path = std::string(ZELVAN_BINARY_DIR) + "/encoded_replay_leap.raw";
    writeRawFile(path, bytes);
    // The first pass starts at TIME_HIGH step 3995: the leap crosses the wrap-around.
    const uint64_t start = 3995 * kStepUs + 1;
    SimDevice device(encodedReplay("e8", path, start));
    ASSERT_EQ(device.sceneError(), "");
    device.writeRegister(sim::reg::kReadoutControl, 0);
    StreamDecoder decoder;
    // Long intervals: both events of a pass come out of one call.
    runUntil(device, start + 60'000'000, decoder, 30'000'000);
    const auto events = testing::eventsOf(decoder.log);
    ASSERT_GE(events.size(), 4u);
    const uint64_t leap = 2995 * kStepUs;
    const uint64_t period = (2 * leap + kStepUs - 1) / kStepUs * kStepUs;  // span plus one mean gap
    EXPECT_EQ(events[0], Event2D(10, 3, 0, start));
    EXPECT_EQ(events[1], Event2D(11, 3, 0, start + leap));
    EXPECT_EQ(events[2], Event2D(10, 3, 0, start + period));
    EXPECT_EQ(events[3], Event2D(11, 3, 0, start + period + leap));
}

TEST(EncodedReplay, RegionOfInterestThatKeepsEveryEventKeepsTheFastPath) {
    sim::EmissionSettings s;
    s.width = 1280;
    s.height = 720;
    EXPECT_TRUE(s.keepsEvents(1279, 719));
    EXPECT_FALSE(s.keepsEvents(1280, 719));
    EXPECT_FALSE(s.keepsEvents(1279, 720));
    s.roi_enabled = true;
    s.roi_columns.fill(0xFFFFFFFF);
    s.roi_rows.fill(0xFFFFFFFF);
    EXPECT_TRUE(s.keepsEvents(1279, 719));
    s.roi_columns[39] = 0x7FFFFFFF;  // column 1279 left out
    EXPECT_FALSE(s.keepsEvents(1279, 719));
    EXPECT_TRUE(s.keepsEvents(1270, 719));
    s.roi_keeps_window = false;  // RONI: a window nothing falls into
    EXPECT_FALSE(s.keepsEvents(1279, 719));
    s.roi_rows.fill(0);
    EXPECT_TRUE(s.keepsEvents(1279, 719));
    s.roi_rows[22] = 0x8000;  // row 719
    EXPECT_FALSE(s.keepsEvents(1279, 719));
    EXPECT_TRUE(s.keepsEvents(1279, 718));
    s.roi_enabled = false;
    s.on_drop_per_1024 = 1;
    EXPECT_FALSE(s.keepsEvents(1279, 719));
}

TEST(EncodedReplay, OutputDecodesOnItsOwnAfterLostOutput) {
    const std::string path = recordPattern("encoded_replay_pattern.raw", 2'000'000, 100, 500);
    SimDevice device(encodedReplay("e3", path, kWrap - 60'000));
    ASSERT_EQ(device.sceneError(), "");
    device.writeRegister(sim::reg::kReadoutControl, 0);
    DecodeLog all_observed, kept_observed;
    StreamDecoder all, kept;
    for (int i = 0; i < 150; ++i) {
        ObservedLog observed;
        observed.attachTo(device);
        std::vector<uint8_t> bytes;
        const uint64_t t0 = device.clock();
        device.produce(t0, t0 + 1000, bytes);
        const DecodeLog log = observed.snapshot();
        all_observed.insert(all_observed.end(), log.begin(), log.end());
        all.feed(bytes);
        if (i % 3 != 1) {  // every third output is lost, on both sides of the wrap-around
            kept_observed.insert(kept_observed.end(), log.begin(), log.end());
            kept.feed(bytes);
        }
    }
    EXPECT_GT(testing::eventsOf(all_observed).size(), 200'000u);
    EXPECT_EQ(device.emittedEvents(), testing::eventsOf(all_observed).size());
    EXPECT_EQ(all.log, all_observed);
    EXPECT_EQ(kept.log, kept_observed);
    EXPECT_GT(all.decoder.getLastTimestamp(), kWrap);
}

TEST(EncodedReplay, RegistersThatShapeEventsOrAddTriggersAreHonoured) {
    const std::string path = recordPattern("encoded_replay_shaped.raw", 1'000'000, 100, 500);
    auto config = encodedReplay("e4", path, kWrap - 30'000);
    config.trigger_period_us = 2000;
    SimDevice device(config);
    ASSERT_EQ(device.sceneError(), "");
    device.writeRegister(sim::reg::kReadoutControl, 0);
    StreamDecoder decoder;
    const auto phase = [&](uint64_t us) {
        const size_t before = decoder.log.size();
        runUntil(device, device.clock() + us, decoder);
        return DecodeLog(decoder.log.begin() + static_cast<std::ptrdiff_t>(before), decoder.log.end());
    };
    const DecodeLog plain = phase(30'000);
    EXPECT_GT(plain.size(), 10'000u);
    EXPECT_TRUE(testing::triggersOf(plain).empty());

    device.writeRegister(sim::reg::kTriggerIn, 1u << 10);
    const DecodeLog with_triggers = phase(30'000);
    const auto edges = testing::triggersOf(with_triggers);
    EXPECT_EQ(edges.size(), 30u);
    for (const auto& t : edges) EXPECT_EQ(t.timestamp % 1000, 0u);
    EXPECT_GT(testing::eventsOf(with_triggers).size(), 10'000u);

    device.writeRegister(sim::reg::kTriggerIn, 0);
    const DecodeLog again = phase(30'000);
    EXPECT_GT(again.size(), 10'000u);

    // Columns 32..63 and rows 0..31 (a 0 bit selects), ROI mode.
    for (uint32_t i = 0; i < 40; ++i) device.writeRegister(0x2000 + 4 * i, i == 1 ? 0 : 0xFFFFFFFF);
    for (uint32_t i = 0; i < 23; ++i) device.writeRegister(0x4000 + 4 * i, i == 0 ? 0 : 0xFFFFFFFF);
    device.writeRegister(0x0004, (1u << 1) | (1u << 6));
    const DecodeLog windowed = phase(200'000);
    ASSERT_GT(windowed.size(), 10u);
    for (const auto& d : windowed) ASSERT_TRUE(d.event.x >= 32 && d.event.x < 64 && d.event.y < 32);

    // Time only ever steps back inside one TIME_HIGH value, where a change of path meets recorded time.
    for (size_t i = 1; i < decoder.log.size(); ++i)
        ASSERT_GE(timeOf(decoder.log[i]) + kStepUs, timeOf(decoder.log[i - 1])) << i;
    EXPECT_GT(decoder.decoder.getLastTimestamp(), kWrap);
    EXPECT_GE(decoder.decoder.getLastTimestamp() + 2 * kStepUs, device.clock());
}

TEST(EncodedReplay, ASmallerPixelArrayCropsTheRecording) {
    const std::string path = recordPattern("encoded_replay_crop.raw", 1'000'000, 40, 500);
    auto config = encodedReplay("e5", path);
    config.width = 320;
    config.height = 320;
    SimDevice device(config);
    ASSERT_EQ(device.sceneError(), "");
    device.writeRegister(sim::reg::kReadoutControl, 0);
    StreamDecoder decoder;
    runUntil(device, 100'000, decoder);
    const auto events = testing::eventsOf(decoder.log);
    ASSERT_GT(events.size(), 100u);
    for (const auto& e : events) ASSERT_TRUE(e.x < 320 && e.y < 320);
}

TEST(EncodedReplay, BadRecordingsAreReportedAndStreamTimeOnly) {
    const std::string dir = std::string(ZELVAN_BINARY_DIR) + "/";
    const std::string no_time = dir + "encoded_replay_no_time.raw";
    writeRawFile(no_time, {0x05, 0x00, 0x23, 0x60, 0x10, 0x28});  // row, time low, event: no TIME_HIGH
    const std::string no_events = dir + "encoded_replay_no_events.raw";
    writeRawFile(no_events, {0x01, 0x80, 0x02, 0x80, 0x00, 0x00, 0x02, 0x30});
    const std::string empty = dir + "encoded_replay_empty.raw";
    writeRawFile(empty, {});
    const std::string folder = dir + "encoded_replay_folder.raw";
    std::filesystem::create_directories(folder);
    std::vector<std::pair<std::string, std::string>> cases = {
        {dir + "no_such_recording.raw", "cannot open"},
        {no_time, "no time words"},
        {no_events, "no events"},
        {empty, "no time words"},
        {folder, "cannot replay"},
    };
    if (exists(testData("expelliarmus_evt2_sample.raw")))
        cases.emplace_back(testData("expelliarmus_evt2_sample.raw"), "cannot replay");
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path);
        ScopedLogCapture capture(LOG_ERROR);
        SimDevice device(encodedReplay("e6", path));
        EXPECT_NE(device.sceneError().find(path), std::string::npos) << device.sceneError();
        EXPECT_NE(device.sceneError().find(reason), std::string::npos) << device.sceneError();
        ASSERT_EQ(capture.lines().size(), 1u);
        EXPECT_NE(capture.lines()[0].text.find(path), std::string::npos);

        device.writeRegister(sim::reg::kReadoutControl, 0);
        StreamDecoder decoder;
        runUntil(device, 5000, decoder);
        EXPECT_TRUE(decoder.log.empty());
        EXPECT_EQ(decoder.decoder.getLastTimestamp(), 4999u);
    }
}

TEST(EncodedReplay, ALargeRecordingIsCutAtASegmentBoundary) {
    const std::string path = recordPattern("encoded_replay_large.raw", 4'000'000, 60, 500);
    const Recording rec = decodeFile(path);
    const auto all_events = testing::eventsOf(rec.log);
    sim::EncodedReplaySource source;
    std::string error;
    const size_t budget = 64 << 10;
    ASSERT_TRUE(source.load(path, error, budget)) << error;
    EXPECT_TRUE(source.truncated());
    EXPECT_LE(source.loadedBytes(), budget);
    const uint64_t per_pass = source.eventsPerPass();
    ASSERT_GT(per_pass, 1000u);
    ASSERT_LT(per_pass, all_events.size());

    StreamDecoder decoder;
    std::vector<uint8_t> bytes;
    uint64_t emitted = 0;
    for (uint64_t t = 0; t < 3 * source.loopPeriod(); t += 700) {
        bytes.clear();
        emitted += source.emit(t, t + 700, std::nullopt, bytes).events;
        decoder.feed(bytes);
    }
    const auto events = testing::eventsOf(decoder.log);
    EXPECT_EQ(emitted, events.size());
    ASSERT_GE(events.size(), 2 * per_pass);
    const int64_t shift = int64_t(events.front().timestamp) - int64_t(all_events.front().timestamp);
    for (size_t i = 0; i < 2 * per_pass; ++i) {
        Event2D want = all_events[i % per_pass];
        want.timestamp = uint64_t(int64_t(want.timestamp) + shift) + (i / per_pass) * source.loopPeriod();
        ASSERT_EQ(events[i], want) << i;
    }
}

TEST(EncodedReplay, ConfigurationKey) {
    std::vector<SimDeviceConfig> configs;
    std::string error;
    ASSERT_TRUE(SimulatedCameras::parseConfig(
        R"([{"model": "EVK4", "scene": "replay", "replay_file": "/data/a.raw", "replay_encoded": true},
            {"model": "EVK4", "scene": "replay", "replay_file": "/data/a.raw"}])",
        configs, error))
        << error;
    ASSERT_EQ(configs.size(), 2u);
    EXPECT_TRUE(configs[0].replay_encoded);
    EXPECT_FALSE(configs[1].replay_encoded);

    for (const auto& [text, reason] : std::vector<std::pair<std::string, std::string>>{
             {R"([{"model": "EVK4", "scene": "replay", "replay_file": "a.raw", "replay_encoded": 1}])",
              "\"replay_encoded\" must be true or false"},
             {R"([{"model": "EVK4", "replay_encoded": true}])", "applies to scene \"replay\" only"},
         }) {
        EXPECT_FALSE(SimulatedCameras::parseConfig(text, configs, error)) << text;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace zelvan
