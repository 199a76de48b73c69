#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "zelvan/Logger.h"
#include "zelvan/StringUtils.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan::sim {

namespace {

using nlohmann::json;

CameraDescription identity(const std::string& serial, const std::string& manufacturer,
                           const std::string& product, uint16_t vendor_id, uint16_t product_id,
                           const std::string& firmware) {
    CameraDescription d;
    d.serial = serial;
    d.manufacturer = manufacturer;
    d.product = product;
    d.vendorId = vendor_id;
    d.productId = product_id;
    d.firmwareVersion = firmware;
    return d;
}

// Factory calibration of the simulated fusion camera: event pixels map to frame pixels by a scale of 3
// with a small offset, in the JSON layout of the calibration record.
std::vector<uint8_t> defaultFusionCalibration() {
    const json matrix_dvs = {{"rows", 3},
                             {"cols", 3},
                             {"type", 6},
                             {"data", {1000.0, 0.0, 640.0, 0.0, 1000.0, 360.0, 0.0, 0.0, 1.0}}};
    const json matrix_aps = {{"rows", 3},
                             {"cols", 3},
                             {"type", 6},
                             {"data", {3000.0, 0.0, 1920.0, 0.0, 3000.0, 1080.0, 0.0, 0.0, 1.0}}};
    const json record = {
        {"description", "factory calibration"},
        {"dvs_width", 1280},
        {"dvs_height", 720},
        {"aps_width", 3840},
        {"aps_height", 2160},
        {"dvs_matrix", matrix_dvs},
        {"aps_matrix", matrix_aps},
        {"transforms",
         {{"0", {1.0 / 3.0, 0.0, -4.0, 0.0, 1.0 / 3.0, -2.0}}, {"1", {3.0, 0.0, 12.0, 0.0, 3.0, 6.0}}}},
        {"dvs_coefficients", {0.0, 0.0, 0.0, 0.0, 0.0}},
        {"aps_coefficients", {0.0, 0.0, 0.0, 0.0, 0.0}},
    };
    const std::string text = record.dump(4);
    return std::vector<uint8_t>(text.begin(), text.end());
}

struct Model {
    const char* key;
    SimDeviceConfig (*make)();
};

SimDeviceConfig evk4() {
    SimDeviceConfig c;
    c.description = identity("00050a11", "Prophesee", "EVK4", 0x04B4, 0x00F5, "3.2.3");
    return c;
}
SimDeviceConfig evk5() {
    SimDeviceConfig c;
    c.description = identity("00051b22", "Prophesee", "EVK5", 0x04B4, 0x00C4, "1.4.0");
    c.seed = 2;
    return c;
}
SimDeviceConfig pelmo() {
    SimDeviceConfig c;
    c.description = identity("5a0c0001", "Zelvan", "Pelmo", 0x04B5, 0x0001, "2.1.0");
    c.seed = 3;
    return c;
}
SimDeviceConfig orvik320() {
    SimDeviceConfig c;
    c.description = identity("5a320002", "Zelvan Team.", "Zelvan.320camera", 0x04B5, 0xFFFF, "1.0.2");
    c.width = 320;
    c.height = 320;
    c.event_rate = 1'000'000;
    c.seed = 4;
    return c;
}
SimDeviceConfig pelmoEthernet() {
    SimDeviceConfig c;
    c.description = identity("5ae00003", "Zelvan", "Pelmo", 0x04B5, 0x0001, "2.3.1");
    c.description.interfaceType = ETH;
    c.description.cameraIp = "192.168.1.100";
    c.description.localIp = "192.168.1.10";
    c.description.subnetMask = "255.255.255.0";
    c.description.gateway = "192.168.1.1";
    c.seed = 5;
    return c;
}
SimDeviceConfig tandra() {
    SimDeviceConfig c;
    c.description = identity("5a7d0004", "Zelvan", "Tandra", 0x2207, 0x0006, "Tandra_V1.7.2");
    c.calibration = defaultFusionCalibration();
    c.seed = 6;
    return c;
}

constexpr Model kModels[] = {
    {"EVK4", evk4},
    {"EVK5", evk5},
    {"Pelmo", pelmo},
    {"Orvik 320", orvik320},
    {"Pelmo Ethernet", pelmoEthernet},
    {"Tandra", tandra},
};

std::string modelList() {
    std::string list;
    for (const auto& m : kModels) list += std::string(list.empty() ? "" : ", ") + "\"" + m.key + "\"";
    return list;
}

bool isDottedAddress(const std::string& text) { return text == "0.0.0.0" || stringToIP(text) != 0; }

// One device object of the configuration file; false with `error` set.
bool parseDevice(const json& item, size_t index, SimDeviceConfig& out, std::string& error) {
    const std::string where = "device " + std::to_string(index);
    if (!item.is_object()) {
        error = where + ": expected an object";
        return false;
    }
    const auto model_it = item.find("model");
    if (model_it == item.end() || !model_it->is_string()) {
        error = where + ": \"model\" (one of " + modelList() + ") is missing";
        return false;
    }
    const std::string model = model_it->get<std::string>();
    const Model* found = nullptr;
    for (const auto& m : kModels)
        if (model == m.key) found = &m;
    if (!found) {
        error = where + ": unknown model \"" + model + "\" (expected one of " + modelList() + ")";
        return false;
    }
    out = found->make();
    // Every device of a file gets its own serial unless it names one: the model's with the last two
    // hex digits replaced by the device's place in the file.
    char suffix[3];
    std::snprintf(suffix, sizeof suffix, "%02x", static_cast<unsigned>(index & 0xFF));
    out.description.serial = out.description.serial.substr(0, out.description.serial.size() - 2) + suffix;

    for (const auto& entry : item.items()) {
        const std::string key = entry.key();
        const auto& value = entry.value();
        const auto fail = [&](const std::string& what) {
            error = where + ": \"" + key + "\" " + what;
            return false;
        };
        if (key == "model") continue;
        if (key == "serial") {
            if (!value.is_string() || value.get<std::string>().empty())
                return fail("must be a non-empty string");
            out.description.serial = value.get<std::string>();
        } else if (key == "event_rate" || key == "trigger_period_us" || key == "start_time_us" ||
                   key == "seed") {
            if (!value.is_number_unsigned()) return fail("must be a whole number of at least 0");
            const auto n = value.get<uint64_t>();
            if (key == "event_rate") {
                if (n > 1'000'000'000) return fail("must be at most 1000000000 events per second");
                out.event_rate = n;
            } else if (key == "trigger_period_us") {
                out.trigger_period_us = n;
            } else if (key == "start_time_us") {
                out.start_time_us = n;
            } else {
                out.seed = n;
            }
        } else if (key == "scene") {
            const std::string scene = value.is_string() ? value.get<std::string>() : "";
            if (scene == "pattern") {
                out.scene = SceneKind::Pattern;
            } else if (scene == "noise") {
                out.scene = SceneKind::Noise;
            } else if (scene == "replay") {
                out.scene = SceneKind::Replay;
            } else {
                return fail("must be \"pattern\", \"noise\" or \"replay\"");
            }
        } else if (key == "replay_file") {
            if (!value.is_string()) return fail("must be a path");
            out.replay_path = value.get<std::string>();
        } else if (key == "replay_encoded") {
            if (!value.is_boolean()) return fail("must be true or false");
            out.replay_encoded = value.get<bool>();
        } else if (key == "paced") {
            if (!value.is_boolean()) return fail("must be true or false");
            out.paced = value.get<bool>();
        } else if (key == "settle_scale") {
            if (!value.is_number() || value.get<double>() < 0.0 || value.get<double>() > 10.0)
                return fail("must be a number from 0 to 10");
            out.settle_scale = value.get<double>();
        } else if (key == "flicker_hz") {
            if (!value.is_number_unsigned() || value.get<uint64_t>() > 100'000)
                return fail("must be a whole number from 0 to 100000");
            out.flicker_hz = static_cast<uint32_t>(value.get<uint64_t>());
        } else if (key == "firmware_version") {
            if (!value.is_string() || value.get<std::string>().size() >= Interface::kDataBlockBytes)
                return fail("must be a text of at most 63 bytes");
            out.description.firmwareVersion = value.get<std::string>();
        } else if (key == "frame_rate") {
            if (out.description.product != "Tandra") return fail("applies to fusion cameras only");
            if (!value.is_number_unsigned() || value.get<uint64_t>() < SimDeviceConfig::kMinFrameRate ||
                value.get<uint64_t>() > SimDeviceConfig::kMaxFrameRate) {
                return fail("must be a whole number of frames per second from 1 to 30");
            }
            out.frame_rate = static_cast<uint32_t>(value.get<uint64_t>());
        } else if (key == "camera_ip" || key == "local_ip" || key == "subnet_mask" || key == "gateway") {
            if (out.description.interfaceType != ETH) return fail("applies to Ethernet cameras only");
            if (!value.is_string() || !isDottedAddress(value.get<std::string>())) {
                return fail("must be a dotted-decimal address");
            }
            const std::string text = value.get<std::string>();
            if (key == "camera_ip") out.description.cameraIp = text;
            if (key == "local_ip") out.description.localIp = text;
            if (key == "subnet_mask") out.description.subnetMask = text;
            if (key == "gateway") out.description.gateway = text;
        } else {
            return fail("is not a known setting");
        }
    }
    if (out.scene == SceneKind::Replay && out.replay_path.empty()) {
        error = where + ": scene \"replay\" needs \"replay_file\"";
        return false;
    }
    if (out.replay_encoded && out.scene != SceneKind::Replay) {
        error = where + ": \"replay_encoded\" applies to scene \"replay\" only";
        return false;
    }
    return true;
}

}  // namespace

std::vector<SimDeviceConfig> SimulatedCameras::defaultConfigs() {
    std::vector<SimDeviceConfig> configs;
    for (const auto& m : kModels) configs.push_back(m.make());
    return configs;
}

bool SimulatedCameras::parseConfig(const std::string& json_text, std::vector<SimDeviceConfig>& out,
                                   std::string& error) {
    const json doc = json::parse(json_text, nullptr, false);
    if (doc.is_discarded()) {
        error = "not valid JSON";
        return false;
    }
    if (!doc.is_array()) {
        error = "expected an array of device objects";
        return false;
    }
    std::vector<SimDeviceConfig> configs;
    std::set<std::string> serials;
    for (size_t i = 0; i < doc.size(); ++i) {
        SimDeviceConfig config;
        if (!parseDevice(doc[i], i, config, error)) return false;
        if (!serials.insert(config.description.serial).second) {
            error = "device " + std::to_string(i) + ": serial \"" + config.description.serial +
                    "\" is used twice";
            return false;
        }
        configs.push_back(std::move(config));
    }
    out = std::move(configs);
    return true;
}

SimulatedCameras& SimulatedCameras::instance() {
    static SimulatedCameras cameras;
    return cameras;
}

std::vector<SimDeviceConfig> SimulatedCameras::loadConfigFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<SimDeviceConfig> configs;
    std::string error;
    if (!in) {
        error = "the file cannot be read";
    } else {
        std::ostringstream text;
        text << in.rdbuf();
        if (parseConfig(text.str(), configs, error)) {
            ZV_LOG(LOG_INFO, "Simulated cameras from %s: %zu device(s)", path.c_str(), configs.size());
            return configs;
        }
    }
    ZV_LOG(LOG_ERROR, "Simulated camera configuration %s rejected (%s); using the default cameras",
           path.c_str(), error.c_str());
    return defaultConfigs();
}

SimulatedCameras::SimulatedCameras() {
    const char* path = std::getenv("ZELVAN_SIM_CONFIG");
    reset(path && *path ? loadConfigFile(path) : defaultConfigs());
}

std::vector<std::shared_ptr<SimDevice>> SimulatedCameras::devices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_;
}

std::shared_ptr<SimDevice> SimulatedCameras::find(const std::string& serial) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& d : devices_)
        if (d->config().description.serial == serial) return d;
    return nullptr;
}

void SimulatedCameras::reset(const std::vector<SimDeviceConfig>& configs) {
    std::vector<std::shared_ptr<SimDevice>> fresh;
    std::set<std::string> serials;
    for (const auto& c : configs) {
        if (!serials.insert(c.description.serial).second) {
            ZV_LOG(LOG_ERROR, "Simulated camera %s is listed twice; the second is left out",
                   c.description.serial.c_str());
            continue;
        }
        fresh.push_back(std::make_shared<SimDevice>(c));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.swap(fresh);
}

std::shared_ptr<SimDevice> SimulatedCameras::add(const SimDeviceConfig& config) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& d : devices_) {
        if (d->config().description.serial == config.description.serial) {
            ZV_LOG(LOG_ERROR, "Simulated camera %s already exists", config.description.serial.c_str());
            return nullptr;
        }
    }
    auto device = std::make_shared<SimDevice>(config);
    devices_.push_back(device);
    return device;
}

void SimulatedCameras::remove(const std::string& serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(devices_, [&serial](const auto& d) { return d->config().description.serial == serial; });
}

void SimulatedCameras::restoreDefault() { reset(defaultConfigs()); }

}  // namespace zelvan::sim
