// Opening cameras through the manager, the public camera handle's tools, configuration files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "FileSizeLimit.h"
#include "zelvan/CameraTool.h"
#include "zelvan/DvsCameraManager.h"
#include "zelvan/Logger.h"
#include "zelvan/sim/SimDevice.h"

namespace fs = std::filesystem;

namespace zelvan {
namespace {

// The default simulated cameras, settling at once.
class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto configs = sim::SimulatedCameras::defaultConfigs();
        for (auto& c : configs) c.settle_scale = 0;
        sim::SimulatedCameras::instance().reset(configs);
        dir_ = fs::temp_directory_path() / ("zelvan-config-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        sim::SimulatedCameras::instance().restoreDefault();
        fs::remove_all(dir_);
    }
    std::string serialOf(DvsCameraManager& m, const std::string& product) {
        for (const auto& d : m.getCameraDescs())
            if (d.product == product) return d.serial;
        return {};
    }
    static std::string read(const fs::path& p) {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path dir_;
};

TEST_F(ManagerTest, SearchOpenAndTools) {
    DvsCameraManager manager;
    EXPECT_EQ(manager.findCameras(static_cast<CAMERA_TYPE>(7)), 0u);
    EXPECT_EQ(manager.openCamera("00050a11"), nullptr) << "nothing is known before a search";
    const auto descs = manager.getCameraDescs();
    ASSERT_GE(descs.size(), 6u);
    // The event cameras in serial order, then the fusion camera.
    EXPECT_EQ(descs.back().product, "Tandra");
    for (size_t i = 1; i + 1 < descs.size(); ++i)
        EXPECT_LT(descs[i - 1].serial, descs[i].serial) << "serial order";
    EXPECT_EQ(manager.updateCameras(), int(descs.size())) << "known cameras are counted too";
    EXPECT_EQ(manager.openCamera("NO-SUCH-SERIAL"), nullptr);

    const std::string genx = serialOf(manager, "Zelvan.320camera");
    auto small = manager.openCamera(genx);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(small->getWidth(), 320);
    EXPECT_EQ(small->getHeight(), 320);

    auto evk4 = manager.openCamera(serialOf(manager, "EVK4"));
    ASSERT_NE(evk4, nullptr);
    EXPECT_EQ(evk4->getWidth(), 1280);
    const auto infos = evk4->getAllToolsInfo();
    ASSERT_EQ(infos.size(), 7u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(infos[size_t(i)].type, static_cast<ToolType>(i));
    EXPECT_EQ(evk4->getTool("ROI"), evk4->getTool(ROI));
    EXPECT_EQ(evk4->getTool("roi"), nullptr);
    ScopedLogCapture log;
    EXPECT_EQ(evk4->getTool(APS_CTRL), nullptr);
    EXPECT_TRUE(log.contains(LOG_ERROR, "Tool not found"));
    try {
        evk4->getToolInfo(APS_CTRL);
        FAIL() << "expected std::runtime_error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Tool not found");
    }
    // Opening again gives the same object with the same tools.
    const auto roi = evk4->getTool(ROI);
    EXPECT_EQ(manager.openCamera(evk4->getDescription().serial), evk4);
    EXPECT_EQ(evk4->getTool(ROI), roi);
}

TEST_F(ManagerTest, NeverOpenedCamerasAreReplacedOpenedOnesKept) {
    DvsCameraManager manager;
    manager.getCameraDescs();
    auto opened = manager.openCamera(serialOf(manager, "EVK4"));
    ASSERT_NE(opened, nullptr);
    ScopedLogCapture log;
    manager.getCameraDescs();
    EXPECT_FALSE(log.contains(LOG_DETAIL, "Camera " + opened->getDescription().serial + " disconnected"));
    const std::string evk5 = serialOf(manager, "EVK5");
    EXPECT_TRUE(log.contains(LOG_DETAIL, "Camera " + evk5 + " disconnected"));
    EXPECT_EQ(manager.openCamera(opened->getDescription().serial), opened);
    // An unplugged opened camera goes away at the next search.
    sim::SimulatedCameras::instance().find(opened->getDescription().serial)->unplug();
    log.clear();
    manager.getCameraDescs();
    EXPECT_TRUE(log.contains(LOG_DETAIL, "Camera " + opened->getDescription().serial + " disconnected"));
    EXPECT_EQ(manager.openCamera(opened->getDescription().serial), nullptr);
}

TEST_F(ManagerTest, ForcedIpIsReportedByTheNextSearch) {
    DvsCameraManager manager;
    CameraDescription eth;
    for (const auto& d : manager.getCameraDescs())
        if (d.interfaceType == ETH) eth = d;
    ASSERT_FALSE(eth.serial.empty());
    ASSERT_TRUE(DvsCameraManager::ethCameraForceIP(eth, 0xC0A80A0Bu, 0xFFFFFF00u, 0xC0A80A01u));
    for (const auto& d : manager.getCameraDescs()) {
        if (d.serial == eth.serial) {
            EXPECT_EQ(d.cameraIp, "192.168.10.11");
            EXPECT_EQ(d.subnetMask, "255.255.255.0");
            EXPECT_EQ(d.gateway, "192.168.10.1");
        }
    }
}

TEST_F(ManagerTest, ConfigurationRoundTripBetweenTwoCameras) {
    auto configs = sim::SimulatedCameras::defaultConfigs();
    for (auto& c : configs) c.settle_scale = 0;
    auto second = configs.front();  // another EVK4
    second.description.serial = "00050a99";
    configs.push_back(second);
    sim::SimulatedCameras::instance().reset(configs);
    DvsCameraManager manager;
    manager.getCameraDescs();
    auto a = manager.openCamera(configs.front().description.serial);
    auto b = manager.openCamera("00050a99");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    // Change a few parameters on the first camera.
    ASSERT_TRUE(a->getTool(ROI)->setParam("x", 100));
    ASSERT_TRUE(a->getTool(ROI)->setParam("enable", true));
    const fs::path file = dir_ / "a.json";
    ScopedLogCapture log;
    ASSERT_TRUE(a->exportCameraConfigParams(file.string()));
    EXPECT_TRUE(log.contains(LOG_INFO, "Parameters saved to " + file.string()));
    log.clear();
    ASSERT_TRUE(b->loadCameraConfigParams(file.string()));
    for (const auto& line : log.lines()) EXPECT_LT(line.level, LOG_WARNING) << line.text;
    EXPECT_TRUE(log.contains(LOG_INFO, "Configuration applied from " + file.string()));
    const fs::path again = dir_ / "b.json";
    ASSERT_TRUE(b->exportCameraConfigParams(again.string()));
    EXPECT_EQ(read(file), read(again)) << "every parameter reproduced";
    int x = 0;
    ASSERT_TRUE(b->getTool(ROI)->getParam("x", x));
    EXPECT_EQ(x, 100);
}

// A camera with one tool of fixed parameters, for the file layout.
class FixedTool : public CameraTool {
public:
    FixedTool() {
        addParameter(
            FullParamteterInfo::makeInt("zeta", "", 0, 1000, 320),
            [this](ParameterValue& v) {
                v = i_;
                return !gone_;
            },
            [this](const ParameterValue& v) {
                i_ = std::get<int>(v);
                return true;
            });
        addParameter(
            FullParamteterInfo::makeFloat("alpha", "", 0, 100, 12.7f),
            [this](ParameterValue& v) {
                v = f_;
                return true;
            },
            [this](const ParameterValue& v) {
                f_ = std::get<float>(v);
                return true;
            });
        addParameter(
            FullParamteterInfo::makeBool("enable", "", false),
            [this](ParameterValue& v) {
                v = b_;
                return true;
            },
            [this](const ParameterValue& v) {
                b_ = std::get<bool>(v);
                return true;
            });
        addParameter(
            FullParamteterInfo::makeEnum("mode", "", {"ROI", "RONI"}, "ROI"),
            [this](ParameterValue& v) {
                v = e_;
                return true;
            },
            [this](const ParameterValue& v) {
                e_ = std::get<std::string>(v);
                return true;
            });
        addParameter(
            FullParamteterInfo::makeString("label", "", "ünïcode"),
            [this](ParameterValue& v) {
                v = s_;
                return true;
            },
            [this](const ParameterValue& v) {
                s_ = std::get<std::string>(v);
                return true;
            });
    }
    ToolInfo getToolInfo() const override { return {EVENT_RATE_CONTROL, "EventRateControl", {}, ""}; }
    int i_ = 320;
    float f_ = 12.7f;
    bool b_ = false;
    std::string e_ = "RONI";
    std::string s_ = "ünïcode";
    bool gone_ = false;  // the device went away: "zeta" cannot be read
};

class FixedCamera : public DvsCamera {
public:
    FixedCamera() : DvsCamera(CameraDescription{}) {}
    void add(std::shared_ptr<CameraTool> tool) { addTool(EVENT_RATE_CONTROL, std::move(tool)); }
    void add(ToolType type, std::shared_ptr<CameraTool> tool) { addTool(type, std::move(tool)); }
    bool isConnected() const override { return true; }
    uint32_t addEventsStreamHandleCallback(EventsCallback) override { return 0; }
    bool removeEventsStreamHandleCallback(uint32_t) override { return false; }
    uint32_t addTriggerInCallback(TriggerCallback) override { return 0; }
    bool removeTriggerInCallback(uint32_t) override { return false; }
    bool getNextBatch(std::vector<Event2D>&) override { return false; }
    void setBatchEventsNum(uint64_t) override {}
    void setBatchEventsTime(uint64_t) override {}
    int start() override { return 0; }
    int stop() override { return 0; }
    int startRecording(std::string) override { return -1; }
    int stopRecording() override { return 0; }
    uint16_t getWidth() const override { return 1280; }
    uint16_t getHeight() const override { return 720; }

private:
    int init() override { return 0; }
};

TEST_F(ManagerTest, ConfigurationFileLayoutAndValueKinds) {
    FixedCamera empty;
    ASSERT_TRUE(empty.exportCameraConfigParams((dir_ / "empty.json").string()));
    EXPECT_EQ(read(dir_ / "empty.json"), "null");
    EXPECT_EQ(empty.lastConfigError(), ConfigError::None);

    FixedCamera cam;
    auto tool = std::make_shared<FixedTool>();
    cam.add(tool);
    ASSERT_TRUE(cam.exportCameraConfigParams((dir_ / "fixed.json").string()));
    EXPECT_EQ(read(dir_ / "fixed.json"),
              "{\n    \"EventRateControl\": {\n        \"alpha\": 12.7,\n        \"enable\": false,\n"
              "        \"mode\": \"RONI\",\n        \"zeta\": 320\n    }\n}");

    auto write = [&](const std::string& text) {
        std::ofstream(dir_ / "in.json") << text;
        return (dir_ / "in.json").string();
    };
    ScopedLogCapture log;
    EXPECT_FALSE(cam.loadCameraConfigParams(write(R"({"Nope": {"x": 1}, "EventRateControl": {"alpha": 12,
        "zeta": 12.9, "enable": "true", "mode": "ROI", "label": null}})")))
        << "two values are refused";
    EXPECT_EQ(cam.lastConfigError(), ConfigError::WrongType)
        << "the first refused: a fraction for an integer";
    EXPECT_TRUE(log.contains(LOG_WARNING, "Tool not found: Nope, skipping..."));
    EXPECT_TRUE(log.contains(LOG_WARNING, "Unsupported parameter type for EventRateControl.label, skipped."));
    EXPECT_TRUE(log.contains(LOG_WARNING, "Value refused: EventRateControl.enable = \"true\""));
    EXPECT_TRUE(log.contains(LOG_INFO, "Set EventRateControl.alpha = 12")) << "a whole number for a float";
    EXPECT_EQ(tool->f_, 12.0f);
    EXPECT_TRUE(log.contains(LOG_WARNING, "Value refused: EventRateControl.zeta = 12.9"));
    EXPECT_TRUE(log.contains(LOG_INFO, "Set EventRateControl.mode = \"ROI\""));
    EXPECT_FALSE(log.containsSubstring(LOG_INFO, "Set EventRateControl.enable"));
    EXPECT_FALSE(log.containsSubstring(LOG_INFO, "Configuration applied from"));
    EXPECT_EQ(tool->e_, "ROI");
    EXPECT_FALSE(tool->b_) << "a string goes to the string overload, which a bool parameter refuses";
    EXPECT_EQ(tool->i_, 320) << "a float goes to the float overload, which an int parameter refuses";

    // Files that are not configurations are refused whole, with one error line.
    const std::pair<const char*, ConfigError> bad_files[] = {
        {"{not json", ConfigError::NotJson},
        {"[1, 2]", ConfigError::NotConfiguration},
        {R"({"EventRateControl": 5, "Biases": {}})", ConfigError::NotConfiguration}};
    for (const auto& [bad, reason] : bad_files) {
        log.clear();
        tool->e_ = "RONI";
        EXPECT_FALSE(cam.loadCameraConfigParams(write(bad))) << bad;
        EXPECT_EQ(cam.lastConfigError(), reason) << bad;
        EXPECT_EQ(log.lines().size(), 1u) << bad;
        EXPECT_EQ(log.lines().front().level, LOG_ERROR);
        EXPECT_EQ(tool->e_, "RONI") << "nothing applied";
    }
    log.clear();
    EXPECT_FALSE(cam.loadCameraConfigParams((dir_ / "missing.json").string()));
    EXPECT_TRUE(log.contains(LOG_ERROR, "Failed to open config file: " + (dir_ / "missing.json").string()));
    EXPECT_EQ(cam.lastConfigError(), ConfigError::CannotOpen);
    // A directory is refused with a reason, not read.
    log.clear();
    tool->e_ = "RONI";
    EXPECT_FALSE(cam.loadCameraConfigParams(dir_.string()));
    EXPECT_EQ(cam.lastConfigError(), ConfigError::CannotOpen);
    EXPECT_TRUE(
        log.contains(LOG_ERROR, "Failed to open config file: " + dir_.string() + " is not a regular file"));
    EXPECT_EQ(tool->e_, "RONI") << "nothing applied";
    EXPECT_FALSE(cam.exportCameraConfigParams((dir_ / "no" / "dir.json").string()));
    EXPECT_TRUE(log.contains(LOG_ERROR,
                             "Failed to open " + (dir_ / "no" / "dir.json").string() + " file for writing."));
    EXPECT_EQ(cam.lastConfigError(), ConfigError::CannotWrite);
}

// A tool whose parameter cannot be set at all: its setter throws.
class ThrowingTool : public CameraTool {
public:
    ThrowingTool() {
        addParameter(
            FullParamteterInfo::makeInt("zeta", "", 0, 1000, 0),
            [](ParameterValue& v) {
                v = 0;
                return true;
            },
            [](const ParameterValue&) -> bool { throw std::runtime_error("register bus fault"); });
    }
    ToolInfo getToolInfo() const override { return {ROI, "ROI", {}, ""}; }
};

// Every way a load or export can go wrong has its reason; the result of the call stays what it was.
TEST_F(ManagerTest, ConfigurationFailuresCarryTheirReason) {
    FixedCamera cam;
    auto tool = std::make_shared<FixedTool>();
    cam.add(tool);
    EXPECT_EQ(cam.lastConfigError(), ConfigError::None);
    const auto load = [&](const std::string& text) {
        std::ofstream(dir_ / "reasons.json") << text;
        return cam.loadCameraConfigParams((dir_ / "reasons.json").string());
    };
    ScopedLogCapture log;

    // Skipped entries do not fail the load, but say what was skipped.
    EXPECT_TRUE(load(R"({"Nope": {"x": 1}, "EventRateControl": {"zeta": 5}})"));
    EXPECT_EQ(cam.lastConfigError(), ConfigError::UnknownTool);
    EXPECT_TRUE(load(R"({"EventRateControl": {"zeta": 6, "mode": null}})"));
    EXPECT_EQ(cam.lastConfigError(), ConfigError::UnsupportedValue);
    EXPECT_EQ(tool->i_, 6);
    EXPECT_TRUE(load(R"({"EventRateControl": {"zeta": 7}})"));
    EXPECT_EQ(cam.lastConfigError(), ConfigError::None);

    // Refused values, each with its own reason; a refusal outranks a skipped entry, and of several
    // refusals the first one stays.
    EXPECT_FALSE(load(R"({"EventRateControl": {"nope": 1}})"));
    EXPECT_EQ(cam.lastConfigError(), ConfigError::UnknownParameter);
    EXPECT_FALSE(load(R"({"EventRateControl": {"zeta": true}})"));
    EXPECT_EQ(cam.lastConfigError(), ConfigError::WrongType);
    EXPECT_FALSE(load(R"({"EventRateControl": {"zeta": 2000}})"));
    EXPECT_EQ(cam.lastConfigError(), ConfigError::ValueRefused);
    EXPECT_FALSE(load(R"({"EventRateControl": {"mode": "sideways"}})"));
    EXPECT_EQ(cam.lastConfigError(), ConfigError::ValueRefused) << "not one of the options";
    EXPECT_FALSE(load(R"({"A": {}, "EventRateControl": {"alpha": 500.0, "enable": 1}})"));
    EXPECT_EQ(cam.lastConfigError(), ConfigError::ValueRefused);
    EXPECT_TRUE(log.contains(LOG_WARNING, "Tool not found: A, skipping..."));
    EXPECT_TRUE(log.contains(LOG_WARNING, "Value refused: EventRateControl.enable = 1"));

    // A tool that throws stops the load; that outranks the refusal met before it (ROI comes after
    // EventRateControl in the file).
    FixedCamera pair;
    pair.add(tool);
    pair.add(ROI, std::make_shared<ThrowingTool>());
    std::ofstream(dir_ / "throw.json") << R"({"EventRateControl": {"zeta": -1}, "ROI": {"zeta": 3}})";
    log.clear();
    EXPECT_FALSE(pair.loadCameraConfigParams((dir_ / "throw.json").string()));
    EXPECT_EQ(pair.lastConfigError(), ConfigError::ToolFailed);
    EXPECT_TRUE(log.contains(LOG_ERROR, "Failed to set ROI.zeta: register bus fault"));

    // Saving into a folder that does not exist, and onto a disk that is full.
    EXPECT_FALSE(cam.exportCameraConfigParams((dir_ / "no" / "dir.json").string()));
    EXPECT_EQ(cam.lastConfigError(), ConfigError::CannotWrite);
    const fs::path full = dir_ / "full.json";
    {
        testing_support::FileSizeLimit limit(16);
        ASSERT_TRUE(limit.applied());
        log.clear();
        EXPECT_FALSE(cam.exportCameraConfigParams(full.string()));
    }
    EXPECT_EQ(cam.lastConfigError(), ConfigError::CannotWrite);
    EXPECT_TRUE(log.contains(LOG_ERROR, "Failed to write " + full.string() + ": File too large."));
    EXPECT_FALSE(fs::exists(full)) << "a file made by a failed save is removed";
    EXPECT_STREQ(configErrorText(cam.lastConfigError()), "the file cannot be written");
    ASSERT_TRUE(cam.exportCameraConfigParams(full.string()));
    EXPECT_EQ(cam.lastConfigError(), ConfigError::None) << "a success clears the reason";
}

// A tool whose float parameter takes the whole float range, to see what reaches it.
class WideFloatTool : public CameraTool {
public:
    WideFloatTool() {
        const float max = std::numeric_limits<float>::max();
        addParameter(
            FullParamteterInfo::makeFloat("gain", "", -max, max, 0.0f),
            [this](ParameterValue& v) {
                v = f_;
                return true;
            },
            [this](const ParameterValue& v) {
                f_ = std::get<float>(v);
                return true;
            });
    }
    ToolInfo getToolInfo() const override { return {EVENT_RATE_CONTROL, "EventRateControl", {}, ""}; }
    float f_ = 0.0f;
};

// A save never leaves less than there was: values the camera cannot give save nothing, and a save that
// cannot be completed keeps the earlier file.
TEST_F(ManagerTest, AFailedSaveKeepsTheEarlierFile) {
    FixedCamera cam;
    auto tool = std::make_shared<FixedTool>();
    cam.add(tool);
    const fs::path file = dir_ / "saved.json";
    ASSERT_TRUE(cam.exportCameraConfigParams(file.string()));
    const std::string saved = read(file);
    ::chmod(file.c_str(), 0640);

    ScopedLogCapture log;
    tool->gone_ = true;
    tool->i_ = 0;
    EXPECT_FALSE(cam.exportCameraConfigParams(file.string()));
    EXPECT_EQ(cam.lastConfigError(), ConfigError::CannotRead);
    EXPECT_TRUE(log.contains(
        LOG_ERROR,
        "Cannot read EventRateControl.zeta from the camera: nothing was saved to " + file.string() + "."));
    EXPECT_EQ(read(file), saved);
    EXPECT_FALSE(cam.exportCameraConfigParams((dir_ / "new.json").string()));
    EXPECT_FALSE(fs::exists(dir_ / "new.json"));
    tool->gone_ = false;

    // A disk that fills up while the file is written: through a link as well, the file stays whole.
    fs::create_symlink(file, dir_ / "link.json");
    tool->e_ = "ROI";
    for (const fs::path& target : {file, dir_ / "link.json"}) {
        log.clear();
        testing_support::FileSizeLimit limit(64);
        ASSERT_TRUE(limit.applied());
        EXPECT_FALSE(cam.exportCameraConfigParams(target.string()));
        EXPECT_EQ(cam.lastConfigError(), ConfigError::CannotWrite);
        EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "Failed to write " + target.string() + ": "));
        EXPECT_EQ(read(file), saved);
    }
    // No temporary file is left, and a complete save through the link replaces the file it names with
    // its permissions.
    ASSERT_TRUE(cam.exportCameraConfigParams((dir_ / "link.json").string()));
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.json"));
    EXPECT_NE(read(file), saved);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++entries;
    EXPECT_EQ(entries, 2u) << "the file and the link";

    // A file with a second name is written in place: both names keep showing one file.
    fs::create_hard_link(file, dir_ / "other-name.json");
    tool->e_ = "RONI";
    ASSERT_TRUE(cam.exportCameraConfigParams(file.string()));
    EXPECT_EQ(read(dir_ / "other-name.json"), read(file));
    EXPECT_EQ(fs::hard_link_count(file), 2u);
    // It too stays whole through a full disk.
    const std::string linked = read(file);
    tool->e_ = "ROI";
    {
        testing_support::FileSizeLimit limit(64);
        ASSERT_TRUE(limit.applied());
        EXPECT_FALSE(cam.exportCameraConfigParams(file.string()));
    }
    EXPECT_EQ(read(file), linked);
    EXPECT_EQ(read(dir_ / "other-name.json"), linked);
    fs::remove(dir_ / "other-name.json");
    // A file with an extended attribute keeps it (where the file system has them).
    if (::setxattr(file.c_str(), "user.zelvan-test", "kept", 4, 0) == 0) {
        ASSERT_TRUE(cam.exportCameraConfigParams(file.string()));
        EXPECT_NE(read(file), linked);
        char value[8] = {};
        EXPECT_EQ(::getxattr(file.c_str(), "user.zelvan-test", value, sizeof value), 4);
        EXPECT_EQ(std::string(value, 4), "kept");
    }

    // Through a link to nothing yet, a failed save removes the file it made, not the link.
    fs::create_symlink(dir_ / "made.json", dir_ / "dangling.json");
    {
        testing_support::FileSizeLimit limit(64);
        ASSERT_TRUE(limit.applied());
        EXPECT_FALSE(cam.exportCameraConfigParams((dir_ / "dangling.json").string()));
    }
    EXPECT_FALSE(fs::exists(dir_ / "made.json"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.json"));
}

TEST_F(ManagerTest, FloatsBeyondTheFloatRangeSaturate) {
    FixedCamera cam;
    auto tool = std::make_shared<WideFloatTool>();
    cam.add(tool);
    const fs::path file = dir_ / "wide.json";
    std::ofstream(file) << R"({"EventRateControl": {"gain": 1e300}})";
    ASSERT_TRUE(cam.loadCameraConfigParams(file.string()));
    EXPECT_EQ(tool->f_, std::numeric_limits<float>::max());
    std::ofstream(file) << R"({"EventRateControl": {"gain": -1.5e308}})";
    ASSERT_TRUE(cam.loadCameraConfigParams(file.string()));
    EXPECT_EQ(tool->f_, -std::numeric_limits<float>::max());
    std::ofstream(file) << R"({"EventRateControl": {"gain": 2.5e-300}})";
    ASSERT_TRUE(cam.loadCameraConfigParams(file.string()));
    EXPECT_EQ(tool->f_, 0.0f) << "below the smallest float: zero";

    // A tool of narrower range refuses the saturated value.
    FixedCamera narrow;
    auto fixed = std::make_shared<FixedTool>();
    narrow.add(fixed);
    std::ofstream(file) << R"({"EventRateControl": {"alpha": 1e300, "zeta": 1e300}})";
    ScopedLogCapture log;
    EXPECT_FALSE(narrow.loadCameraConfigParams(file.string()));
    EXPECT_TRUE(log.contains(LOG_WARNING, "Value refused: EventRateControl.alpha = 1e+300"));
    EXPECT_EQ(fixed->f_, 12.7f);
}

TEST_F(ManagerTest, TriggerInChangesRecordedUnderTheEarlierKeyAreApplied) {
    DvsCameraManager manager;
    auto camera = manager.openCamera(serialOf(manager, "EVK4"));
    ASSERT_NE(camera, nullptr);
    const fs::path file = dir_ / "legacy.json";
    // The tool's own member says off; the viewer's later change, under the earlier key, says on.
    std::ofstream(file) << R"({"TriggerIn": {"enable": false}, "TirggerIn": {"enable": true}})";
    ScopedLogCapture log;
    EXPECT_TRUE(camera->loadCameraConfigParams(file.string()));
    EXPECT_FALSE(log.containsSubstring(LOG_WARNING, "Tool not found"));
    bool enabled = false;
    ASSERT_TRUE(camera->getTool(TRIGGER_IN)->getParam("enable", enabled));
    EXPECT_TRUE(enabled);
    std::ofstream(file) << R"({"TirggerIn": {"enable": false}})";
    EXPECT_TRUE(camera->loadCameraConfigParams(file.string()));
    ASSERT_TRUE(camera->getTool(TRIGGER_IN)->getParam("enable", enabled));
    EXPECT_FALSE(enabled);
}

TEST_F(ManagerTest, RefusedValuesAreReportedAndTheRestApplied) {
    DvsCameraManager manager;
    auto camera = manager.openCamera(serialOf(manager, "EVK4"));
    ASSERT_NE(camera, nullptr);
    const fs::path file = dir_ / "refused.json";
    std::ofstream(file) << R"({"EventRateControl": {"enable": 1, "max_event_rate": 400},
        "ROI": {"mode": "sideways", "x": 100, "x_width": 0, "nope": true}})";
    ScopedLogCapture log;
    EXPECT_FALSE(camera->loadCameraConfigParams(file.string()));
    EXPECT_EQ(camera->lastConfigError(), ConfigError::WrongType) << "the first refused: a number for a bool";
    EXPECT_TRUE(log.contains(LOG_WARNING, "Value refused: EventRateControl.enable = 1"));
    EXPECT_TRUE(log.contains(LOG_WARNING, "Value refused: EventRateControl.max_event_rate = 400"));
    EXPECT_TRUE(log.contains(LOG_WARNING, "Value refused: ROI.mode = \"sideways\""));
    EXPECT_TRUE(log.contains(LOG_WARNING, "Value refused: ROI.x_width = 0"));
    EXPECT_TRUE(log.contains(LOG_WARNING, "Value refused: ROI.nope = true"));
    EXPECT_TRUE(log.contains(LOG_INFO, "Set ROI.x = 100")) << "the rest is applied";
    EXPECT_FALSE(log.containsSubstring(LOG_INFO, "Set EventRateControl."));
    EXPECT_FALSE(log.containsSubstring(LOG_INFO, "Configuration applied from"));
    EXPECT_TRUE(log.contains(LOG_WARNING,
                             "Configuration from " + file.string() + " applied except 5 refused value(s)"));
    int x = 0;
    ASSERT_TRUE(camera->getTool(ROI)->getParam("x", x));
    EXPECT_EQ(x, 100);
    int rate = 0;
    ASSERT_TRUE(camera->getTool(EVENT_RATE_CONTROL)->getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 320);

    // Every value refused: false, and nothing claims to be set.
    std::ofstream(file) << R"({"EventRateControl": {"enable": "yes", "max_event_rate": -1}})";
    log.clear();
    EXPECT_FALSE(camera->loadCameraConfigParams(file.string()));
    EXPECT_EQ(camera->lastConfigError(), ConfigError::WrongType);
    EXPECT_FALSE(log.containsSubstring(LOG_INFO, "Set "));
    EXPECT_EQ(log.count(LOG_WARNING, "Value refused: EventRateControl.enable = \"yes\""), 1u);

    // Enabling event-rate control alone applies its current maximum.
    std::ofstream(file) << R"({"EventRateControl": {"enable": true}})";
    log.clear();
    EXPECT_TRUE(camera->loadCameraConfigParams(file.string()));
    EXPECT_EQ(camera->lastConfigError(), ConfigError::None);
    EXPECT_TRUE(log.contains(LOG_INFO, "Set EventRateControl.enable = true"));
    EXPECT_TRUE(log.contains(LOG_INFO, "Configuration applied from " + file.string()));
    auto device = sim::SimulatedCameras::instance().find(camera->getDescription().serial);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->readRegister(0x600C), 320u * 128u) << "target events per 128 us reference period";
}

}  // namespace
}  // namespace zelvan
