// The output files of cuts and exports.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace zelvan::detail {

// Removes what a failed cut or export left behind; only a regular file is ever removed (the output
// may be a device or a pipe).
inline void removePartialOutput(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec))) {
        std::filesystem::remove(path, ec);
    }
}

}  // namespace zelvan::detail
