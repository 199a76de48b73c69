// Saving and applying camera tool parameters as JSON configuration files.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>

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

}  // namespace

bool DvsCamera::exportCameraConfigParams(std::string path) {
    nlohmann::json document;
    for (const ToolInfo& info : getAllToolsInfo()) {
        const auto tool = getTool(info.type);
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
                case PARAM_STRING: break;
            }
        }
    }
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
    try {
        document = nlohmann::json::parse(in, nullptr, true, false);
    } catch (const nlohmann::json::exception& e) {
        ZV_LOG(LOG_ERROR, "Config file %s is not valid JSON: %s", path.c_str(), e.what());
        return false;
    }
    // Check the whole shape first, so that nothing is applied from a file that is not a
    // configuration.
    if (!document.is_object()) {
        ZV_LOG(LOG_ERROR, "Config file %s must hold one JSON object of tools.", path.c_str());
        return false;
    }
    for (const auto& [tool_name, params] : document.items()) {
        if (!params.is_object()) {
            ZV_LOG(LOG_ERROR, "Config file %s: the value of \"%s\" must be an object of parameters.", path.c_str(),
                   tool_name.c_str());
            return false;
        }
    }
    for (const auto& [tool_name, params] : document.items()) {
        const auto tool = getTool(tool_name);
        if (!tool) {
            ZV_LOG(LOG_WARNING, "Tool not found: %s, skipping...", tool_name.c_str());
            continue;
        }
        for (const auto& [param_name, value] : params.items()) {
            try {
                if (value.is_string()) {
                    tool->setParam(param_name, value.get<std::string>());
                } else if (value.is_boolean()) {
                    tool->setParam(param_name, value.get<bool>());
                } else if (value.is_number_integer()) {
                    // Out-of-range numbers saturate, so the tool refuses them instead of seeing a
                    // wrapped value.
                    const double v = value.is_number_unsigned() ? double(value.get<uint64_t>()) : double(value.get<int64_t>());
                    tool->setParam(param_name, static_cast<int>(std::clamp(v, double(INT32_MIN), double(INT32_MAX))));
                } else if (value.is_number_float()) {
                    tool->setParam(param_name, static_cast<float>(value.get<double>()));
                } else {
                    ZV_LOG(LOG_WARNING, "Unsupported parameter type for %s.%s, skipped.", tool_name.c_str(),
                           param_name.c_str());
                    continue;
                }
            } catch (const std::exception& e) {
                ZV_LOG(LOG_ERROR, "Failed to set %s.%s: %s", tool_name.c_str(), param_name.c_str(), e.what());
                return false;
            }
            ZV_LOG(LOG_INFO, "Set %s.%s = %s", tool_name.c_str(), param_name.c_str(), value.dump().c_str());
        }
    }
    ZV_LOG(LOG_INFO, "Configuration applied from %s", path.c_str());
    return true;
}

}  // namespace zelvan
