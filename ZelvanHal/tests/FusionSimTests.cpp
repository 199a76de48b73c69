// The simulated fusion camera: the board's exposure schedule and trigger edges, its registers, the
// frames it draws and the two data endpoints.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "SimTestUtil.h"
#include "src/sim/FusionBoard.h"
#include "zelvan/CalibratorParameters.h"
#include "zelvan/EventStream.h"
#include "zelvan/Interface.h"
#include "zelvan/Logger.h"
#include "zelvan/RegisterController.h"
#include "zelvan/StringUtils.h"
#include "zelvan/SyntheticScene.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan {
namespace {

using namespace std::chrono_literals;
using sim::FrameRenderer;
using sim::FrameSchedule;
using sim::SimDeviceConfig;
using sim::SimulatedCameras;

constexpr size_t kFrameBytes = 3840 * 2160 * 3 / 2;

SimDeviceConfig fusionCamera(const std::string& serial, bool paced = false) {
    for (SimDeviceConfig c : SimulatedCameras::defaultConfigs()) {
        if (c.description.product != "Tandra") continue;
        c.description.serial = serial;
        c.paced = paced;
        c.event_rate = 100'000;
        c.settle_scale = 0;
        return c;
    }
    ADD_FAILURE() << "the default set has no fusion camera";
    return {};
}

std::string text(const uint8_t* block64) {
    return std::string(reinterpret_cast<const char*>(block64),
                       strnlen(reinterpret_cast<const char*>(block64), 64));
}

TEST(FusionFrameSchedule, AStartEdgeThenOneRisingEdgePerFrameAndAFallAtItsEnd) {
    FrameSchedule schedule(10);
    EXPECT_EQ(schedule.periodUs(), 100'000u);
    std::vector<EventTriggerIn> edges;
    schedule.edges(0, 1'000'000, edges);
    EXPECT_TRUE(edges.empty()) << "nothing while the frame sensor is off";
    schedule.start(5000);
    const uint64_t a = 5000 + FrameSchedule::kStartDelayUs;
    schedule.edges(0, a + 250'000, edges);
    const std::vector<EventTriggerIn> expected = {
        {0, 1, a},           {0, 0, a + FrameSchedule::kStartPulseUs},
        {0, 1, a + 100'000}, {0, 0, a + 100'000 + FrameSchedule::kEdgeToEndUs},
        {0, 1, a + 200'000}, {0, 0, a + 200'000 + FrameSchedule::kEdgeToEndUs},
    };
    EXPECT_EQ(edges, expected);

    // The same edges whatever the slicing of device time.
    std::vector<EventTriggerIn> sliced;
    for (uint64_t t = 0; t < a + 250'000; t += 777) schedule.edges(t, std::min(t + 777, a + 250'000), sliced);
    EXPECT_EQ(sliced, expected);
}

TEST(FusionFrameSchedule, AFrameIsDueOnceItsReadoutHasPassed) {
    FrameSchedule schedule(30);
    schedule.start(0);
    const uint64_t end0 = FrameSchedule::kStartDelayUs + 33'333 + FrameSchedule::kEdgeToEndUs;
    EXPECT_EQ(schedule.nextEnd(), end0);
    EXPECT_FALSE(schedule.takeDue(end0, 10'000).has_value()) << "the device has not passed the end yet";
    const auto slot = schedule.takeDue(end0 + 1, 10'000);
    ASSERT_TRUE(slot.has_value());
    EXPECT_EQ(slot->index, 0u);
    EXPECT_EQ(slot->rise, end0 - FrameSchedule::kEdgeToEndUs);
    EXPECT_EQ(slot->exposure_end, end0);
    EXPECT_EQ(slot->exposure_begin, slot->rise - 10'000 - FrameSchedule::kEdgeAfterExposureUs);
    EXPECT_EQ(slot->exposure_end - slot->exposure_begin, 10'000 + FrameSchedule::kReadoutUs);
    EXPECT_FALSE(schedule.takeDue(end0 + 1, 10'000).has_value());
    // A reader far behind gets the newest frames; the rest are counted as lost.
    const auto late = schedule.takeDue(end0 + 100 * 33'333, 10'000);
    ASSERT_TRUE(late.has_value());
    EXPECT_EQ(late->index, 1u);
    EXPECT_GT(late->skipped, 0u);
    const auto next = schedule.takeDue(end0 + 100 * 33'333, 10'000);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->index, 2 + late->skipped);
    schedule.stop();
    EXPECT_FALSE(schedule.takeDue(UINT64_MAX / 2, 10'000).has_value());
}

TEST(FusionFrameRenderer, BarsSitWhereTheCalibrationMapsTheScenesBars) {
    FrameRenderer::Axis x;
    FrameRenderer::Axis y;
    FrameRenderer::axesFromCalibration(fusionCamera("r").calibration, x, y);
    EXPECT_DOUBLE_EQ(x.scale, 3.0);
    EXPECT_DOUBLE_EQ(x.offset, 12.0);
    EXPECT_DOUBLE_EQ(y.scale, 3.0);
    EXPECT_DOUBLE_EQ(y.offset, 6.0);
    FrameRenderer renderer(3840, 2160, 1280, 720, x, y, true, 0);
    std::vector<uint8_t> frame;
    const uint64_t t = 700'000;
    renderer.render(t, frame);
    ASSERT_EQ(frame.size(), kFrameBytes);
    const auto luma = [&](int fx, int fy) { return frame[size_t(fy) * 3840 + size_t(fx)]; };
    const SyntheticScene::Bars bars = SyntheticScene::barsAt(1280, 720, t);
    ASSERT_GT(bars.column_lead, SyntheticScene::kBarWidth);
    ASSERT_LT(bars.column_lead, 1270u);
    // Inside the vertical bar (event column lead - 12), just before and just after it.
    const int inside = 3 * int(bars.column_lead - 12) + 12;
    const int after = 3 * int(bars.column_lead + 2) + 12;
    const int before = 3 * int(bars.column_lead - SyntheticScene::kBarWidth - 2) + 12;
    const int row = 3 * int((bars.row_lead + 300) % 720) + 6;  // away from the horizontal bar
    EXPECT_EQ(luma(inside, row), FrameRenderer::kBarLuma);
    EXPECT_NE(luma(after, row), FrameRenderer::kBarLuma);
    EXPECT_NE(luma(before, row), FrameRenderer::kBarLuma);
    const int bar_row = 3 * int(bars.row_lead - 12) + 6;
    EXPECT_EQ(luma(after, bar_row), FrameRenderer::kBarLuma);
    EXPECT_EQ(frame[3840 * 2160 + 12345], 128) << "chroma is grey";
}

TEST(FusionFrameRenderer, RedrawingABufferGivesWhatAFreshBufferShows) {
    FrameRenderer::Axis x{3.0, 12.0};
    FrameRenderer::Axis y{3.0, 6.0};
    FrameRenderer renderer(3840, 2160, 1280, 720, x, y, true, 50);
    std::vector<uint8_t> reused;
    renderer.render(100'000, reused);
    for (uint64_t t : {133'333, 1'990'000, 2'010'000, 2'500'000}) {
        renderer.render(t, reused);
        std::vector<uint8_t> fresh;
        renderer.render(t, fresh);
        ASSERT_EQ(fresh.size(), reused.size());
        EXPECT_TRUE(fresh == reused) << "at " << t;
    }
}

// A fusion camera alone in the set, with interfaces to it.
class FusionDevice : public ::testing::Test {
protected:
    void SetUp() override { setUpCamera(fusionCamera("fusion1")); }
    void setUpCamera(const SimDeviceConfig& config) {
        SimulatedCameras::instance().reset({config});
        device_ = SimulatedCameras::instance().find(config.description.serial);
        ASSERT_NE(device_, nullptr);
        interface_ = UsbInterface::createUsbFusionInterface(config.description);
        ASSERT_NE(interface_, nullptr);
    }
    void TearDown() override {
        interface_.reset();
        device_.reset();
        SimulatedCameras::instance().restoreDefault();
    }

    std::shared_ptr<sim::SimDevice> device_;
    std::shared_ptr<UsbInterface> interface_;
};

TEST_F(FusionDevice, BoardRegistersAreApartFromTheSensors) {
    uint8_t block[64] = {};
    ASSERT_EQ(interface_->readControlData(sim::reg::kBoardFirmwareVersion, block), 0);
    EXPECT_EQ(text(block), "Tandra_V1.7.2");
    ASSERT_EQ(interface_->readControlData(sim::reg::kBoardSerialNumber, block), 0);
    EXPECT_EQ(text(block), "fusion1");

    // Writing the 64-byte serial number touches neither the firmware version nor sensor registers
    // at the same addresses.
    uint8_t serial[64] = {};
    std::memset(serial, 'S', 63);
    ASSERT_EQ(interface_->writeDataBlock(0x6004, serial), 0);  // sensor registers 0x6004..0x6013
    ASSERT_EQ(interface_->writeControlData(sim::reg::kBoardSerialNumber, serial), 0);
    ASSERT_EQ(interface_->readControlData(sim::reg::kBoardFirmwareVersion, block), 0);
    EXPECT_EQ(text(block), "Tandra_V1.7.2");
    uint32_t value = 0;
    ASSERT_EQ(interface_->readRegister(0x6004, value), 0);
    EXPECT_EQ(value, 0x53535353u);
    ASSERT_EQ(interface_->writeControlRegister(sim::reg::kBoardShutter, 10'000), 0);
    EXPECT_EQ(device_->frameExposureUs(), 10'000u);
    ASSERT_EQ(interface_->readRegister(sim::reg::kBoardShutter, value), 0);
    EXPECT_EQ(value, 0u) << "the board's register is not the sensor's";

    device_->unplug();
    EXPECT_EQ(interface_->readControlData(sim::reg::kBoardSerialNumber, block), -1);
    EXPECT_EQ(interface_->writeControlRegister(sim::reg::kBoardFrameControl, 1), -1);
    device_->plug();
}

TEST_F(FusionDevice, ABoardControllerReachesTheBoardsRegistersByName) {
    const RegisterInfo table[] = {
        {0, "aps_ctrl", 0x5000, 0, 0},         {1, "aps_en", 0, 1, 0},
        {0, "aps_shutter", 0x5002, 0, 0},      {1, "aps_shutter_sweep_time", 0, 20, 102},
        {0, "usb_serialnumber", 0x6001, 0, 0},
    };
    RegisterController board(interface_, table, sizeof(table) / sizeof(table[0]), " ", RegisterBus::Board);
    EXPECT_EQ(board.bus(), RegisterBus::Board);
    EXPECT_EQ(device_->frameExposureUs(), 102u) << "the board powers up with the table's reset values";
    uint32_t sensor_value = 0;
    ASSERT_EQ(interface_->readRegister(0x5002, sensor_value), 0);
    EXPECT_EQ(sensor_value, 0u) << "and the sensor's registers keep theirs";
    ASSERT_EQ(board.writeRegisterField("aps_shutter", "aps_shutter_sweep_time", 10'000), 0);
    EXPECT_EQ(device_->frameExposureUs(), 10'000u);
    ASSERT_EQ(board.writeRegisterWithControlTransfer("aps_ctrl", 1), 0);
    EXPECT_TRUE(device_->frameSensorRunning());
    uint8_t block[64] = {};
    ASSERT_EQ(board.readRegisterWithControlTransfer("usb_serialnumber", block), 0);
    EXPECT_EQ(text(block), "fusion1");
    std::memcpy(block, "renamed", 8);
    ASSERT_EQ(board.writeRegisterDataWithControlTransfer("usb_serialnumber", block), 0);
    uint8_t back[64] = {};
    ASSERT_EQ(interface_->readControlData(sim::reg::kBoardSerialNumber, back), 0);
    EXPECT_EQ(text(back), "renamed");
    ScopedLogCapture log;
    EXPECT_EQ(board.readRegisterWithControlTransfer("no_such_register", block), -1);
    EXPECT_EQ(board.writeRegisterDataWithControlTransfer("no_such_register", block), -1);
}

TEST_F(FusionDevice, EventCamerasHaveNoBoardController) {
    SimulatedCameras::instance().add(testing::testCamera("plain"));
    auto usb = UsbInterface::createUsbInterface(SimulatedCameras::instance().find("plain")->description());
    ASSERT_NE(usb, nullptr);
    uint32_t value = 0;
    uint8_t block[64] = {};
    ScopedLogCapture log;
    EXPECT_EQ(usb->readControlRegister(sim::reg::kBoardFrameControl, value), -1);
    EXPECT_EQ(usb->readControlData(sim::reg::kBoardSerialNumber, block), -1);
    EXPECT_EQ(usb->writeControlData(sim::reg::kBoardSerialNumber, nullptr), -1);
}

TEST_F(FusionDevice, ExposureEdgesReachTheStreamOnlyThroughTheTriggerInput) {
    device_->writeRegister(sim::reg::kReadoutControl, 0);
    device_->writeControlRegister(sim::reg::kBoardFrameControl, 1);
    std::vector<uint8_t> out;
    device_->produce(0, 300'000, out);
    testing::StreamDecoder without;
    without.feed(out);
    for (const auto& d : without.log) EXPECT_FALSE(d.is_trigger) << "trigger input is off";

    device_->writeRegister(sim::reg::kTriggerIn, 1u << 10);
    out.clear();
    device_->produce(300'000, 600'000, out);
    testing::StreamDecoder with;
    with.feed(out);
    std::vector<EventTriggerIn> triggers;
    for (const auto& d : with.log)
        if (d.is_trigger) triggers.push_back(d.trigger);
    // The frame sensor started at time 0: frames rise every 100 ms from 101 ms on.
    const uint64_t a = FrameSchedule::kStartDelayUs;
    const std::vector<EventTriggerIn> expected = {
        {0, 1, a + 300'000}, {0, 0, a + 300'000 + FrameSchedule::kEdgeToEndUs},
        {0, 1, a + 400'000}, {0, 0, a + 400'000 + FrameSchedule::kEdgeToEndUs},
        {0, 1, a + 500'000}, {0, 0, a + 500'000 + FrameSchedule::kEdgeToEndUs},
    };
    EXPECT_EQ(triggers, expected);
}

// Waits for the next buffer of `stream`, up to about 5 s.
std::optional<RawBuffer> nextBuffer(EventStream& stream) {
    for (int i = 0; i < 50; ++i) {
        if (stream.waitNextBuffer() > 0) {
            if (auto b = stream.getLatestBuffer()) return b;
        }
    }
    return std::nullopt;
}

TEST_F(FusionDevice, FramesFollowTheirEdgesAndEventWordsComeMostSignificantByteFirst) {
    EventStream events(createDataTransferUniquePtr(interface_, 2, 131072, 20, kEventEndpoint));
    EventStream frames(createDataTransferUniquePtr(interface_, 2, kFrameBytes, 1, kFrameEndpoint));
    ASSERT_EQ(interface_->writeRegister(sim::reg::kTriggerIn, 1u << 10), 0);
    ASSERT_EQ(interface_->writeRegister(sim::reg::kReadoutControl, 0), 0);
    events.start();
    frames.start();
    ASSERT_EQ(interface_->writeControlRegister(sim::reg::kBoardFrameControl, 1), 0);

    // An unpaced device runs as fast as both streams are read: the events are read on a thread of
    // their own, in order, their words put back in order and decoded.
    EVT3Decoder decoder(1280, 720);
    std::vector<EventTriggerIn> rising;
    decoder.setTriggerInCallback([&](EventTriggerIn t) {
        if (t.polarity == 1) rising.push_back(t);
    });
    std::atomic<uint64_t> until{UINT64_MAX};
    std::thread reader([&] {
        while (decoder.getLastTimestamp() + 1 < until.load()) {
            if (events.waitNextBuffer() <= 0) continue;
            auto buffer = events.getLatestBuffer();
            if (!buffer) continue;
            std::vector<uint8_t> bytes = **buffer;
            convertEndian(bytes);
            decoder.decode(bytes.data(), bytes.data() + bytes.size());
        }
    });
    std::vector<RawBuffer> got;
    for (int i = 0; i < 3; ++i) {
        auto frame = nextBuffer(frames);
        if (!frame) break;
        EXPECT_EQ((*frame)->size(), kFrameBytes);
        got.push_back(*frame);
    }
    frames.stop();
    ASSERT_EQ(interface_->writeControlRegister(sim::reg::kBoardFrameControl, 0), 0);
    until = device_->clock();
    reader.join();
    events.stop();
    ASSERT_EQ(got.size(), 3u);
    ASSERT_GE(rising.size(), 4u);
    EXPECT_EQ(rising[1].timestamp - rising[0].timestamp, 100'000u);
    EXPECT_EQ(rising[2].timestamp - rising[1].timestamp, 100'000u);

    // The first frame shows the scene at the end of its exposure: the vertical bar where the
    // calibration maps it.
    const uint64_t end0 = rising[1].timestamp + FrameSchedule::kEdgeToEndUs;
    const SyntheticScene::Bars bars = SyntheticScene::barsAt(1280, 720, end0);
    const int fx = 3 * int(bars.column_lead) - 36 + 12;  // event column lead - 12
    const int fy = 3 * int((bars.row_lead + 300) % 720) + 6;
    if (bars.column_lead > 20 && bars.column_lead < 1280) {
        EXPECT_EQ((*got[0])[size_t(fy) * 3840 + size_t(fx)], FrameRenderer::kBarLuma);
    }
}

TEST_F(FusionDevice, FramesKeepComingWhileTheEventSensorIsOff) {
    setUpCamera(fusionCamera("fusion2", true));
    EventStream frames(createDataTransferUniquePtr(interface_, 2, kFrameBytes, 1, kFrameEndpoint));
    frames.start();
    ASSERT_FALSE(device_->isEmitting());
    ASSERT_EQ(interface_->writeControlRegister(sim::reg::kBoardFrameControl, 1), 0);
    const uint64_t before = device_->clock();
    ASSERT_TRUE(nextBuffer(frames).has_value());
    ASSERT_TRUE(nextBuffer(frames).has_value());
    EXPECT_GE(device_->clock() - before, 200'000u) << "time passed for the frame sensor";
    frames.stop();
}

TEST(FusionSimConfig, FrameRateAndFirmwareVersionAreConfigurable) {
    std::vector<SimDeviceConfig> configs;
    std::string error;
    ASSERT_TRUE(SimulatedCameras::parseConfig(
        R"([{"model": "Tandra", "frame_rate": 30, "firmware_version": "Tandra_V9.9.9"}, {"model": "Tandra"}])",
        configs, error))
        << error;
    ASSERT_EQ(configs.size(), 2u);
    EXPECT_EQ(configs[0].frame_rate, 30u);
    EXPECT_EQ(configs[0].description.firmwareVersion, "Tandra_V9.9.9");
    EXPECT_EQ(configs[1].frame_rate, 10u);
    EXPECT_EQ(configs[1].description.firmwareVersion, "Tandra_V1.7.2");
    CalibratorParameters params;
    EXPECT_TRUE(jsonDataToParam(configs[1].calibration, params));

    for (const char* bad :
         {R"([{"model": "Tandra", "frame_rate": 0}])", R"([{"model": "Tandra", "frame_rate": 31}])",
          R"([{"model": "EVK4", "frame_rate": 10}])", R"([{"model": "Tandra", "firmware_version": 3}])"}) {
        EXPECT_FALSE(SimulatedCameras::parseConfig(bad, configs, error)) << bad;
    }
    EXPECT_FALSE(SimulatedCameras::parseConfig(
        "[{\"model\": \"Tandra\", \"firmware_version\": \"" + std::string(64, 'v') + "\"}]", configs, error));
}

}  // namespace
}  // namespace zelvan
