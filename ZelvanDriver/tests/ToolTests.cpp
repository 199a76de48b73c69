// Camera tools: identity, parameters and metadata, refusals, and their effect on the decoded stream of a
// simulated camera.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "camera/DvsEventCamera.h"
#include "sensor/CameraTools.h"
#include "sensor/tables/RegisterTables.h"
#include "zelvan/Logger.h"
#include "zelvan/RegisterController.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan {
namespace {

using namespace std::chrono_literals;

sim::SimDeviceConfig cameraConfig(const std::string& serial, bool genx320) {
    sim::SimDeviceConfig c;
    c.description.serial = serial;
    c.description.manufacturer = genx320 ? "Zelvan Team." : "Prophesee";
    c.description.product = genx320 ? "Zelvan.320camera" : "EVK4";
    c.description.vendorId = genx320 ? 0x04B5 : 0x04B4;
    c.description.productId = genx320 ? 0xFFFF : 0x00F5;
    c.width = genx320 ? 320 : 1280;
    c.height = genx320 ? 320 : 720;
    c.event_rate = 4'000'000;
    c.trigger_period_us = 1000;
    c.flicker_hz = 100;
    c.paced = false;
    c.settle_scale = 0;
    return c;
}

// --- Identity of every tool class ---

struct InfoCase {
    std::function<std::shared_ptr<CameraTool>(std::shared_ptr<RegisterController>)> make;
    bool genx320;
    ToolType type;
    std::vector<std::string> params;
    std::string description;
};

template <typename T>
std::function<std::shared_ptr<CameraTool>(std::shared_ptr<RegisterController>)> maker() {
    return [](std::shared_ptr<RegisterController> c) { return std::make_shared<T>(std::move(c)); };
}

const std::vector<std::string> kAfkParams = {"band_high_freq", "band_low_freq",   "duty_cycle",    "enable",
                                             "filtering_mode", "start_threshold", "stop_threshold"};

TEST(ToolInfo, EveryToolClassAsDeclared) {
    auto imx = std::make_shared<RegisterController>(nullptr, kImx636RegisterTable, kImx636RegisterTableSize,
                                                    kImx636RegisterPrefix);
    auto genx = std::make_shared<RegisterController>(nullptr, kGenx320RegisterTable,
                                                     kGenx320RegisterTableSize, kGenx320RegisterPrefix);
    auto board = std::make_shared<RegisterController>(
        nullptr, kFusionBoardRegisterTable, kFusionBoardRegisterTableSize, kFusionBoardRegisterPrefix);
    const std::vector<std::string> roi = {"enable", "mode", "x", "y", "x_width", "y_height"};
    const std::vector<InfoCase> cases = {
        {maker<Imx636Biases>(),
         false,
         BIASES,
         {"bias_fo", "bias_hpf", "bias_diff_on", "bias_diff", "bias_diff_off", "bias_refr"},
         "Biases of DVS cameras with IMX636 sensor"},
        {maker<Genx320Biases>(),
         true,
         BIASES,
         {"bias_pr_hv0", "bias_fo_hv0", "bias_hpf_lv0", "bias_diff_on_lv0", "bias_diff_lv0",
          "bias_diff_off_lv0", "bias_refr_lv0"},
         "Biases of DVS cameras with GenX320 sensor"},
        {maker<Imx636TriggerIn>(),
         false,
         TRIGGER_IN,
         {"enable"},
         "Trigger in of DVS cameras with IMX636 sensors"},
        {maker<Genx320TriggerIn>(),
         true,
         TRIGGER_IN,
         {"enable"},
         "Trigger in of DVS cameras with GenX320 sensor"},
        {maker<Imx636Sync>(), false, SYNC, {"mode"}, "Sync of DVS cameras with IMX636 sensors"},
        {maker<Genx320Sync>(), true, SYNC, {"mode"}, "Sync of DVS cameras with GenX320 sensors"},
        {maker<Imx636AntiFlicker>(), false, ANTI_FLICKER, kAfkParams,
         "Anti flicker of DVS cameras with IMX636 sensor."},
        {maker<Genx320AntiFlicker>(), true, ANTI_FLICKER, kAfkParams,
         "Anti flicker of DVS cameras with GenX320 sensor."},
        {maker<Imx636EventTrailFilter>(),
         false,
         EVENT_TRAIL_FILTER,
         {"enable", "threshold", "type"},
         "Event Trail Filter of DVS cameras with IMX636 sensor"},
        {maker<Genx320EventTrailFilter>(),
         true,
         EVENT_TRAIL_FILTER,
         {"enable", "threshold", "type"},
         "Event Trail Filter of DVS cameras with GenX320 sensor"},
        {maker<Imx636EventRateControl>(),
         false,
         EVENT_RATE_CONTROL,
         {"enable", "max_event_rate"},
         "ERC of DVS cameras with IMX636 sensor"},
        {maker<Genx320EventRateControl>(),
         true,
         EVENT_RATE_CONTROL,
         {"enable", "max_event_rate"},
         "ERC of DVS cameras with GenX320 sensor"},
        {maker<Imx636ROI>(), false, ROI, roi, "ROI of DVS cameras with IMX636 sensor"},
        {maker<Genx320ROI>(), true, ROI, roi, "ROI of DVS cameras with GenX320 sensor"},
    };
    for (const auto& c : cases) {
        ScopedLogCapture log(LOG_ERROR);
        auto tool = c.make(c.genx320 ? genx : imx);
        const ToolInfo info = tool->getToolInfo();
        EXPECT_EQ(info.type, c.type) << c.description;
        EXPECT_EQ(info.name, toolTypeName(c.type)) << c.description;
        EXPECT_EQ(info.params, c.params) << c.description;
        EXPECT_EQ(info.description, c.description);
        // Every listed parameter is registered, and nothing else.
        std::vector<std::string> sorted = c.params;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(tool->registeredParameterNames(), sorted) << c.description;
        EXPECT_TRUE(log.lines().empty())
            << c.description << ": every register the tool needs is in its table";
    }
    Imx415ApsCtrl aps(board);
    const ToolInfo info = aps.getToolInfo();
    EXPECT_EQ(info.type, APS_CTRL);
    EXPECT_EQ(info.name, "ApsCtrl");
    EXPECT_EQ(info.description, "Ctrl of APS cameras with IMX415 sonsors");
    EXPECT_EQ(info.params, aps.registeredParameterNames());
    EXPECT_TRUE(std::is_sorted(info.params.begin(), info.params.end()));
    EXPECT_EQ(info.params.size(), 6u);
    EXPECT_EQ(std::count(info.params.begin(), info.params.end(), "shutter_sweep_time"), 0)
        << "the exposure is listed once";
    IntParameterInfo exposure;
    ASSERT_TRUE(aps.getParamInfo("exposure_time", exposure)) << "the fusion camera times its frames with it";
    EXPECT_EQ(exposure.default_value, 102);
    IntParameterInfo black;
    ASSERT_TRUE(aps.getParamInfo("black_level", black));
    EXPECT_EQ(black.max, 1023);
    EXPECT_EQ(black.default_value, 50);
}

TEST(ToolInfo, ParameterMetadata) {
    auto genx = std::make_shared<RegisterController>(nullptr, kGenx320RegisterTable,
                                                     kGenx320RegisterTableSize, kGenx320RegisterPrefix);
    Genx320EventRateControl erc(genx);
    IntParameterInfo rate;
    ASSERT_TRUE(erc.getParamInfo("max_event_rate", rate));
    EXPECT_EQ(rate.type, PARAM_INT);
    EXPECT_EQ(rate.min, 0);
    EXPECT_EQ(rate.max, 320);
    EXPECT_EQ(rate.default_value, 320);
    EXPECT_EQ(rate.unit, "MEv/s");
    EXPECT_EQ(rate.description, "Set threshold");
    BoolParameterInfo enable;
    ASSERT_TRUE(erc.getParamInfo("enable", enable));
    EXPECT_EQ(enable.type, PARAM_BOOL);
    EXPECT_FALSE(enable.default_value);
    EXPECT_EQ(enable.description, "Set whether the Event Rate Control function is enabled");
    const auto all = erc.getAllParamInfo();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all.begin()->first, "enable");
    EXPECT_EQ(all.at("max_event_rate").type, PARAM_INT);

    // Bias ranges and defaults are those of the register fields.
    Genx320Biases biases(genx);
    IntParameterInfo pr;
    ASSERT_TRUE(biases.getParamInfo("bias_pr_hv0", pr));
    EXPECT_EQ(pr.min, 0);
    EXPECT_EQ(pr.max, 127);
    EXPECT_EQ(pr.default_value, 0x3D);
    EXPECT_FALSE(pr.description.empty());

    // Anti-flicker: every kind the settings panels show.
    auto imx = std::make_shared<RegisterController>(nullptr, kImx636RegisterTable, kImx636RegisterTableSize,
                                                    kImx636RegisterPrefix);
    Imx636AntiFlicker afk(imx);
    IntParameterInfo low, high;
    ASSERT_TRUE(afk.getParamInfo("band_low_freq", low));
    ASSERT_TRUE(afk.getParamInfo("band_high_freq", high));
    EXPECT_EQ(low.default_value, 50);
    EXPECT_EQ(high.default_value, 521);
    EXPECT_EQ(low.unit, "Hz");
    FloatParameterInfo duty;
    ASSERT_TRUE(afk.getParamInfo("duty_cycle", duty));
    EXPECT_FLOAT_EQ(duty.default_value, 50.0f);
    EXPECT_FLOAT_EQ(duty.min, 6.25f);
    EXPECT_FLOAT_EQ(duty.max, 100.0f);
    EnumParameterInfo mode;
    ASSERT_TRUE(afk.getParamInfo("filtering_mode", mode));
    EXPECT_EQ(mode.options, (std::vector<std::string>{"BAND_STOP", "BAND_PASS"}));
    ScopedLogCapture log;
    EXPECT_FALSE(afk.getParamInfo("filtering_mode", duty)) << "another kind";
    EXPECT_FALSE(afk.getParamInfo("nope", duty));
    EXPECT_EQ(log.lines().size(), 2u);
}

TEST(ToolInfo, MaximumLimitBoundsTheEventRate) {
    const auto config = cameraConfig("ERCLIMIT" + std::to_string(::getpid()), true);
    sim::SimulatedCameras::instance().reset({config});
    auto device = sim::SimulatedCameras::instance().find(config.description.serial);
    auto interface = UsbInterface::createUsbInterface(config.description);
    auto controller = std::make_shared<RegisterController>(interface, kGenx320RegisterTable,
                                                           kGenx320RegisterTableSize, kGenx320RegisterPrefix);
    Genx320EventRateControl erc(controller);
    EXPECT_TRUE(erc.setMaxLimitEventRate(40));
    EXPECT_TRUE(device->writeLog().empty()) << "the limit is not written";
    IntParameterInfo rate;
    ASSERT_TRUE(erc.getParamInfo("max_event_rate", rate));
    EXPECT_EQ(rate.max, 40);
    ScopedLogCapture log;
    EXPECT_FALSE(erc.setParam("max_event_rate", 41));
    EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "EventRateControl.max_event_rate = 41 refused"));
    EXPECT_TRUE(device->writeLog().empty());
    EXPECT_TRUE(erc.setParam("max_event_rate", 40));
    int back = 0;
    EXPECT_TRUE(erc.getParam("max_event_rate", back));
    EXPECT_EQ(back, 40);
    EXPECT_EQ(device->readRegister(0x602C), 40u * 128u) << "target events per 128 us reference period";
    interface.reset();
    sim::SimulatedCameras::instance().restoreDefault();
}

TEST(ToolInfo, MaximumLimitLowersTheRateThatEnablingApplies) {
    const auto config = cameraConfig("ERCLIMIT2" + std::to_string(::getpid()), false);
    sim::SimulatedCameras::instance().reset({config});
    auto device = sim::SimulatedCameras::instance().find(config.description.serial);
    auto interface = UsbInterface::createUsbInterface(config.description);
    auto controller = std::make_shared<RegisterController>(interface, kImx636RegisterTable,
                                                           kImx636RegisterTableSize, kImx636RegisterPrefix);
    Imx636EventRateControl erc(controller);
    EXPECT_TRUE(erc.setMaxLimitEventRate(40));
    EXPECT_TRUE(device->writeLog().empty()) << "the limit is not written";
    int rate = 0;
    ASSERT_TRUE(erc.getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 40) << "never more than the limit";
    ASSERT_TRUE(erc.setParam("enable", true));
    EXPECT_EQ(device->readRegister(0x600C), 40u * 128u) << "enabling applies the bounded rate";
    EXPECT_EQ(device->readRegister(0x6028) & 1u, 1u);
    ASSERT_TRUE(erc.getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 40);
    interface.reset();
    sim::SimulatedCameras::instance().restoreDefault();
}

// A limit set below the rate of a running controller takes effect at once: the rate read back (and so
// an exported configuration) never exceeds what the tool accepts.
template <typename Erc>
void checkLimitBoundsARunningController(bool genx320) {
    SCOPED_TRACE(genx320 ? "GenX320" : "IMX636");
    const auto config =
        cameraConfig("ERCRUN" + std::to_string(genx320) + std::to_string(::getpid()), genx320);
    sim::SimulatedCameras::instance().reset({config});
    auto device = sim::SimulatedCameras::instance().find(config.description.serial);
    ASSERT_NE(device, nullptr);
    auto interface = UsbInterface::createUsbInterface(config.description);
    auto controller =
        genx320 ? std::make_shared<RegisterController>(interface, kGenx320RegisterTable,
                                                       kGenx320RegisterTableSize, kGenx320RegisterPrefix)
                : std::make_shared<RegisterController>(interface, kImx636RegisterTable,
                                                       kImx636RegisterTableSize, kImx636RegisterPrefix);
    const uint32_t target = genx320 ? 0x602C : 0x600C;
    Erc erc(controller);
    ASSERT_TRUE(erc.setParam("max_event_rate", 200));
    ASSERT_TRUE(erc.setParam("enable", true));
    EXPECT_EQ(device->readRegister(target), 200u * 128u);

    EXPECT_TRUE(erc.setMaxLimitEventRate(40));
    EXPECT_EQ(device->readRegister(target), 40u * 128u) << "the running controller is bounded";
    int rate = 0;
    ASSERT_TRUE(erc.getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 40);
    EXPECT_TRUE(erc.setParam("max_event_rate", rate)) << "what reads back is accepted";
    bool on = false;
    ASSERT_TRUE(erc.getParam("enable", on));
    EXPECT_TRUE(on);

    // A controller that already runs within the limit is left alone.
    ASSERT_TRUE(erc.setParam("max_event_rate", 30));
    device->clearWriteLog();
    EXPECT_TRUE(erc.setMaxLimitEventRate(35));
    EXPECT_TRUE(device->writeLog().empty());
    ASSERT_TRUE(erc.getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 30);
    interface.reset();
    sim::SimulatedCameras::instance().restoreDefault();
}

TEST(ToolInfo, MaximumLimitBoundsARunningController) {
    checkLimitBoundsARunningController<Genx320EventRateControl>(true);
    checkLimitBoundsARunningController<Imx636EventRateControl>(false);
}

// --- The tools of an opened camera ---

class ToolCamera : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        genx320_ = GetParam();
        config_ = cameraConfig("TOOLS" + std::to_string(::getpid()), genx320_);
        sim::SimulatedCameras::instance().reset({config_});
        device_ = sim::SimulatedCameras::instance().find(config_.description.serial);
        ASSERT_NE(device_, nullptr);
        camera_ = std::make_shared<DvsEventCamera>(config_.description);
        EXPECT_TRUE(camera_->getAllToolsInfo().empty()) << "no tools before opening";
        ASSERT_EQ(camera_->init(), 0);
        camera_->addEventsStreamHandleCallback([this](Event2D* f, Event2D* l) {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.insert(events_.end(), f, l);
        });
        camera_->addTriggerInCallback([this](EventTriggerIn t) {
            std::lock_guard<std::mutex> lock(mutex_);
            triggers_.push_back(t);
        });
    }
    void TearDown() override {
        camera_.reset();
        device_.reset();
        sim::SimulatedCameras::instance().restoreDefault();
    }
    // Streams until `n` events were decoded (or the decoded time passed `us`), then stops.
    void capture(size_t n, uint64_t us = 2'000'000) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.clear();
            triggers_.clear();
        }
        ASSERT_EQ(camera_->start(), 0);
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (true) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (events_.size() >= n) break;
                if (!events_.empty() && events_.back().timestamp - events_.front().timestamp > us) break;
            }
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the camera stopped streaming";
            std::this_thread::sleep_for(2ms);
        }
        ASSERT_EQ(camera_->stop(), 0);
    }
    std::vector<Event2D> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    size_t triggers() {
        std::lock_guard<std::mutex> lock(mutex_);
        return triggers_.size();
    }
    std::shared_ptr<CameraTool> tool(ToolType type) { return camera_->getTool(type); }

    bool genx320_ = false;
    sim::SimDeviceConfig config_;
    std::shared_ptr<sim::SimDevice> device_;
    std::shared_ptr<DvsEventCamera> camera_;
    std::mutex mutex_;
    std::vector<Event2D> events_;
    std::vector<EventTriggerIn> triggers_;
};

TEST_P(ToolCamera, TableHoldsTheSevenToolsInTypeOrder) {
    const auto all = camera_->getAllToolsInfo();
    ASSERT_EQ(all.size(), 7u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(all[size_t(i)].type, ToolType(i));
    EXPECT_EQ(all[0].description, genx320_ ? "Biases of DVS cameras with GenX320 sensor"
                                           : "Biases of DVS cameras with IMX636 sensor");
    EXPECT_EQ(camera_->getTool("ROI"), camera_->getTool(ROI));
    EXPECT_EQ(camera_->getTool("EventRateControl"), camera_->getTool(EVENT_RATE_CONTROL));
    ScopedLogCapture log;
    EXPECT_EQ(camera_->getTool("roi"), nullptr);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(camera_->getTool(APS_CTRL), nullptr);
    EXPECT_TRUE(log.contains(LOG_ERROR, "Tool not found"));
    try {
        camera_->getToolInfo(APS_CTRL);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Tool not found");
    }
    EXPECT_EQ(camera_->getToolInfo(SYNC).name, "Sync");
    EXPECT_EQ(camera_->init(), 0) << "a second init creates nothing";
    EXPECT_EQ(camera_->getAllToolsInfo().size(), 7u);
}

TEST_P(ToolCamera, RefusedValuesWriteNothing) {
    auto biases = tool(BIASES);
    const std::string on = genx320_ ? "bias_diff_on_lv0" : "bias_diff_on";
    device_->clearWriteLog();
    ScopedLogCapture log;
    EXPECT_FALSE(biases->setParam(on, genx320_ ? 128 : 256));
    EXPECT_FALSE(biases->setParam(on, -1));
    EXPECT_FALSE(biases->setParam(on, true));
    EXPECT_FALSE(biases->setParam(on, 3.0));
    EXPECT_FALSE(biases->setParam(on, "40"));
    EXPECT_FALSE(biases->setParam("bias_nope", 10));
    EXPECT_FALSE(tool(ROI)->setParam("mode", std::string("roni")));
    EXPECT_FALSE(tool(ROI)->setParam("x", genx320_ ? 320 : 1280));
    EXPECT_FALSE(tool(EVENT_TRAIL_FILTER)->setParam("threshold", 10));
    EXPECT_FALSE(tool(ANTI_FLICKER)->setParam("duty_cycle", 120.0f));
    EXPECT_FALSE(tool(ANTI_FLICKER)->setParam("duty_cycle", 0.0f))
        << "the sensor holds one sixteenth at least";
    EXPECT_FALSE(tool(ANTI_FLICKER)->setParam("duty_cycle", 12));
    EXPECT_FALSE(tool(SYNC)->setParam("mode", std::string("leader")));
    EXPECT_FALSE(tool(TRIGGER_IN)->setParam("enable", 1));
    EXPECT_EQ(log.count(LOG_WARNING, ""), 0u);
    size_t warnings = 0;
    for (const auto& line : log.lines()) warnings += line.level == LOG_WARNING ? 1 : 0;
    EXPECT_EQ(warnings, 14u);
    EXPECT_TRUE(device_->writeLog().empty());
    int value = 0;
    EXPECT_FALSE(biases->getParam("bias_nope", value));
    bool flag = false;
    EXPECT_FALSE(biases->getParam(on, flag)) << "an int parameter read as bool";
}

TEST_P(ToolCamera, BiasesShiftTheBalanceOfPolarities) {
    const auto onShare = [](const std::vector<Event2D>& ev) {
        size_t on = 0;
        for (const auto& e : ev) on += e.polarity;
        return double(on) / double(ev.size());
    };
    capture(200'000);
    const double before = onShare(events());
    auto biases = tool(BIASES);
    const std::string on = genx320_ ? "bias_diff_on_lv0" : "bias_diff_on";
    const int raised = genx320_ ? 0x18 + 52 : 128;
    ASSERT_TRUE(biases->setParam(on, raised));
    int back = 0;
    ASSERT_TRUE(biases->getParam(on, back));
    EXPECT_EQ(back, raised);
    EXPECT_EQ(device_->readRegister(genx320_ ? 0x1104 : 0x1010) & 0x7F, uint32_t(raised) & 0x7F);
    capture(200'000);
    const double after = onShare(events());
    EXPECT_GT(before, 0.4);
    EXPECT_LT(after, before - 0.1) << "a higher ON threshold gives fewer ON events";
}

TEST_P(ToolCamera, TriggerEdgesOnlyWhileEnabled) {
    auto trigger = tool(TRIGGER_IN);
    BoolParameterInfo info;
    ASSERT_TRUE(trigger->getParamInfo("enable", info));
    EXPECT_EQ(info.default_value, !genx320_) << "the reset state of the sensor's trigger input";
    bool enabled = false;
    ASSERT_TRUE(trigger->getParam("enable", enabled));
    EXPECT_EQ(enabled, info.default_value) << "the device powers up in its reset state";
    ASSERT_TRUE(trigger->setParam("enable", false));
    ASSERT_TRUE(trigger->getParam("enable", enabled));
    EXPECT_FALSE(enabled);
    capture(100'000, 20'000);
    EXPECT_EQ(triggers(), 0u);
    ASSERT_TRUE(trigger->setParam("enable", true));
    ASSERT_TRUE(trigger->getParam("enable", enabled));
    EXPECT_TRUE(enabled);
    capture(100'000, 20'000);
    const auto ev = events();
    const uint64_t span = ev.back().timestamp - ev.front().timestamp;
    EXPECT_GE(triggers(), span / 1000) << "two edges per 1 ms period";
}

TEST_P(ToolCamera, RegionOfInterestCropsAndRoniDrops) {
    auto roi = tool(ROI);
    ASSERT_TRUE(roi->setParam("x", 40));
    ASSERT_TRUE(roi->setParam("y", 30));
    ASSERT_TRUE(roi->setParam("x_width", 100));
    ASSERT_TRUE(roi->setParam("y_height", 50));
    ASSERT_TRUE(roi->setParam("enable", true));
    int x = 0;
    ASSERT_TRUE(roi->getParam("x", x));
    EXPECT_EQ(x, 40);
    std::string mode;
    ASSERT_TRUE(roi->getParam("mode", mode));
    EXPECT_EQ(mode, "ROI");
    capture(20'000, 500'000);
    auto ev = events();
    ASSERT_GT(ev.size(), 1000u);
    for (const auto& e : ev) {
        ASSERT_TRUE(e.x >= 40 && e.x < 140 && e.y >= 30 && e.y < 80) << e.x << "," << e.y;
    }
    ASSERT_TRUE(roi->setParam("mode", std::string("RONI")));
    capture(50'000, 500'000);
    ev = events();
    ASSERT_GT(ev.size(), 1000u);
    for (const auto& e : ev)
        ASSERT_FALSE(e.x >= 40 && e.x < 140 && e.y >= 30 && e.y < 80) << e.x << "," << e.y;
    ASSERT_TRUE(roi->setParam("enable", false));
    capture(200'000);
    size_t inside = 0;
    for (const auto& e : events()) inside += e.x >= 40 && e.x < 140 && e.y >= 30 && e.y < 80;
    EXPECT_GT(inside, 0u);
}

TEST_P(ToolCamera, EventRateControlCapsTheRate) {
    const auto rate = [](const std::vector<Event2D>& ev) {
        return double(ev.size()) / double(ev.back().timestamp - ev.front().timestamp + 1);  // events per us
    };
    capture(400'000);
    EXPECT_NEAR(rate(events()), 4.0, 0.4) << "the scene's own rate";
    auto erc = tool(EVENT_RATE_CONTROL);
    ASSERT_TRUE(erc->setParam("max_event_rate", 1));
    ASSERT_TRUE(erc->setParam("enable", true));
    bool on = false;
    int limit = 0;
    ASSERT_TRUE(erc->getParam("enable", on));
    ASSERT_TRUE(erc->getParam("max_event_rate", limit));
    EXPECT_TRUE(on);
    EXPECT_EQ(limit, 1);
    capture(400'000);
    const double capped = rate(events());
    EXPECT_LE(capped, 1.0 * 1.02);
    EXPECT_GE(capped, 0.9);
    ASSERT_TRUE(erc->setParam("enable", false));
    capture(400'000);
    EXPECT_GT(rate(events()), 3.0);
}

TEST_P(ToolCamera, EnablingRateControlAloneAppliesTheCurrentMaximum) {
    const auto rate = [](const std::vector<Event2D>& ev) {
        return double(ev.size()) / double(ev.back().timestamp - ev.front().timestamp + 1);  // events per us
    };
    auto erc = tool(EVENT_RATE_CONTROL);
    int limit = 0;
    ASSERT_TRUE(erc->getParam("max_event_rate", limit));
    EXPECT_EQ(limit, 320);
    ASSERT_TRUE(erc->setParam("enable", true));
    bool on = false;
    ASSERT_TRUE(erc->getParam("enable", on));
    EXPECT_TRUE(on);
    ASSERT_TRUE(erc->getParam("max_event_rate", limit));
    EXPECT_EQ(limit, 320) << "what the sensor applies";
    capture(400'000);
    EXPECT_GT(rate(events()), 3.5) << "320 MEv/s leaves the scene's 4 MEv/s alone";

    // A rate set while the controller is off is the one that the next enable applies.
    ASSERT_TRUE(erc->setParam("enable", false));
    ASSERT_TRUE(erc->setParam("max_event_rate", 2));
    ASSERT_TRUE(erc->setParam("enable", false));
    ASSERT_TRUE(erc->setParam("enable", true));
    ASSERT_TRUE(erc->getParam("max_event_rate", limit));
    EXPECT_EQ(limit, 2);
    capture(400'000);
    const double capped = rate(events());
    EXPECT_LE(capped, 2.0 * 1.02);
    EXPECT_GE(capped, 1.8);
}

TEST_P(ToolCamera, RateControlReadsBackWhatTheSensorDoes) {
    auto erc = tool(EVENT_RATE_CONTROL);
    ASSERT_TRUE(erc->setParam("max_event_rate", 3));
    ASSERT_TRUE(erc->setParam("enable", true));
    const uint32_t target = genx320_ ? 0x602C : 0x600C;
    const uint32_t enable = genx320_ ? 0x6000 : 0x6028;
    EXPECT_EQ(device_->readRegister(target), 3u * 128u);
    // The sensor lost its settings (a power cycle behind the driver's back): it reads back as it runs.
    device_->writeRegister(target, 0x80);
    int rate = 0;
    ASSERT_TRUE(erc->getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 1);
    device_->writeRegister(enable, 0);
    bool on = true;
    ASSERT_TRUE(erc->getParam("enable", on));
    EXPECT_FALSE(on);
    ASSERT_TRUE(erc->getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 3) << "off: the rate that enabling applies";
    // A refused value changes nothing that reads back.
    ScopedLogCapture log;
    EXPECT_FALSE(erc->setParam("max_event_rate", 321));
    EXPECT_FALSE(erc->setParam("enable", 1));
    ASSERT_TRUE(erc->getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 3);
    ASSERT_TRUE(erc->getParam("enable", on));
    EXPECT_FALSE(on);
    ASSERT_TRUE(erc->setParam("enable", true));
    EXPECT_EQ(device_->readRegister(target), 3u * 128u);
}

TEST_P(ToolCamera, TrailFilterThinsBursts) {
    auto stc = tool(EVENT_TRAIL_FILTER);
    ASSERT_TRUE(stc->setParam("type", std::string("TRAIL")));
    ASSERT_TRUE(stc->setParam("threshold", 20'000));
    ASSERT_TRUE(stc->setParam("enable", true));
    std::string type;
    ASSERT_TRUE(stc->getParam("type", type));
    EXPECT_EQ(type, "TRAIL");
    capture(100'000, 400'000);
    const auto ev = events();
    ASSERT_GT(ev.size(), 1000u);
    const double rate = double(ev.size()) / double(ev.back().timestamp - ev.front().timestamp + 1);
    // Kept events of one pixel and polarity are at least the threshold apart.
    std::map<std::pair<uint32_t, uint8_t>, uint64_t> last;
    std::map<uint32_t, uint8_t> last_polarity;
    for (const auto& e : ev) {
        const uint32_t pixel = uint32_t(e.y) << 16 | e.x;
        const auto key = std::make_pair(pixel, e.polarity);
        const auto it = last.find(key);
        const auto pol = last_polarity.find(pixel);
        if (it != last.end() && pol != last_polarity.end() && pol->second == e.polarity) {
            ASSERT_GE(e.timestamp - it->second, 20'000u);
        }
        last[key] = e.timestamp;
        last_polarity[pixel] = e.polarity;
    }
    ASSERT_TRUE(stc->setParam("enable", false));
    capture(100'000, 400'000);
    const auto all = events();
    const double unfiltered = double(all.size()) / double(all.back().timestamp - all.front().timestamp + 1);
    EXPECT_GT(unfiltered, 3.5);
    EXPECT_LT(rate, unfiltered * 0.6) << "most events of the moving edges are trail";
}

TEST_P(ToolCamera, AntiFlickerDropsTheFlickeringLamp) {
    struct Rates {
        double lamp = 0, rest = 0;  // events per us, once the filter has locked on
    };
    const auto rates = [](const std::vector<Event2D>& ev) {
        const uint64_t settle = ev.front().timestamp + 100'000;
        size_t lamp = 0, rest = 0;
        for (const auto& e : ev) {
            if (e.timestamp < settle) continue;
            (e.x >= 8 && e.x < 24 && e.y >= 8 && e.y < 24 ? lamp : rest) += 1;
        }
        const double span = double(ev.back().timestamp - settle + 1);
        return Rates{double(lamp) / span, double(rest) / span};
    };
    capture(4'000'000, 400'000);
    const Rates before = rates(events());
    constexpr double kFlicker = 0.0512;  // 256 pixels, two edges per 10 ms: events per us
    EXPECT_GE(before.lamp, kFlicker * 0.95) << "the lamp, and the scene passing over it";
    auto afk = tool(ANTI_FLICKER);
    ASSERT_TRUE(afk->setParam("band_low_freq", 50));
    ASSERT_TRUE(afk->setParam("band_high_freq", 300));
    ASSERT_TRUE(afk->setParam("enable", true));
    int low = 0;
    ASSERT_TRUE(afk->getParam("band_low_freq", low));
    EXPECT_EQ(low, 50);
    bool on = false;
    ASSERT_TRUE(afk->getParam("enable", on));
    EXPECT_TRUE(on);
    capture(4'000'000, 400'000);
    const Rates stopped = rates(events());
    EXPECT_LT(stopped.lamp, before.lamp / 10) << "the 100 Hz lamp lies inside the band";
    EXPECT_GT(stopped.rest, before.rest * 0.8) << "the moving scene does not flicker";
    ASSERT_TRUE(afk->setParam("filtering_mode", std::string("BAND_PASS")));
    capture(4'000'000, 400'000);
    const Rates passed = rates(events());
    EXPECT_GT(passed.lamp, kFlicker * 0.8);
    EXPECT_LT(passed.rest, before.rest * 0.2) << "only what flickers is kept";
}

TEST_P(ToolCamera, SyncModeReadsBack) {
    auto sync = tool(SYNC);
    std::string mode;
    ASSERT_TRUE(sync->getParam("mode", mode));
    EXPECT_EQ(mode, "standalone") << "as the bring-up leaves the time base";
    for (const char* m : {"master", "slave", "standalone"}) {
        ASSERT_TRUE(sync->setParam("mode", m));
        ASSERT_TRUE(sync->getParam("mode", mode));
        EXPECT_EQ(mode, m);
    }
    if (!genx320_) {
        ASSERT_TRUE(sync->setParam("mode", "slave"));
        EXPECT_EQ((device_->readRegister(0x0044) >> 16) & 0xF, 0xFu);
        ASSERT_TRUE(sync->setParam("mode", "master"));
        EXPECT_EQ((device_->readRegister(0x0044) >> 16) & 0xF, 0xCu);
    }
    capture(10'000);
    EXPECT_FALSE(events().empty());
}

// Tools are shared: one kept after its camera is released still works on the device, and fails once
// the device is gone (an AddressSanitizer build sees any use of the released camera).
TEST_P(ToolCamera, AToolKeptAfterItsCameraStillWorks) {
    auto biases = tool(BIASES);
    ASSERT_NE(biases, nullptr);
    std::string name;
    for (const auto& [param, info] : biases->getAllParamInfo()) {
        if (info.type == PARAM_INT) {
            name = param;
            break;
        }
    }
    ASSERT_FALSE(name.empty());
    IntParameterInfo range;
    ASSERT_TRUE(biases->getParamInfo(name, range));
    camera_.reset();
    const int value = range.min + (range.max - range.min) / 3;
    EXPECT_TRUE(biases->setParam(name, value));
    int back = range.max + 1;
    EXPECT_TRUE(biases->getParam(name, back));
    EXPECT_EQ(back, value);
    device_->unplug();
    {
        ScopedLogCapture quiet;
        EXPECT_FALSE(biases->setParam(name, range.min));
    }
    device_->plug();
}

INSTANTIATE_TEST_SUITE_P(Sensors, ToolCamera, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Genx320") : std::string("Imx636");
                         });

}  // namespace
}  // namespace zelvan
