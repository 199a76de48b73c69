#include <stdexcept>

#include "zelvan/DvsCamera.h"
#include "zelvan/Logger.h"

namespace zelvan {

std::shared_ptr<CameraTool> DvsCamera::getTool(ToolType type) const {
    const auto it = tools_.find(type);
    if (it == tools_.end()) {
        ZV_LOG(LOG_ERROR, "Tool not found");
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<CameraTool> DvsCamera::getTool(const std::string& name) const {
    for (const auto& [type, tool] : tools_) {
        if (tool && tool->getToolInfo().name == name) return tool;
    }
    return nullptr;
}

ToolInfo DvsCamera::getToolInfo(ToolType type) const {
    const auto it = tools_.find(type);
    if (it == tools_.end() || !it->second) {
        ZV_LOG(LOG_ERROR, "Tool not found");
        throw std::runtime_error("Tool not found");
    }
    return it->second->getToolInfo();
}

std::vector<ToolInfo> DvsCamera::getAllToolsInfo() const {
    std::vector<ToolInfo> all;
    for (const auto& [type, tool] : tools_) {
        if (tool) all.push_back(tool->getToolInfo());
    }
    return all;
}

bool DvsCamera::addTool(ToolType type, std::shared_ptr<CameraTool> tool) {
    if (!tool) return false;
    return tools_.emplace(type, std::move(tool)).second;
}

}  // namespace zelvan
