// Saving and applying camera tool parameters as JSON configuration files.
#include "camera/CameraConfigFile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>

#include "zelvan/CameraTool.h"
#include "zelvan/DvsCamera.h"
#include "zelvan/Logger.h"

namespace zelvan {

namespace {

// A float as the double with the same shortest decimal text, so that 12.7f is written as 12.7.
double floatForJson(float value) {
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, value);
    double out = value;
    std::from_chars(text, r.ptr, out);
    return out;
}

// JSON integers saturate at the int range, so that the tool refuses an out-of-range number instead of
// seeing a wrapped one.
int intFromJson(const nlohmann::json& value) {
    if (value.is_number_unsigned())
        return static_cast<int>(std::min<uint64_t>(value.get<uint64_t>(), std::numeric_limits<int>::max()));
    return static_cast<int>(std::clamp<int64_t>(value.get<int64_t>(), std::numeric_limits<int>::min(),
                                                std::numeric_limits<int>::max()));
}

// JSON numbers beyond the float range saturate likewise (converting them would be undefined). JSON text
// holds neither NaN nor infinity; should one come, it stays what it is, which every tool refuses.
float floatFromJson(const nlohmann::json& value) {
    const double v = value.get<double>();
    if (!std::isfinite(v)) return static_cast<float>(v);
    constexpr double kMax = std::numeric_limits<float>::max();
    return static_cast<float>(std::clamp(v, -kMax, kMax));
}

std::string jsonText(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

namespace config {

nlohmann::json exportDocument(DvsCamera& camera) {
    nlohmann::json document;
    for (const ToolInfo& info : camera.getAllToolsInfo()) {
        const auto tool = camera.getTool(info.type);
        if (!tool) continue;
        nlohmann::json& params = document[info.name] = nlohmann::json::object();
        for (const auto& [name, param] : tool->getAllParamInfo()) {
            switch (param.type) {
                case PARAM_INT: {
                    int v = 0;
                    tool->getParam(name, v);
                    params[name] = v;
                    break;
                }
                case PARAM_FLOAT: {
                    float v = 0;
                    tool->getParam(name, v);
                    params[name] = floatForJson(v);
                    break;
                }
                case PARAM_BOOL: {
                    bool v = false;
                    tool->getParam(name, v);
                    params[name] = v;
                    break;
                }
                case PARAM_ENUM: {
                    std::string v;
                    tool->getParam(name, v);
                    params[name] = v;
                    break;
                }
                case PARAM_STRING:
                    break;
            }
        }
    }
    return document;
}

bool readDocument(std::istream& in, const std::string& source, nlohmann::json& document) {
    try {
        document = nlohmann::json::parse(in, nullptr, true, false);
    } catch (const nlohmann::json::exception& e) {
        ZV_LOG(LOG_ERROR, "Config file %s is not valid JSON: %s", source.c_str(), e.what());
        return false;
    }
    // The whole shape is checked first, so that nothing is applied from a file that is not a
    // configuration.
    if (!document.is_object()) {
        ZV_LOG(LOG_ERROR, "Config file %s must hold one JSON object of tools.", source.c_str());
        return false;
    }
    for (const auto& [tool_name, params] : document.items()) {
        if (!params.is_object()) {
            ZV_LOG(LOG_ERROR, "Config file %s: the value of \"%s\" must be an object of parameters.",
                   source.c_str(), tool_name.c_str());
            return false;
        }
    }
    return true;
}

ApplyResult applyDocument(DvsCamera& camera, const nlohmann::json& document) {
    ApplyResult result;
    if (!document.is_object()) return result;
    for (const auto& [tool_name, params] : document.items()) {
        const auto tool = camera.getTool(tool_name);
        if (!tool) {
            ZV_LOG(LOG_WARNING, "Tool not found: %s, skipping...", tool_name.c_str());
            continue;
        }
        if (!params.is_object()) continue;
        for (const auto& [param_name, value] : params.items()) {
            bool accepted = false;
            try {
                if (value.is_string()) {
                    accepted = tool->setParam(param_name, value.get<std::string>());
                } else if (value.is_boolean()) {
                    accepted = tool->setParam(param_name, value.get<bool>());
                } else if (value.is_number_integer()) {
                    accepted = tool->setParam(param_name, intFromJson(value));
                } else if (value.is_number_float()) {
                    accepted = tool->setParam(param_name, floatFromJson(value));
                } else {
                    ZV_LOG(LOG_WARNING, "Unsupported parameter type for %s.%s, skipped.", tool_name.c_str(),
                           param_name.c_str());
                    continue;
                }
            } catch (const std::exception& e) {
                ZV_LOG(LOG_ERROR, "Failed to set %s.%s: %s", tool_name.c_str(), param_name.c_str(), e.what());
                result.failed = true;
                return result;
            }
            if (accepted) {
                ++result.set;
                ZV_LOG(LOG_INFO, "Set %s.%s = %s", tool_name.c_str(), param_name.c_str(),
                       jsonText(value).c_str());
            } else {
                ++result.refused;
                ZV_LOG(LOG_WARNING, "Value refused: %s.%s = %s", tool_name.c_str(), param_name.c_str(),
                       jsonText(value).c_str());
            }
        }
    }
    return result;
}

}  // namespace config

bool DvsCamera::exportCameraConfigParams(std::string path) {
    const nlohmann::json document = config::exportDocument(*this);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        ZV_LOG(LOG_ERROR, "Failed to open %s file for writing.", path.c_str());
        return false;
    }
    out << document.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);
    out.close();
    if (!out) {
        ZV_LOG(LOG_ERROR, "Failed to write %s.", path.c_str());
        return false;
    }
    ZV_LOG(LOG_INFO, "Parameters saved to %s", path.c_str());
    return true;
}

bool DvsCamera::loadCameraConfigParams(std::string path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ZV_LOG(LOG_ERROR, "Failed to open config file: %s", path.c_str());
        return false;
    }
    nlohmann::json document;
    if (!config::readDocument(in, path, document)) return false;
    const config::ApplyResult result = config::applyDocument(*this, document);
    if (result.failed) return false;
    if (result.refused != 0) {
        ZV_LOG(LOG_WARNING, "Configuration from %s applied except %zu refused value(s)", path.c_str(),
               result.refused);
        return false;
    }
    ZV_LOG(LOG_INFO, "Configuration applied from %s", path.c_str());
    return true;
}

}  // namespace zelvan
