// How the register file of a simulated sensor shapes its stream, family by family.
#include <gtest/gtest.h>

#include "SimTestUtil.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan {
namespace {

using sim::SimDevice;
using testing::ObservedLog;
using testing::StreamDecoder;
using testing::testCamera;

sim::SimDeviceConfig genx320Camera(const std::string& serial) {
    auto c = testCamera(serial);
    c.description.vendorId = 0x04B5;
    c.description.productId = 0xFFFF;
    c.width = 320;
    c.height = 320;
    return c;
}

// Emits `us` of device time in 1 ms slices; returns what the observer saw, checked against the decoded bytes.
testing::DecodeLog run(SimDevice& device, uint64_t us, int width, int height) {
    ObservedLog observed;
    observed.attachTo(device);
    StreamDecoder decoder(width, height);
    for (uint64_t done = 0; done < us; done += 1000) {
        std::vector<uint8_t> bytes;
        const uint64_t t0 = device.clock();
        device.produce(t0, t0 + 1000, bytes);
        decoder.feed(bytes);
    }
    const auto log = observed.snapshot();
    EXPECT_TRUE(log == decoder.log) << "the observer reports exactly what was encoded";
    return log;
}

size_t triggersIn(const testing::DecodeLog& log) {
    size_t n = 0;
    for (const auto& d : log) n += d.is_trigger ? 1 : 0;
    return n;
}

TEST(RegisterEffects, TriggerInputBitDependsOnTheSensor) {
    auto imx_config = testCamera("fx1");
    imx_config.trigger_period_us = 1000;
    SimDevice imx(imx_config);
    imx.writeRegister(sim::reg::kReadoutControl, 0);
    imx.writeRegister(0x9000, 1u << 10);
    EXPECT_EQ(triggersIn(run(imx, 20'000, 1280, 720)), 0u) << "not the IMX636 family's trigger register";
    imx.writeRegister(0x7004, 1u << 10);
    EXPECT_EQ(triggersIn(run(imx, 20'000, 1280, 720)), 40u);

    auto genx_config = genx320Camera("fx2");
    genx_config.trigger_period_us = 1000;
    SimDevice genx(genx_config);
    genx.writeRegister(sim::reg::kReadoutControl, 0);
    genx.writeRegister(0x7004, 1u << 10);
    EXPECT_EQ(triggersIn(run(genx, 20'000, 320, 320)), 0u) << "a status register on the GenX320";
    genx.writeRegister(0x9000, 1u << 10);
    EXPECT_EQ(triggersIn(run(genx, 20'000, 320, 320)), 40u);
}

TEST(RegisterEffects, RegionOfInterestBitmapsOfBothFamilies) {
    SimDevice imx(testCamera("fx3", 400'000));
    imx.writeRegister(sim::reg::kReadoutControl, 0);
    // Columns 32..63 and rows 0..31 selected (a 0 bit selects), ROI mode.
    for (uint32_t i = 0; i < 40; ++i) imx.writeRegister(0x2000 + 4 * i, i == 1 ? 0 : 0xFFFFFFFF);
    for (uint32_t i = 0; i < 23; ++i) imx.writeRegister(0x4000 + 4 * i, i == 0 ? 0 : 0xFFFFFFFF);
    imx.writeRegister(0x0004, (1u << 1) | (1u << 6));
    auto log = run(imx, 200'000, 1280, 720);
    ASSERT_GT(log.size(), 10u);
    for (const auto& d : log) ASSERT_TRUE(d.event.x >= 32 && d.event.x < 64 && d.event.y < 32);
    imx.writeRegister(0x0004, 1u << 1);  // RONI
    log = run(imx, 50'000, 1280, 720);
    ASSERT_GT(log.size(), 1000u);
    for (const auto& d : log) ASSERT_FALSE(d.event.x >= 32 && d.event.x < 64 && d.event.y < 32);

    SimDevice genx(genx320Camera("fx4"));
    genx.writeRegister(sim::reg::kReadoutControl, 0);
    for (uint32_t i = 0; i < 10; ++i) genx.writeRegister(0x2000 + 4 * i, i == 2 ? 0xFFFF : 0);  // 1 selects
    for (uint32_t i = 0; i < 10; ++i) genx.writeRegister(0x3000 + 4 * i, i == 9 ? 0xFFFFFFFF : 0);
    genx.writeRegister(0x0000, 1u << 1);
    log = run(genx, 200'000, 320, 320);
    ASSERT_GT(log.size(), 10u);
    for (const auto& d : log) ASSERT_TRUE(d.event.x >= 64 && d.event.x < 80 && d.event.y >= 288);
}

TEST(RegisterEffects, EventRateControlBudgetHoldsOverEveryInterval) {
    SimDevice imx(testCamera("fx5", 3'000'000));
    imx.writeRegister(sim::reg::kReadoutControl, 0);
    imx.writeRegister(0x6008, 100);  // reference period 100 us
    imx.writeRegister(0x600C, 50);   // 50 events per period: 0.5 events per us
    imx.writeRegister(0x6028, 1);
    const auto log = run(imx, 100'000, 1280, 720);
    EXPECT_LE(log.size(), 50'000u);
    EXPECT_GE(log.size(), 49'000u);

    SimDevice genx(genx320Camera("fx6"));
    genx.writeRegister(sim::reg::kReadoutControl, 0);
    genx.writeRegister(0x602C, 0);  // nothing allowed
    genx.writeRegister(0x6000, 1 | 4);
    EXPECT_GT(run(genx, 10'000, 320, 320).size(), 0u) << "bypassed";
    genx.writeRegister(0x6000, 1);
    EXPECT_EQ(run(genx, 10'000, 320, 320).size(), 0u);
}

TEST(RegisterEffects, UnwrittenRegistersLeaveTheSceneAsIs) {
    auto config = testCamera("fx7", 200'000);
    SimDevice plain(config);
    SimDevice shaped(config);
    plain.writeRegister(sim::reg::kReadoutControl, 0);
    shaped.writeRegister(sim::reg::kReadoutControl, 0);
    // Registers of other blocks, and filters written but not enabled, change nothing.
    shaped.writeRegister(0xD004, 0x2710 << 1);
    shaped.writeRegister(0xC004, 0x34);
    shaped.writeRegister(0x600C, 1);
    EXPECT_TRUE(run(plain, 20'000, 1280, 720) == run(shaped, 20'000, 1280, 720));
}

}  // namespace
}  // namespace zelvan

namespace zelvan {
namespace {

TEST(SimulatedCamerasConfig, SettlingAndFlickerSettings) {
    std::vector<sim::SimDeviceConfig> configs;
    std::string error;
    ASSERT_TRUE(sim::SimulatedCameras::parseConfig(
        R"([{"model": "EVK4", "settle_scale": 0, "flicker_hz": 120}, {"model": "Orvik 320"}])", configs,
        error))
        << error;
    ASSERT_EQ(configs.size(), 2u);
    EXPECT_DOUBLE_EQ(configs[0].settle_scale, 0.0);
    EXPECT_EQ(configs[0].flicker_hz, 120u);
    EXPECT_DOUBLE_EQ(configs[1].settle_scale, 1.0) << "like the hardware unless told";
    EXPECT_EQ(configs[1].flicker_hz, 0u);
    for (const char* bad :
         {R"([{"model": "EVK4", "settle_scale": -1}])", R"([{"model": "EVK4", "settle_scale": "0"}])",
          R"([{"model": "EVK4", "flicker_hz": 1.5}])"}) {
        EXPECT_FALSE(sim::SimulatedCameras::parseConfig(bad, configs, error)) << bad;
        EXPECT_NE(error.find("must be"), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace zelvan
