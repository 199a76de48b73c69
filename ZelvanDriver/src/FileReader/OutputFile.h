// The output files of cuts and exports.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
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

// Creates an empty file of its own beside `path` ("PATH.part-PID-N", never one that exists) for
// output that takes the name `path` once it is complete. Its name, or empty with the reason in `error`.
inline std::string createFileBeside(const std::string& path, std::string& error) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name =
            path + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return name;
        }
        if (errno != EEXIST) {
            error = std::strerror(errno);
            return {};
        }
    }
    error = std::strerror(EEXIST);
    return {};
}

}  // namespace zelvan::detail
