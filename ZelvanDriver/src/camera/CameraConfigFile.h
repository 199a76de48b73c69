// The steps of DvsCamera::exportCameraConfigParams and DvsCamera::loadCameraConfigParams between the file
// and the camera's tools, so that they can be driven with documents held in memory (the fuzz target does).
#pragma once

#include <cstddef>
#include <istream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "zelvan/DvsCamera.h"

namespace zelvan {

namespace config {

// The tools of a camera (event or fusion camera), in ToolType order.
using ToolTable = std::map<ToolType, std::shared_ptr<CameraTool>>;

// Every int, float, bool and enum parameter of every tool of the camera: tool name -> parameter name ->
// value. A camera without tools gives null. A value the tool cannot give is written as its type's zero;
// when `unreadable` is given, it receives that value's "Tool.parameter" and the export stops there.
[[nodiscard]] nlohmann::json exportDocument(const ToolTable& tools, std::string* unreadable = nullptr);
[[nodiscard]] nlohmann::json exportDocument(DvsCamera& camera, std::string* unreadable = nullptr);

// Parses a configuration document: one JSON object whose members are objects. None when it is one;
// NotJson or NotConfiguration, with one error line naming `source`, for text that is not JSON or a
// document of another shape. Nothing throws.
[[nodiscard]] ConfigError readDocument(std::istream& in, const std::string& source, nlohmann::json& document);

// What applyDocument did.
struct ApplyResult {
    size_t set = 0;       // values the tools took
    size_t refused = 0;   // values a tool refused (each logged with tool, parameter and value)
    bool failed = false;  // a tool threw; the application stopped there
    // The reason that decides the outcome, as DvsCamera::lastConfigError() gives it: ToolFailed when a
    // tool threw, else the reason of the first refused value, else that of the first skipped entry
    // (UnknownTool, UnsupportedValue), else None.
    ConfigError error = ConfigError::None;

    bool complete() const { return refused == 0 && !failed; }
    // Keeps `reason` when it outranks the one kept so far (a skipped entry < a refused value < a
    // failure that stops the application); of equal rank the first stays.
    void keep(ConfigError reason);
};

// Whether a load or export that met `reason` (and nothing of higher rank) succeeded: None, or only
// skipped entries.
bool succeeded(ConfigError reason);

// Applies a document that readDocument accepted, tool by tool and parameter by parameter, in ascending
// order. Tools the camera lacks and values of JSON types no parameter has (null, arrays, objects) are
// skipped with a warning; a value the tool refuses is logged as refused and the rest is applied. A tool
// that throws stops the application (the exception is caught and logged); values set before stay set.
[[nodiscard]] ApplyResult applyDocument(const ToolTable& tools, const nlohmann::json& document);
[[nodiscard]] ApplyResult applyDocument(DvsCamera& camera, const nlohmann::json& document);

// The files behind exportCameraConfigParams and loadCameraConfigParams of both kinds of camera, with
// their messages ("Parameters saved to %s", "Failed to open %s file for writing.", "Failed to open config
// file: %s", "Configuration applied from %s", ...). The reason of the outcome as lastConfigError()
// gives it; every failure is logged here. A save writes nothing when a value cannot be read from the
// camera (CannotRead), and one that fails keeps an earlier file of that name where it can.
[[nodiscard]] ConfigError saveFile(const ToolTable& tools, const std::string& path);
[[nodiscard]] ConfigError loadFile(const ToolTable& tools, const std::string& path);

}  // namespace config
}  // namespace zelvan
