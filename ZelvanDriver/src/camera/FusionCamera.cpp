// The tool table of a fusion camera and its configuration files.
#include "zelvan/FusionCamera.h"

#include <stdexcept>

#include "camera/CameraConfigFile.h"
#include "zelvan/Logger.h"

namespace zelvan {

FusionCamera::FusionCamera(const FusionCamera& other)
    : description_(other.description_),
      tools_(other.tools_),
      last_config_error_(other.last_config_error_.load()) {}

FusionCamera::FusionCamera(FusionCamera&& other) noexcept
    : description_(std::move(other.description_)),
      tools_(std::move(other.tools_)),
      last_config_error_(other.last_config_error_.load()) {}

FusionCamera& FusionCamera::operator=(const FusionCamera& other) {
    description_ = other.description_;
    tools_ = other.tools_;
    last_config_error_ = other.last_config_error_.load();
    return *this;
}

FusionCamera& FusionCamera::operator=(FusionCamera&& other) noexcept {
    description_ = std::move(other.description_);
    tools_ = std::move(other.tools_);
    last_config_error_ = other.last_config_error_.load();
    return *this;
}

std::shared_ptr<CameraTool> FusionCamera::getTool(ToolType type) const {
    const auto it = tools_.find(type);
    if (it == tools_.end() || !it->second) {
        ZV_LOG(LOG_ERROR, "Tool not found");
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<CameraTool> FusionCamera::getTool(std::string name) const {
    for (const auto& [type, tool] : tools_) {
        if (tool && tool->getToolInfo().name == name) return tool;
    }
    return nullptr;
}

ToolInfo FusionCamera::getToolInfo(ToolType type) const {
    const auto it = tools_.find(type);
    if (it == tools_.end() || !it->second) {
        ZV_LOG(LOG_ERROR, "Tool not found");
        throw std::runtime_error("Tool not found");
    }
    return it->second->getToolInfo();
}

std::vector<ToolInfo> FusionCamera::getAllToolsInfo() const {
    std::vector<ToolInfo> all;
    for (const auto& [type, tool] : tools_) {
        if (tool) all.push_back(tool->getToolInfo());
    }
    return all;
}

bool FusionCamera::exportCameraConfigParams(std::string path) {
    const ConfigError reason = config::saveFile(tools_, path);
    last_config_error_ = reason;
    return config::succeeded(reason);
}

bool FusionCamera::loadCameraConfigParams(std::string path) {
    const ConfigError reason = config::loadFile(tools_, path);
    last_config_error_ = reason;
    return config::succeeded(reason);
}

bool FusionCamera::addTool(ToolType type, std::shared_ptr<CameraTool> tool) {
    if (!tool) return false;
    return tools_.emplace(type, std::move(tool)).second;
}

}  // namespace zelvan
