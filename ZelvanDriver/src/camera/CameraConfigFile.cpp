// Saving and applying camera tool parameters as JSON configuration files.
#include "camera/CameraConfigFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "FileReader/OutputFile.h"
#include "zelvan/CameraTool.h"
#include "zelvan/DvsCamera.h"
#include "zelvan/Logger.h"

namespace zelvan {

namespace {

// The key under which earlier versions of the viewer recorded the trigger-in tool's parameters.
constexpr const char* kLegacyTriggerInKey = "TirggerIn";

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

// Writes all of `text` to `fd`; false, with errno set, when a write fails.
bool writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// Writes `text` into the file open as `fd` and closes it; false, with the reason in `error`, when
// either fails.
bool writeAndClose(int fd, const std::string& text, std::string& error) {
    const bool written = writeAll(fd, text);
    const int write_error = errno;
    const bool closed = ::close(fd) == 0;
    if (written && closed) return true;
    error = std::strerror(written ? errno : write_error);
    return false;
}

enum class WriteOutcome { Written, CannotOpen, CannotWrite, CannotReplace };

// Writes `text` as the whole content of the file `path`. An earlier file of that name keeps its
// content until the new one is complete (see OutputReplacement); a file made here and left
// incomplete is removed. Why it failed goes to `error`.
WriteOutcome writeWholeFile(const std::string& path, const std::string& text, std::string& error) {
    detail::OutputReplacement output(path);
    const int fd = ::open(output.writePath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = std::strerror(errno);
        output.abandon(false);
        return WriteOutcome::CannotOpen;
    }
    if (!writeAndClose(fd, text, error)) return WriteOutcome::CannotWrite;  // the output is abandoned
    return output.commit(error) ? WriteOutcome::Written : WriteOutcome::CannotReplace;
}

// Writes the log line of a problem with a configuration and gives back its reason.
ConfigError logged(ConfigError reason, int level, const std::string& line) {
    ZV_LOG(level, "%s", line.c_str());
    return reason;
}

// Skipped entries rank lowest, then refused values, then failures that stop a load or export.
int rankOf(ConfigError reason) {
    switch (reason) {
        case ConfigError::None:
            return 0;
        case ConfigError::UnknownTool:
        case ConfigError::UnsupportedValue:
            return 1;
        case ConfigError::UnknownParameter:
        case ConfigError::WrongType:
        case ConfigError::ValueRefused:
            return 2;
        case ConfigError::CannotOpen:
        case ConfigError::NotJson:
        case ConfigError::NotConfiguration:
        case ConfigError::ToolFailed:
        case ConfigError::CannotWrite:
        case ConfigError::CannotRead:
            break;
    }
    return 3;
}

// Why a tool refused `value` for the parameter `name`: a name it lacks, a value of another kind than the
// parameter (the kind of the setParam overload the JSON type chose), or the value itself.
bool isFloatParameter(const CameraTool& tool, const std::string& name) {
    const auto params = tool.getAllParamInfo();
    const auto it = params.find(name);
    return it != params.end() && it->second.type == PARAM_FLOAT;
}

ConfigError refusalOf(const CameraTool& tool, const std::string& name, const nlohmann::json& value) {
    const auto params = tool.getAllParamInfo();
    const auto it = params.find(name);
    if (it == params.end()) return ConfigError::UnknownParameter;
    const ParameterType type = it->second.type;
    const bool fits = value.is_string()           ? type == PARAM_STRING || type == PARAM_ENUM
                      : value.is_boolean()        ? type == PARAM_BOOL
                      : value.is_number_integer() ? type == PARAM_INT || type == PARAM_FLOAT
                                                  : type == PARAM_FLOAT;
    return fits ? ConfigError::ValueRefused : ConfigError::WrongType;
}

}  // namespace

const char* configErrorText(ConfigError error) {
    switch (error) {
        case ConfigError::None:
            return "no error";
        case ConfigError::CannotOpen:
            return "the file cannot be opened";
        case ConfigError::NotJson:
            return "the file is not JSON";
        case ConfigError::NotConfiguration:
            return "the file is not one object of tools and their parameters";
        case ConfigError::UnknownTool:
            return "a tool the camera lacks was skipped";
        case ConfigError::UnsupportedValue:
            return "a value of an unsupported type was skipped";
        case ConfigError::UnknownParameter:
            return "a parameter the tool lacks";
        case ConfigError::WrongType:
            return "a value of the wrong type";
        case ConfigError::ValueRefused:
            return "a value the tool refused";
        case ConfigError::ToolFailed:
            return "setting a parameter failed";
        case ConfigError::CannotWrite:
            return "the file cannot be written";
        case ConfigError::CannotRead:
            return "a value cannot be read from the camera";
    }
    return "unknown error";
}

namespace config {

namespace {

// The tools of an event camera as a table.
ToolTable tableOf(const DvsCamera& camera) {
    ToolTable table;
    for (const ToolInfo& info : camera.getAllToolsInfo()) {
        if (auto tool = camera.getTool(info.type)) table.emplace(info.type, std::move(tool));
    }
    return table;
}

// The first tool in ToolType order whose name is exactly `name`.
std::shared_ptr<CameraTool> toolNamed(const ToolTable& tools, const std::string& name) {
    for (const auto& [type, tool] : tools) {
        if (tool && tool->getToolInfo().name == name) return tool;
    }
    return nullptr;
}

}  // namespace

nlohmann::json exportDocument(DvsCamera& camera, std::string* unreadable) {
    return exportDocument(tableOf(camera), unreadable);
}

ApplyResult applyDocument(DvsCamera& camera, const nlohmann::json& document) {
    return applyDocument(tableOf(camera), document);
}

nlohmann::json exportDocument(const ToolTable& tools, std::string* unreadable) {
    nlohmann::json document;
    for (const auto& [type, tool] : tools) {
        if (!tool) continue;
        const ToolInfo info = tool->getToolInfo();
        nlohmann::json& params = document[info.name] = nlohmann::json::object();
        for (const auto& [name, param] : tool->getAllParamInfo()) {
            bool read = true;
            switch (param.type) {
                case PARAM_INT: {
                    int v = 0;
                    read = tool->getParam(name, v);
                    params[name] = v;
                    break;
                }
                case PARAM_FLOAT: {
                    float v = 0;
                    read = tool->getParam(name, v);
                    params[name] = floatForJson(v);
                    break;
                }
                case PARAM_BOOL: {
                    bool v = false;
                    read = tool->getParam(name, v);
                    params[name] = v;
                    break;
                }
                case PARAM_ENUM: {
                    std::string v;
                    read = tool->getParam(name, v);
                    params[name] = v;
                    break;
                }
                case PARAM_STRING:
                    break;
            }
            if (!read && unreadable != nullptr) {
                // The camera went away: the document is of no use, and every further read would fail too.
                *unreadable = info.name + "." + name;
                return document;
            }
        }
    }
    return document;
}

ConfigError readDocument(std::istream& in, const std::string& source, nlohmann::json& document) {
    try {
        document = nlohmann::json::parse(in, nullptr, true, false);
    } catch (const nlohmann::json::exception& e) {
        return logged(ConfigError::NotJson, LOG_ERROR,
                      "Config file " + source + " is not valid JSON: " + e.what());
    } catch (const std::exception& e) {
        // A stream that fails while it is read (set to throw by a caller, or a device error).
        return logged(ConfigError::CannotOpen, LOG_ERROR,
                      "Config file " + source + " cannot be read: " + e.what());
    }
    // The whole shape is checked first, so that nothing is applied from a file that is not a
    // configuration.
    if (!document.is_object()) {
        return logged(ConfigError::NotConfiguration, LOG_ERROR,
                      "Config file " + source + " must hold one JSON object of tools.");
    }
    for (const auto& [tool_name, params] : document.items()) {
        if (!params.is_object()) {
            return logged(ConfigError::NotConfiguration, LOG_ERROR,
                          "Config file " + source + ": the value of \"" + tool_name +
                              "\" must be an object of parameters.");
        }
    }
    return ConfigError::None;
}

void ApplyResult::keep(ConfigError reason) {
    if (rankOf(reason) > rankOf(error)) error = reason;
}

bool succeeded(ConfigError reason) { return rankOf(reason) <= 1; }

ApplyResult applyDocument(const ToolTable& tools, const nlohmann::json& document) {
    ApplyResult result;
    if (!document.is_object()) return result;
    // The viewer records its trigger-in changes under "TirggerIn", the key earlier versions used and
    // existing files hold: they belong to the trigger-in tool and, being the latest changes, are
    // applied after its own member.
    std::vector<std::pair<std::string, const nlohmann::json*>> entries;
    for (const auto& [tool_name, params] : document.items())
        if (tool_name != kLegacyTriggerInKey) entries.emplace_back(tool_name, &params);
    if (const auto legacy = document.find(kLegacyTriggerInKey); legacy != document.end())
        entries.emplace_back("TriggerIn", &*legacy);
    for (const auto& [tool_name, params_ptr] : entries) {
        const nlohmann::json& params = *params_ptr;
        const auto tool = toolNamed(tools, tool_name);
        if (!tool) {
            result.keep(logged(ConfigError::UnknownTool, LOG_WARNING,
                               "Tool not found: " + tool_name + ", skipping..."));
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
                } else if (value.is_number_integer() && !isFloatParameter(*tool, param_name)) {
                    accepted = tool->setParam(param_name, intFromJson(value));
                } else if (value.is_number()) {
                    // A whole number written for a float parameter ("duty_cycle": 50) is that float.
                    accepted = tool->setParam(param_name, floatFromJson(value));
                } else {
                    result.keep(logged(
                        ConfigError::UnsupportedValue, LOG_WARNING,
                        "Unsupported parameter type for " + tool_name + "." + param_name + ", skipped."));
                    continue;
                }
            } catch (const std::exception& e) {
                result.keep(logged(ConfigError::ToolFailed, LOG_ERROR,
                                   "Failed to set " + tool_name + "." + param_name + ": " + e.what()));
                result.failed = true;
                return result;
            }
            if (accepted) {
                ++result.set;
                ZV_LOG(LOG_INFO, "Set %s.%s = %s", tool_name.c_str(), param_name.c_str(),
                       jsonText(value).c_str());
            } else {
                ++result.refused;
                result.keep(
                    logged(refusalOf(*tool, param_name, value), LOG_WARNING,
                           "Value refused: " + tool_name + "." + param_name + " = " + jsonText(value)));
            }
        }
    }
    return result;
}

ConfigError saveFile(const ToolTable& tools, const std::string& path) {
    // Values the camera cannot give (it went away) would be saved as zeros: nothing is saved then.
    std::string unreadable;
    const nlohmann::json document = exportDocument(tools, &unreadable);
    if (!unreadable.empty()) {
        return logged(ConfigError::CannotRead, LOG_ERROR,
                      "Cannot read " + unreadable + " from the camera: nothing was saved to " + path + ".");
    }
    const std::string text = document.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string error;
    switch (writeWholeFile(path, text, error)) {
        case WriteOutcome::Written:
            break;
        case WriteOutcome::CannotOpen:
            return logged(ConfigError::CannotWrite, LOG_ERROR,
                          "Failed to open " + path + " file for writing.");
        case WriteOutcome::CannotWrite:
            return logged(ConfigError::CannotWrite, LOG_ERROR,
                          "Failed to write " + path + ": " + error + ".");
        case WriteOutcome::CannotReplace:
            return logged(ConfigError::CannotWrite, LOG_ERROR, error + ".");
    }
    ZV_LOG(LOG_INFO, "Parameters saved to %s", path.c_str());
    return ConfigError::None;
}

ConfigError loadFile(const ToolTable& tools, const std::string& path) {
    // A directory opens as a stream on some systems and fails only when read.
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
        return logged(ConfigError::CannotOpen, LOG_ERROR,
                      "Failed to open config file: " + path + " is not a regular file");
    std::ifstream in(path, std::ios::binary);
    if (!in) return logged(ConfigError::CannotOpen, LOG_ERROR, "Failed to open config file: " + path);
    nlohmann::json document;
    // readDocument writes the line that says why it refuses the file.
    if (const ConfigError read = readDocument(in, path, document); read != ConfigError::None) return read;
    const ApplyResult result = applyDocument(tools, document);
    if (result.refused != 0 && !result.failed) {
        ZV_LOG(LOG_WARNING, "Configuration from %s applied except %zu refused value(s)", path.c_str(),
               result.refused);
    } else if (result.complete()) {
        ZV_LOG(LOG_INFO, "Configuration applied from %s", path.c_str());
    }
    return result.error;
}

}  // namespace config

DvsCamera::DvsCamera(const DvsCamera& other)
    : description_(other.description_),
      tools_(other.tools_),
      last_config_error_(other.last_config_error_.load()) {}

DvsCamera::DvsCamera(DvsCamera&& other) noexcept
    : description_(std::move(other.description_)),
      tools_(std::move(other.tools_)),
      last_config_error_(other.last_config_error_.load()) {}

DvsCamera& DvsCamera::operator=(const DvsCamera& other) {
    description_ = other.description_;
    tools_ = other.tools_;
    last_config_error_ = other.last_config_error_.load();
    return *this;
}

DvsCamera& DvsCamera::operator=(DvsCamera&& other) noexcept {
    description_ = std::move(other.description_);
    tools_ = std::move(other.tools_);
    last_config_error_ = other.last_config_error_.load();
    return *this;
}

bool DvsCamera::configOutcome(ConfigError reason, const std::string& error_line) {
    if (!error_line.empty()) ZV_LOG(LOG_ERROR, "%s", error_line.c_str());
    last_config_error_ = reason;
    return config::succeeded(reason);
}

bool DvsCamera::exportCameraConfigParams(std::string path) {
    return configOutcome(config::saveFile(config::tableOf(*this), path));
}

bool DvsCamera::loadCameraConfigParams(std::string path) {
    return configOutcome(config::loadFile(config::tableOf(*this), path));
}

}  // namespace zelvan
