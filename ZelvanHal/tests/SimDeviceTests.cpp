#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>

#include "SimTestUtil.h"
#include "zelvan/CalibratorParameters.h"
#include "zelvan/Logger.h"
#include "zelvan/StringUtils.h"
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

// Produces [from, from + slices * slice_us) in slices and returns each slice's bytes.
std::vector<std::vector<uint8_t>> produceSlices(SimDevice& device, uint64_t slices, uint64_t slice_us) {
    std::vector<std::vector<uint8_t>> out(slices);
    for (uint64_t i = 0; i < slices; ++i) {
        const uint64_t t0 = device.clock();
        device.produce(t0, t0 + slice_us, out[i]);
    }
    return out;
}

// --- Register file, plugging, emitting ---

TEST(SimDeviceRegisters, ResetValuesAndWrites) {
    SimDevice device(testCamera("r1"));
    EXPECT_EQ(device.readRegister(sim::reg::kReadoutControl), 2u);
    EXPECT_EQ(device.readRegister(sim::reg::kTriggerIn), 0u);
    EXPECT_EQ(device.readRegister(0x1234), 0u);
    device.writeRegister(0x1234, 0xDEADBEEF);
    EXPECT_EQ(device.readRegister(0x1234), 0xDEADBEEFu);
    const auto regs = device.registers();
    EXPECT_EQ(regs.at(0x1234), 0xDEADBEEFu);
    EXPECT_EQ(regs.at(sim::reg::kReadoutControl), 2u);
}

TEST(SimDeviceRegisters, BlocksAreSixteenLittleEndianRegisters) {
    SimDevice device(testCamera("r2"));
    uint8_t block[64];
    for (int i = 0; i < 64; ++i) block[i] = uint8_t(i * 3 + 1);
    device.writeBlock(0x100, block);
    EXPECT_EQ(device.readRegister(0x100), 0x0A070401u);
    EXPECT_EQ(device.readRegister(0x10F), uint32_t(block[60]) | uint32_t(block[61]) << 8 |
                                              uint32_t(block[62]) << 16 | uint32_t(block[63]) << 24);
    EXPECT_EQ(device.readRegister(0x110), 0u);
    uint8_t back[64] = {};
    device.readBlock(0x100, back);
    EXPECT_TRUE(std::equal(block, block + 64, back));
}

TEST(SimDeviceEmitting, NeedsReadoutConnectionAndEthernetPermission) {
    SimDevice usb(testCamera("e1"));
    EXPECT_FALSE(usb.isEmitting());
    usb.writeRegister(sim::reg::kReadoutControl, 0);
    EXPECT_TRUE(usb.isEmitting());
    usb.unplug();
    EXPECT_FALSE(usb.isConnected());
    EXPECT_FALSE(usb.isEmitting());
    usb.plug();
    EXPECT_TRUE(usb.isEmitting());
    usb.writeRegister(sim::reg::kReadoutControl, 2);
    EXPECT_FALSE(usb.isEmitting());

    auto config = testCamera("e2");
    config.description.interfaceType = ETH;
    SimDevice eth(config);
    eth.writeRegister(sim::reg::kReadoutControl, 0);
    EXPECT_FALSE(eth.isEmitting());
    eth.setEthernetStreamEnabled(true);
    EXPECT_TRUE(eth.isEmitting());
}

TEST(SimDeviceEmitting, NothingAndNoClockWhileNotEmitting) {
    auto config = testCamera("e3");
    config.start_time_us = 5000;
    config.description.interfaceType = ETH;
    SimDevice device(config);
    std::vector<uint8_t> out;
    device.produce(5000, 6000, out);  // standby
    device.writeRegister(sim::reg::kReadoutControl, 0);
    device.produce(5000, 6000, out);  // Ethernet stream not allowed
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(device.clock(), 5000u);
    device.setEthernetStreamEnabled(true);
    device.unplug();
    device.produce(5000, 6000, out);
    EXPECT_TRUE(out.empty());
    device.plug();
    device.produce(5000, 6000, out);
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(device.clock(), 6000u);
    EXPECT_EQ(device.emittedBytes(), out.size());
}

// --- What it emits ---

TEST(SimDeviceStream, DecodesToWhatWasObservedAcrossTheWrap) {
    auto config = testCamera("s1", 400'000);
    config.start_time_us = kWrap - 30'000;
    config.trigger_period_us = 700;
    SimDevice device(config);
    ObservedLog observed;
    observed.attachTo(device);
    device.writeRegister(sim::reg::kReadoutControl, 0);
    device.writeRegister(sim::reg::kTriggerIn, 1u << 10);

    StreamDecoder decoder;
    for (const auto& slice : produceSlices(device, 60, 1000)) decoder.feed(slice);

    const DecodeLog expected = observed.snapshot();
    ASSERT_EQ(decoder.log, expected);
    const auto events = testing::eventsOf(expected);
    ASSERT_GT(events.size(), 20'000u);
    EXPECT_EQ(device.emittedEvents(), events.size());
    EXPECT_LT(events.front().timestamp, kWrap);
    EXPECT_GE(events.back().timestamp, kWrap + 20'000);
    EXPECT_GE(decoder.decoder.getLastTimestamp(), kWrap + 29'999);
    EXPECT_EQ(device.clock(), kWrap + 30'000);
    for (const auto& e : events) {
        ASSERT_LT(e.x, 1280);
        ASSERT_LT(e.y, 720);
    }
}

TEST(SimDeviceStream, TriggerEdgesOnlyWhileTriggerInputEnabled) {
    auto config = testCamera("s2", 10'000);
    config.trigger_period_us = 1000;
    SimDevice device(config);
    ObservedLog observed;
    observed.attachTo(device);
    device.writeRegister(sim::reg::kReadoutControl, 0);
    device.writeRegister(sim::reg::kTriggerIn, 0xFFFFFFFFu & ~(1u << 10));
    StreamDecoder decoder;
    for (const auto& slice : produceSlices(device, 10, 1000)) decoder.feed(slice);
    EXPECT_TRUE(testing::triggersOf(decoder.log).empty());

    device.writeRegister(sim::reg::kTriggerIn, 1u << 10);
    for (const auto& slice : produceSlices(device, 10, 1000)) decoder.feed(slice);
    const auto triggers = testing::triggersOf(decoder.log);
    ASSERT_EQ(triggers.size(), 20u);
    for (size_t i = 0; i < triggers.size(); ++i) {
        EXPECT_EQ(triggers[i].id, 0);
        EXPECT_EQ(triggers[i].polarity, i % 2 == 0 ? 1 : 0);
        EXPECT_EQ(triggers[i].timestamp, 10'000 + i * 500);
    }
    EXPECT_EQ(decoder.log, observed.snapshot());
}

TEST(SimDeviceStream, ClockKeepsMovingWithoutEvents) {
    SimDevice device(testCamera("s3", 0));
    device.writeRegister(sim::reg::kReadoutControl, 0);
    StreamDecoder decoder;
    for (const auto& slice : produceSlices(device, 20, 1000)) {
        EXPECT_FALSE(slice.empty());
        decoder.feed(slice);
    }
    EXPECT_TRUE(decoder.log.empty());
    EXPECT_EQ(decoder.decoder.getLastTimestamp(), 19'999u);
}

TEST(SimDeviceStream, LostSlicesLoseOnlyTheirEvents) {
    auto config = testCamera("s4", 300'000);
    config.start_time_us = kWrap - 20'000;
    config.trigger_period_us = 300;
    SimDevice device(config);
    device.writeRegister(sim::reg::kReadoutControl, 0);
    device.writeRegister(sim::reg::kTriggerIn, 1u << 10);
    DecodeLog kept;
    std::vector<std::vector<uint8_t>> slices;
    for (int i = 0; i < 40; ++i) {
        ObservedLog observed;
        observed.attachTo(device);
        std::vector<uint8_t> bytes;
        const uint64_t t0 = device.clock();
        device.produce(t0, t0 + 1000, bytes);
        if (i % 3 != 1) {  // every third slice is lost, on both sides of the wrap
            const auto log = observed.snapshot();
            kept.insert(kept.end(), log.begin(), log.end());
            slices.push_back(std::move(bytes));
        }
    }
    StreamDecoder decoder;
    for (const auto& s : slices) decoder.feed(s);
    EXPECT_EQ(decoder.log, kept);
}

TEST(SimDeviceStream, NoiseSceneIsUniformAtTheConfiguredRate) {
    auto config = testCamera("s5", 1'000'000);
    config.scene = sim::SceneKind::Noise;
    config.width = 64;
    config.height = 32;
    SimDevice device(config);
    ObservedLog observed;
    observed.attachTo(device);
    device.writeRegister(sim::reg::kReadoutControl, 0);
    produceSlices(device, 100, 1000);
    const auto events = testing::eventsOf(observed.snapshot());
    EXPECT_NEAR(double(events.size()), 100'000.0, 10.0);
    std::vector<int> per_column(64, 0);
    size_t on = 0;
    for (const auto& e : events) {
        ASSERT_LT(e.x, 64);
        ASSERT_LT(e.y, 32);
        ++per_column[e.x];
        on += e.polarity;
    }
    EXPECT_NEAR(double(on) / double(events.size()), 0.5, 0.02);
    for (int c : per_column) EXPECT_NEAR(c, 100'000 / 64, 200);
}

// --- Replay ---

std::vector<Event2D> recordingEvents() {
    std::vector<Event2D> events;
    for (uint64_t i = 0; i < 500; ++i) {
        events.emplace_back(uint16_t(i * 7 % 1280), uint16_t(i * 13 % 720), uint8_t(i % 2), 100'000 + i * 40);
    }
    return events;
}

TEST(SimDeviceReplay, LoopsTheRecordingWithIncreasingTime) {
    const auto recorded = recordingEvents();
    auto config = testCamera("p1");
    config.scene = sim::SceneKind::Replay;
    config.replay_path = testing::writeRecording("sim_replay_loop.raw", recorded);
    config.start_time_us = 7;
    SimDevice device(config);
    ASSERT_EQ(device.sceneError(), "");
    ObservedLog observed;
    observed.attachTo(device);
    device.writeRegister(sim::reg::kReadoutControl, 0);
    StreamDecoder decoder;
    // The recording spans 19 960 us and loops every 20 000 us: three passes and a bit.
    for (const auto& slice : produceSlices(device, 65, 1000)) decoder.feed(slice);

    const auto events = testing::eventsOf(observed.snapshot());
    EXPECT_EQ(decoder.log, observed.snapshot());
    ASSERT_GE(events.size(), 3 * recorded.size());
    for (size_t i = 0; i < events.size(); ++i) {
        const auto& src = recorded[i % recorded.size()];
        ASSERT_EQ(events[i].x, src.x) << i;
        ASSERT_EQ(events[i].y, src.y) << i;
        ASSERT_EQ(events[i].polarity, src.polarity) << i;
        ASSERT_EQ(events[i].timestamp, 7 + (i / recorded.size()) * 20'000 + (src.timestamp - 100'000)) << i;
        if (i > 0) {
            ASSERT_GT(events[i].timestamp, events[i - 1].timestamp);
        }
    }
}

TEST(SimDeviceReplay, UnreadableRecordingIsReportedAndStreamsTimeOnly) {
    const std::string missing = std::string(ZELVAN_BINARY_DIR) + "/no_such_recording.raw";
    auto config = testCamera("p2");
    config.scene = sim::SceneKind::Replay;
    config.replay_path = missing;
    ScopedLogCapture capture(LOG_ERROR);
    SimDevice device(config);
    EXPECT_NE(device.sceneError().find(missing), std::string::npos);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_NE(capture.lines()[0].text.find(missing), std::string::npos);

    device.writeRegister(sim::reg::kReadoutControl, 0);
    StreamDecoder decoder;
    for (const auto& slice : produceSlices(device, 5, 1000)) decoder.feed(slice);
    EXPECT_TRUE(decoder.log.empty());
    EXPECT_EQ(decoder.decoder.getLastTimestamp(), 4999u);
}

TEST(SimDeviceReplay, RecordingOfAnotherFormatIsRejected) {
    const std::string evt2 = std::string(ZELVAN_TESTDATA_DIR) + "/expelliarmus_evt2_sample.raw";
    if (!std::ifstream(evt2)) GTEST_SKIP() << "test recordings not present";
    auto config = testCamera("p3");
    config.scene = sim::SceneKind::Replay;
    config.replay_path = evt2;
    ScopedLogCapture capture(LOG_ERROR);
    SimDevice device(config);
    EXPECT_FALSE(device.sceneError().empty());
    EXPECT_EQ(capture.lines().size(), 1u);
}

TEST(SimDeviceReplay, RealRecordingReplaysInTimeOrder) {
    const std::string path = std::string(ZELVAN_TESTDATA_DIR) + "/expelliarmus_evt3_sample.raw";
    if (!std::ifstream(path)) GTEST_SKIP() << "test recordings not present";
    auto config = testCamera("p4");
    config.scene = sim::SceneKind::Replay;
    config.replay_path = path;
    SimDevice device(config);
    ASSERT_EQ(device.sceneError(), "");
    ObservedLog observed;
    observed.attachTo(device);
    device.writeRegister(sim::reg::kReadoutControl, 0);
    StreamDecoder decoder;
    // The recording is dense and short (about 9 ms): 12 ms loop it once.
    for (const auto& slice : produceSlices(device, 12, 1000)) decoder.feed(slice);
    const auto events = testing::eventsOf(decoder.log);
    EXPECT_GT(events.size(), 200'000u);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(decoder.log, observed.snapshot());
    EXPECT_TRUE(std::is_sorted(events.begin(), events.end(),
                               [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; }));
}

// --- The set of cameras ---

bool looksHex(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(SimulatedCamerasSet, DefaultSetHasEveryModelWithIdentity) {
    const auto configs = SimulatedCameras::defaultConfigs();
    ASSERT_EQ(configs.size(), 6u);
    std::set<std::string> serials;
    int eth = 0;
    for (const auto& c : configs) {
        EXPECT_TRUE(looksHex(c.description.serial)) << c.description.serial;
        EXPECT_TRUE(serials.insert(c.description.serial).second);
        EXPECT_FALSE(c.description.firmwareVersion.empty());
        EXPECT_FALSE(c.description.manufacturer.empty());
        if (c.description.interfaceType == ETH) {
            ++eth;
            EXPECT_EQ(c.description.vendorId, 0x04B5);
            EXPECT_EQ(c.description.productId, 0x0001);
            EXPECT_NE(stringToIP(c.description.cameraIp), 0u);
            EXPECT_NE(stringToIP(c.description.localIp), 0u);
            EXPECT_NE(stringToIP(c.description.subnetMask), 0u);
            EXPECT_NE(stringToIP(c.description.gateway), 0u);
            EXPECT_EQ(c.width, 1280);
        } else {
            EXPECT_TRUE(c.description.cameraIp.empty());
        }
    }
    EXPECT_EQ(eth, 1);
    const auto find = [&](uint16_t v, uint16_t p, INTERFACE_TYPE t) {
        return std::find_if(configs.begin(), configs.end(), [&](const SimDeviceConfig& c) {
            return c.description.vendorId == v && c.description.productId == p &&
                   c.description.interfaceType == t;
        });
    };
    auto evk4 = find(0x04B4, 0x00F5, USB);
    ASSERT_NE(evk4, configs.end());
    EXPECT_EQ(evk4->description.manufacturer, "Prophesee");
    EXPECT_EQ(evk4->description.product, "EVK4");
    EXPECT_EQ(evk4->event_rate, 5'000'000u);
    EXPECT_NE(find(0x04B4, 0x00C4, USB), configs.end());
    auto pelmo = find(0x04B5, 0x0001, USB);
    ASSERT_NE(pelmo, configs.end());
    EXPECT_EQ(pelmo->description.manufacturer, "Zelvan");
    EXPECT_EQ(pelmo->description.product, "Pelmo");
    auto genx = find(0x04B5, 0xFFFF, USB);
    ASSERT_NE(genx, configs.end());
    EXPECT_EQ(genx->width, 320);
    EXPECT_EQ(genx->height, 320);
    auto fusion = find(0x2207, 0x0006, USB);
    ASSERT_NE(fusion, configs.end());
    EXPECT_EQ(fusion->description.product, "Tandra");
    EXPECT_EQ(fusion->width, 1280);
    EXPECT_EQ(fusion->height, 720);
    CalibratorParameters params;
    ASSERT_TRUE(jsonDataToParam(fusion->calibration, params));
    EXPECT_EQ(params.aps_width, 3840);
    ASSERT_EQ(params.transforms.at("1").size(), 6u);
}

TEST(SimulatedCamerasSet, ProgrammaticSetUp) {
    auto& cameras = SimulatedCameras::instance();
    cameras.reset({testCamera("aa01"), testCamera("aa02")});
    EXPECT_EQ(cameras.devices().size(), 2u);
    ASSERT_NE(cameras.find("aa02"), nullptr);
    EXPECT_EQ(cameras.find("zz"), nullptr);
    {
        ScopedLogCapture capture(LOG_ERROR);
        EXPECT_EQ(cameras.add(testCamera("aa01")), nullptr);
        EXPECT_EQ(capture.lines().size(), 1u);
    }
    auto added = cameras.add(testCamera("aa03"));
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(cameras.find("aa03"), added);
    cameras.remove("aa01");
    EXPECT_EQ(cameras.find("aa01"), nullptr);
    EXPECT_EQ(cameras.devices().size(), 2u);
    cameras.restoreDefault();
    EXPECT_EQ(cameras.devices().size(), SimulatedCameras::defaultConfigs().size());
}

TEST(SimulatedCamerasConfig, ParsesModelsAndOverrides) {
    const std::string text = R"([
        {"model": "EVK4"},
        {"model": "EVK4", "serial": "beef01", "event_rate": 2000, "scene": "noise", "trigger_period_us": 500,
         "start_time_us": 16777000, "paced": false, "seed": 9},
        {"model": "Pelmo Ethernet", "camera_ip": "10.0.0.7", "subnet_mask": "255.0.0.0", "gateway": "10.0.0.1",
         "local_ip": "10.0.0.2"},
        {"model": "Orvik 320", "scene": "replay", "replay_file": "/data/loop.raw"},
        {"model": "Tandra"}, {"model": "EVK5"}, {"model": "Pelmo"}
    ])";
    std::vector<SimDeviceConfig> configs;
    std::string error;
    ASSERT_TRUE(SimulatedCameras::parseConfig(text, configs, error)) << error;
    ASSERT_EQ(configs.size(), 7u);
    EXPECT_EQ(configs[0].description.product, "EVK4");
    EXPECT_TRUE(looksHex(configs[0].description.serial));
    EXPECT_EQ(configs[0].event_rate, 5'000'000u);
    EXPECT_TRUE(configs[0].paced);
    EXPECT_EQ(configs[1].description.serial, "beef01");
    EXPECT_EQ(configs[1].event_rate, 2000u);
    EXPECT_EQ(configs[1].scene, sim::SceneKind::Noise);
    EXPECT_EQ(configs[1].trigger_period_us, 500u);
    EXPECT_EQ(configs[1].start_time_us, 16'777'000u);
    EXPECT_FALSE(configs[1].paced);
    EXPECT_EQ(configs[1].seed, 9u);
    EXPECT_EQ(configs[2].description.interfaceType, ETH);
    EXPECT_EQ(configs[2].description.cameraIp, "10.0.0.7");
    EXPECT_EQ(configs[2].description.subnetMask, "255.0.0.0");
    EXPECT_EQ(configs[2].description.gateway, "10.0.0.1");
    EXPECT_EQ(configs[2].description.localIp, "10.0.0.2");
    EXPECT_EQ(configs[3].width, 320);
    EXPECT_EQ(configs[3].scene, sim::SceneKind::Replay);
    EXPECT_EQ(configs[3].replay_path, "/data/loop.raw");
    EXPECT_FALSE(configs[4].calibration.empty());
    std::set<std::string> serials;
    for (const auto& c : configs) EXPECT_TRUE(serials.insert(c.description.serial).second);
}

TEST(SimulatedCamerasConfig, RejectsBadInputWithAReason) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[{\"model\": \"EVK4\"", "not valid JSON"},
        {"{\"model\": \"EVK4\"}", "array"},
        {"[42]", "object"},
        {"[{\"serial\": \"01\"}]", "\"model\""},
        {"[{\"model\": \"EVK9\"}]", "EVK9"},
        {"[{\"model\": \"EVK4\", \"rate\": 5}]", "\"rate\""},
        {"[{\"model\": \"EVK4\", \"event_rate\": -5}]", "\"event_rate\""},
        {"[{\"model\": \"EVK4\", \"event_rate\": \"fast\"}]", "\"event_rate\""},
        {"[{\"model\": \"EVK4\", \"paced\": 1}]", "\"paced\""},
        {"[{\"model\": \"EVK4\", \"scene\": \"forest\"}]", "\"scene\""},
        {"[{\"model\": \"EVK4\", \"scene\": \"replay\"}]", "replay_file"},
        {"[{\"model\": \"EVK4\", \"camera_ip\": \"10.0.0.1\"}]", "Ethernet"},
        {"[{\"model\": \"Pelmo Ethernet\", \"camera_ip\": \"10.0.0\"}]", "\"camera_ip\""},
        {"[{\"model\": \"EVK4\", \"serial\": \"ab\"}, {\"model\": \"EVK5\", \"serial\": \"ab\"}]", "twice"},
    };
    for (const auto& [text, reason] : cases) {
        std::vector<SimDeviceConfig> configs = {testCamera("keep")};
        std::string error;
        EXPECT_FALSE(SimulatedCameras::parseConfig(text, configs, error)) << text;
        EXPECT_NE(error.find(reason), std::string::npos) << text << " -> " << error;
        ASSERT_EQ(configs.size(), 1u);
        EXPECT_EQ(configs[0].description.serial, "keep");
    }
}

TEST(SimulatedCamerasConfig, FileLoadingFallsBackToDefaultsWithOneErrorLine) {
    const std::string good = std::string(ZELVAN_BINARY_DIR) + "/sim_config_good.json";
    const std::string bad = std::string(ZELVAN_BINARY_DIR) + "/sim_config_bad.json";
    std::ofstream(good, std::ios::trunc) << R"([{"model": "EVK4", "serial": "c0ffee"}])";
    std::ofstream(bad, std::ios::trunc) << R"([{"model": "EVK4", "sirial": "c0ffee"}])";
    const auto defaults = SimulatedCameras::defaultConfigs();

    ScopedLogCapture capture(LOG_ERROR);
    const auto loaded = SimulatedCameras::loadConfigFile(good);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].description.serial, "c0ffee");
    EXPECT_TRUE(capture.lines().empty());

    for (const std::string& path : {bad, std::string(ZELVAN_BINARY_DIR) + "/no_such_config.json"}) {
        capture.clear();
        const auto fallback = SimulatedCameras::loadConfigFile(path);
        ASSERT_EQ(fallback.size(), defaults.size());
        EXPECT_EQ(fallback[0].description, defaults[0].description);
        ASSERT_EQ(capture.lines().size(), 1u) << path;
        EXPECT_NE(capture.lines()[0].text.find(path), std::string::npos);
    }
    EXPECT_NE(capture.lines()[0].text.find("cannot be read"), std::string::npos);
    std::remove(good.c_str());
    std::remove(bad.c_str());
}

}  // namespace
}  // namespace zelvan
