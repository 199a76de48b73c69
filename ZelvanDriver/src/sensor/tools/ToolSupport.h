// Helpers shared by the tool families of the event sensors and the frame sensor.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "zelvan/CameraTool.h"
#include "zelvan/Types.h"

namespace zelvan {

// The ToolInfo of a tool of `type`: its name is the type's name, so that tools of one type are keyed
// alike in configuration files whatever their sensor.
inline ToolInfo makeToolInfo(ToolType type, std::vector<std::string> params, const char* description) {
    ToolInfo info;
    info.type = type;
    info.name = toolTypeName(type);
    info.params = std::move(params);
    info.description = description;
    return info;
}

// Sets `field` to `value` and writes the tool's whole setting with `apply`; when that fails the field
// gets its previous value back, so that what reads back is what the sensor holds.
template <typename T, typename Apply>
[[nodiscard]] bool setAndApply(T& field, T value, Apply apply) {
    const T before = field;
    field = std::move(value);
    if (apply()) return true;
    field = before;
    return false;
}

}  // namespace zelvan
