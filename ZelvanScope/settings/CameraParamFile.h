// The current camera parameter file: one JSON object, tool key -> parameter name -> value, the same
// shape that DvsCamera::exportCameraConfigParams writes and loadCameraConfigParams applies. The
// settings panels record every value the camera accepted in it, so that the camera starts with the
// same values next time.
#pragma once

#include <QString>
#include <cstdint>
#include <string>

#include "zelvan/CameraTool.h"

// Why a value could not be recorded. The file is left as it was in every case but None.
enum class ParamFileError : uint8_t {
    None,
    CannotRead,       // the file exists but cannot be read
    NotJson,          // the file is not JSON text
    RootNotObject,    // the file holds JSON, but not one object
    MemberNotObject,  // the tool's member is there, but not an object of parameters
    CannotWrite,      // the new file cannot be written (the old one stays)
};

// Sets document[toolKey][name] = value (a JSON number, boolean or string) and writes the document
// back with four-space indentation and sorted keys. A missing file starts as an empty object, and a
// missing tool member is created (logged). A file that cannot be read or parsed, whose root is not an
// object or whose tool member is not an object, is logged and left byte for byte unchanged. The new
// text replaces the file only once it has been written completely, so a failed write leaves the old
// file in place.
[[nodiscard]] ParamFileError updateCameraParamFile(const QString& path, const std::string& toolKey,
                                                   const std::string& name,
                                                   const zelvan::ParameterValue& value);
