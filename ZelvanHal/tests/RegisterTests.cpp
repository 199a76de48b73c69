// Register model, register controller and the tool base classes, against a simulated device.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <stdexcept>

#include "SimTestUtil.h"
#include "zelvan/CameraTool.h"
#include "zelvan/Interface.h"
#include "zelvan/Logger.h"
#include "zelvan/Register.h"
#include "zelvan/RegisterController.h"

namespace zelvan {
namespace {

std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// A small table in the row layout of the sensor tables.
const RegisterInfo kTable[] = {
    {0, "ctrl", 0x10, 0, 0},  {1, "en", 0, 1, 0},       {1, "mode", 4, 3, 5},         {2, "fast", 1, 0, 0},
    {2, "slow", 2, 0, 0},     {1, "wide", 8, 24, 0},    {0, "blk/level", 0x14, 0, 0}, {1, "val", 0, 32, 7},
    {0, "empty", 0x18, 0, 0}, {0, "float", 0x1C, 0, 0}, {1, "bits", 0, 16, 0},
};
constexpr size_t kRows = sizeof(kTable) / sizeof(kTable[0]);

// --- Model ---

TEST(RegisterModel, FieldMaskFollowsStartAndLength) {
    Register::Field f("x", 0, 7, 3);
    EXPECT_EQ(f.get_mask(), 0x7Fu);
    f.set_start(4);
    EXPECT_EQ(f.get_mask(), 0x7F0u) << "bits 4 to 10";
    f.set_len(2);
    EXPECT_EQ(f.get_mask(), 0x30u);
    EXPECT_EQ(Register::Field("w", 0, 32, 0).get_mask(), 0xFFFFFFFFu);
    EXPECT_EQ(Register::Field("top", 31, 1, 0).get_mask(), 0x80000000u);
    EXPECT_EQ(Register::Field("past", 30, 8, 0).get_mask(), 0xC0000000u) << "bits beyond 31 do not exist";
    EXPECT_EQ(Register::Field().get_mask(), 0u);
    EXPECT_EQ(Register::Field().get_name(), "");
    EXPECT_EQ(f.get_default_value(), 3u);
}

TEST(RegisterModel, AliasesAndCopies) {
    Register::Field f("effective", 0, 32, 0, {{"enable", 0}});
    f.add_alias("disable", 1);
    f.add_alias("disable", 0xFFFFFFFF);
    ASSERT_EQ(f.get_aliases().size(), 2u);
    EXPECT_EQ(f.get_aliases().at("disable"), 0xFFFFFFFFu) << "the second value wins";
    Register::Field copy(f);
    Register::Field assigned;
    assigned = f;
    EXPECT_EQ(copy.get_aliases(), f.get_aliases());
    EXPECT_EQ(assigned.get_aliases(), f.get_aliases());
    EXPECT_EQ(assigned.get_mask(), f.get_mask());
}

TEST(RegisterModel, LookupsThrowTheirMessages) {
    Register r("ctrl", 0x10);
    EXPECT_EQ(r.get_value(), 0u);
    EXPECT_EQ(messageOf([&] { (void)r["en"]; }), "Register: Field not found");
    r.add_field(Register::Field("en", 0, 1, 0));
    EXPECT_EQ(r["en"].get_start(), 0u);
    EXPECT_EQ(messageOf([&] { (void)r["EN"]; }), "Register: Field not found");
    RegisterMap map;
    map.add(r);
    EXPECT_EQ(map["ctrl"].get_address(), 0x10u);
    EXPECT_EQ(messageOf([&] { (void)map["ctr"]; }), "RegisterController: Register not found");
    EXPECT_EQ(map.size(), 1u) << "a failed lookup leaves the map unchanged";
    RegisterMap moved(std::move(map));
    EXPECT_TRUE(moved.contains("ctrl"));
}

TEST(RegisterModel, BuildFollowsTheRowOrder) {
    RegisterMap map;
    EXPECT_EQ(buildRegisterMap(kTable, kRows, map), 0u);
    ASSERT_EQ(map.size(), 4u);
    EXPECT_EQ(map["ctrl"]["mode"].get_aliases().size(), 2u);
    EXPECT_EQ(map["ctrl"]["mode"].get_aliases().at("slow"), 2u);
    EXPECT_TRUE(map["ctrl"]["en"].get_aliases().empty());
    EXPECT_EQ(map["blk/level"]["val"].get_default_value(), 7u);
    EXPECT_TRUE(map["empty"].get_fields().empty());
    for (const char* name : {"val", "en", "x"})
        EXPECT_EQ(messageOf([&] { (void)map["empty"][name]; }), "Register: Field not found");

    const RegisterInfo broken[] = {{1, "orphan", 0, 1, 0}, {2, "orphan_alias", 1, 0, 0},
                                   {0, "r", 4, 0, 0},      {2, "alias_without_field", 1, 0, 0},
                                   {9, "odd", 0, 0, 0},    {1, "f", 0, 2, 1}};
    EXPECT_EQ(buildRegisterMap(broken, 6, map), 4u);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map["r"]["f"].get_len(), 2u);
    EXPECT_EQ(buildRegisterMap(nullptr, 3, map), 0u);
    EXPECT_TRUE(map.empty());
}

// --- Controller against a simulated device ---

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto config = testing::testCamera("REGS" + std::to_string(::getpid()));
        config.settle_scale = 0;
        sim::SimulatedCameras::instance().reset({config});
        device_ = sim::SimulatedCameras::instance().find(config.description.serial);
        interface_ = UsbInterface::createUsbInterface(config.description);
        ASSERT_NE(interface_, nullptr);
        controller_ = std::make_shared<RegisterController>(interface_, kTable, kRows, "TEST/");
    }
    void TearDown() override {
        controller_.reset();
        interface_.reset();
        device_.reset();
        sim::SimulatedCameras::instance().restoreDefault();
    }
    std::shared_ptr<sim::SimDevice> device_;
    std::shared_ptr<UsbInterface> interface_;
    std::shared_ptr<RegisterController> controller_;
};

TEST_F(ControllerTest, FieldWritesAreReadModifyWrite) {
    device_->writeRegister(0x10, 0xAB000001);
    device_->clearWriteLog();
    ASSERT_EQ(controller_->writeRegisterField("ctrl", "mode", 6), 0);
    EXPECT_EQ(device_->readRegister(0x10), 0xAB000061u) << "other bits kept";
    ASSERT_EQ(controller_->writeRegisterField("TEST/ctrl", "en", 0), 0) << "the prefix may be given";
    EXPECT_EQ(device_->readRegister(0x10), 0xAB000060u);
    uint32_t v = 0;
    ASSERT_EQ(controller_->readRegisterField("ctrl", "wide", v), 0);
    EXPECT_EQ(v, 0xAB0000u);
    ASSERT_EQ(controller_->readRegister("ctrl", v), 0);
    EXPECT_EQ(v, 0xAB000060u);
    ASSERT_EQ(controller_->writeRegister("blk/level", 0xFFFFFFFF), 0);
    ASSERT_EQ(controller_->readRegisterField("blk/level", "val", v), 0);
    EXPECT_EQ(v, 0xFFFFFFFFu);
    const std::vector<sim::RegisterWrite> expected = {
        {0x10, 0xAB000061}, {0x10, 0xAB000060}, {0x14, 0xFFFFFFFF}};
    EXPECT_EQ(device_->writeLog(), expected);
}

TEST_F(ControllerTest, BadNamesAndValuesWriteNothing) {
    ScopedLogCapture log;
    EXPECT_EQ(controller_->writeRegisterField("nope", "en", 1), -1);
    EXPECT_TRUE(log.contains(LOG_ERROR, "RegisterController: Register not found"));
    EXPECT_EQ(controller_->writeRegisterField("ctrl", "nope", 1), -1);
    EXPECT_TRUE(log.contains(LOG_ERROR, "Register: Field not found"));
    EXPECT_EQ(controller_->writeRegisterField("ctrl", "mode", 8), -1) << "3 bits";
    EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "does not fit ctrl.mode"));
    EXPECT_EQ(controller_->writeRegister("Ctrl", 1), -1);
    uint32_t v = 0;
    EXPECT_EQ(controller_->readRegisterField("empty", "x", v), -1);
    EXPECT_TRUE(device_->writeLog().empty());
    EXPECT_EQ(messageOf([&] { controller_->getRegister("nope"); }), "RegisterController: Register not found");
    EXPECT_EQ(messageOf([&] { controller_->getField("ctrl", "nope"); }), "Register: Field not found");
}

TEST_F(ControllerTest, SequencesWriteMaskAndPause) {
    device_->writeRegister(0x20, 0xFFFF0000);
    device_->clearWriteLog();
    const std::vector<RegisterOperation> seq = {
        {RegisterOperation::kWrite, 0x24, 0x12345678, 0, 0},
        {RegisterOperation::kMaskedWrite, 0x20, 0x000000FF, 0x0000F0F0, 0},
        {RegisterOperation::kPause, 0, 0, 0, 1'000'000},
        {RegisterOperation::kWrite, 0x24, 1, 0, 0},
    };
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(controller_->applyRegisterOperationSequence(seq), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500))
        << "the test device settles at once";
    const std::vector<sim::RegisterWrite> expected = {{0x24, 0x12345678}, {0x20, 0xFFFF00F0}, {0x24, 1}};
    EXPECT_EQ(device_->writeLog(), expected);

    // An unknown operation stops the sequence there.
    device_->clearWriteLog();
    ScopedLogCapture log;
    EXPECT_EQ(controller_->applyRegisterOperationSequence(
                  {{2, 0x30, 5, 0, 0}, {7, 0, 0, 0, 0}, {2, 0x34, 6, 0, 0}}),
              -1);
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "unknown kind 7"));
    EXPECT_EQ(device_->writeLog(), (std::vector<sim::RegisterWrite>{{0x30, 5}}));
}

TEST_F(ControllerTest, PausesLastWhatTheDeviceNeeds) {
    auto config = testing::testCamera("SLOW" + std::to_string(::getpid()));
    config.settle_scale = 0.5;
    sim::SimulatedCameras::instance().add(config);
    auto interface = UsbInterface::createUsbInterface(config.description);
    ASSERT_NE(interface, nullptr);
    EXPECT_DOUBLE_EQ(interface->settlingScale(), 0.5);
    EXPECT_DOUBLE_EQ(interface_->settlingScale(), 0.0);
    RegisterController slow(interface, kTable, kRows, "TEST/");
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(slow.applyRegisterOperationSequence({{RegisterOperation::kPause, 0, 0, 0, 40'000}}), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(20));
}

TEST_F(ControllerTest, BlocksAndUnpluggedDevices) {
    uint8_t block[64];
    for (int i = 0; i < 64; ++i) block[i] = uint8_t(i);
    ASSERT_EQ(controller_->writeDataBlock(0x100, block), 0);
    uint8_t back[64] = {};
    ASSERT_EQ(controller_->readDataBlock(0x100, back), 0);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 64), std::vector<uint8_t>(block, block + 64));
    EXPECT_EQ(controller_->writeDataBlock(0x100, nullptr), -1);
    device_->clearWriteLog();
    device_->unplug();
    ScopedLogCapture log;
    EXPECT_EQ(controller_->writeRegisterField("ctrl", "en", 1), -1);
    EXPECT_EQ(controller_->applyRegisterOperationSequence({{2, 0x10, 1, 0, 0}}), -1);
    EXPECT_EQ(controller_->readDataBlock(0x100, back), -1);
    EXPECT_TRUE(device_->writeLog().empty());
    device_->plug();
    RegisterController detached(nullptr, kTable, kRows, "X/");
    EXPECT_EQ(detached.writeRegister(0x10u, 1u), -1);
    EXPECT_EQ(detached.registerMap().size(), 4u);
}

// --- Tool base classes ---

// A tool with one parameter of every kind.
class KindsTool : public CameraToolRegisterWithCallback {
public:
    explicit KindsTool(std::shared_ptr<RegisterController> c) : CameraToolRegisterWithCallback(std::move(c)) {
        addFieldParameter("level", "an int field", "ctrl", "mode");
        addFieldParameter("narrow", "an int field with a narrower range", "ctrl", "wide", 10, 20, "px");
        addBoolFieldParameter("on", "a bool field", "ctrl", "en");
        addFieldParameter("missing", "left out", "ctrl", "nothing");
        addRegister2Map(
            FullParamteterInfo::makeFloat("gain", "a float", -1.0f, 2.0f, 1.0f, "dB"),
            [this](ParameterValue& v) {
                uint32_t raw = 0;
                if (!readField("float", "bits", raw)) return false;
                v = float(raw) / 1000.0f - 1.0f;
                return true;
            },
            [this](const ParameterValue& v) {
                return writeField("float", "bits", uint32_t(std::lround((std::get<float>(v) + 1.0f) * 1000)));
            });
        addRegister2Map(
            FullParamteterInfo::makeEnum("speed", "an enum", {"fast", "slow"}, "fast"),
            [this](ParameterValue& v) {
                v = speed_;
                return true;
            },
            [this](const ParameterValue& v) {
                speed_ = std::get<std::string>(v);
                return writeRegisterValue("blk/level", speed_ == "slow" ? 2 : 1);
            });
        addRegister2Map(
            FullParamteterInfo::makeString("label", "a string", "none"),
            [this](ParameterValue& v) {
                v = label_;
                return true;
            },
            [this](const ParameterValue& v) {
                label_ = std::get<std::string>(v);
                return true;
            });
    }
    ToolInfo getToolInfo() const override {
        return ToolInfo{ANTI_FLICKER, "Kinds", registeredParameterNames(), "every kind"};
    }
    void narrowGain(float max) {
        updateParameterInfo(FullParamteterInfo::makeFloat("gain", "a float", -1.0f, max, 0.0f));
    }

private:
    std::string speed_ = "fast";
    std::string label_ = "none";
};

TEST_F(ControllerTest, ToolParametersOfEveryKind) {
    ScopedLogCapture build_log;
    KindsTool tool(controller_);
    EXPECT_TRUE(build_log.containsSubstring(LOG_ERROR, "Tool parameter missing left out"));
    const auto names = tool.registeredParameterNames();
    EXPECT_EQ(names, (std::vector<std::string>{"gain", "label", "level", "narrow", "on", "speed"}));
    const auto all = tool.getAllParamInfo();
    EXPECT_EQ(all.at("gain").type, PARAM_FLOAT);
    EXPECT_EQ(all.at("speed").type, PARAM_ENUM);
    EXPECT_EQ(all.at("label").type, PARAM_STRING);
    EXPECT_EQ(all.at("on").description, "a bool field");

    IntParameterInfo level;
    ASSERT_TRUE(tool.getParamInfo("level", level));
    EXPECT_EQ(level.max, 7);
    EXPECT_EQ(level.default_value, 5) << "the field's reset value";
    IntParameterInfo narrow;
    ASSERT_TRUE(tool.getParamInfo("narrow", narrow));
    EXPECT_EQ(narrow.min, 10);
    EXPECT_EQ(narrow.unit, "px");
    StringParameterInfo label;
    ASSERT_TRUE(tool.getParamInfo("label", label));
    EXPECT_EQ(label.default_value, "none");

    ASSERT_TRUE(tool.setParam("level", 3));
    ASSERT_TRUE(tool.setParam("on", true));
    ASSERT_TRUE(tool.setParam("gain", 0.5f));
    ASSERT_TRUE(tool.setParam("gain", 1.25));
    ASSERT_TRUE(tool.setParam("speed", "slow"));
    ASSERT_TRUE(tool.setParam("label", std::string("front")));
    int i = 0;
    bool b = false;
    float f = 0;
    std::string s;
    ASSERT_TRUE(tool.getParam("level", i));
    EXPECT_EQ(i, 3);
    ASSERT_TRUE(tool.getParam("on", b));
    EXPECT_TRUE(b);
    ASSERT_TRUE(tool.getParam("gain", f));
    EXPECT_FLOAT_EQ(f, 1.25f);
    ASSERT_TRUE(tool.getParam("speed", s));
    EXPECT_EQ(s, "slow");
    ASSERT_TRUE(tool.getParam("label", s));
    EXPECT_EQ(s, "front");
    EXPECT_EQ(device_->readRegister(0x10), 0x31u);
    EXPECT_EQ(device_->readRegister(0x14), 2u);
}

TEST_F(ControllerTest, ToolRefusalsSayWhyAndWriteNothing) {
    KindsTool tool(controller_);
    device_->clearWriteLog();
    ScopedLogCapture log;
    EXPECT_FALSE(tool.setParam("level", 8));
    EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "Kinds.level = 8 refused: outside [0, 7]"));
    EXPECT_FALSE(tool.setParam("narrow", 9));
    EXPECT_FALSE(tool.setParam("level", true));
    EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "it is a int parameter, not bool"));
    EXPECT_FALSE(tool.setParam("level", 3.0f));
    EXPECT_FALSE(tool.setParam("gain", 1));
    EXPECT_FALSE(tool.setParam("gain", 2.5));
    EXPECT_FALSE(tool.setParam("gain", std::nan("")));
    EXPECT_FALSE(tool.setParam("gain", 1e300));
    EXPECT_FALSE(tool.setParam("speed", "medium"));
    EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "not one of its options (\"fast\", \"slow\")"));
    EXPECT_FALSE(tool.setParam("speed", static_cast<const char*>(nullptr)));
    EXPECT_FALSE(tool.setParam("on", "true"));
    EXPECT_FALSE(tool.setParam("Level", 1));
    EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "Kinds: no parameter \"Level\""));
    EXPECT_TRUE(device_->writeLog().empty());
    int i = 0;
    float f = 0;
    std::string s;
    EXPECT_FALSE(tool.getParam("speed", i));
    EXPECT_FALSE(tool.getParam("level", f));
    EXPECT_FALSE(tool.getParam("level", s));
    EXPECT_FALSE(tool.getParam("none", i));
    BoolParameterInfo wrong;
    EXPECT_FALSE(tool.getParamInfo("level", wrong));

    tool.narrowGain(0.5f);
    EXPECT_FALSE(tool.setParam("gain", 0.75f));
    EXPECT_TRUE(tool.setParam("gain", 0.25f));
    device_->unplug();
    EXPECT_FALSE(tool.setParam("level", 2)) << "a failed write";
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "Kinds.level = 2 could not be applied"));
    EXPECT_FALSE(tool.getParam("level", i));
    device_->plug();
}

}  // namespace
}  // namespace zelvan
