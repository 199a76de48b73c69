// The output files of cuts and exports.
#include "FileReader/OutputFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zelvan::detail {

OutputReplacement::OutputReplacement(const std::string& path) : path_(path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return;
    const fs::path target = fs::canonical(path, ec);
    struct stat st {};
    // A file with other names keeps them only when written in place; a file the user may not write
    // is refused when opened, as before.
    if (ec || ::access(target.c_str(), W_OK) != 0 || ::stat(target.c_str(), &st) != 0 || st.st_nlink != 1)
        return;
    std::string temp = target.string() + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return;
    // The replacement is the user's own file, with the earlier file's permissions where it may.
    static_cast<void>(::fchmod(fd, st.st_mode & 07777));
    ::close(fd);
    target_ = target.string();
    temp_ = std::move(temp);
}

OutputReplacement::~OutputReplacement() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool OutputReplacement::commit(std::string& error) {
    if (temp_.empty()) return true;
    const std::string temp = std::move(temp_);
    temp_.clear();
    if (::rename(temp.c_str(), target_.c_str()) == 0) return true;
    // The name cannot be replaced (a file mounted on its own, another user's file in a shared folder):
    // the content is copied into the earlier file.
    std::error_code ec;
    const bool copied =
        std::filesystem::copy_file(temp, target_, std::filesystem::copy_options::overwrite_existing, ec);
    ::unlink(temp.c_str());
    if (copied) return true;
    error = "Cannot put the output in place of " + path_ + ": " + ec.message();
    return false;
}

void OutputReplacement::abandon(bool remove_in_place) {
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    } else if (remove_in_place) {
        removePartialOutput(path_);
    }
}

}  // namespace zelvan::detail
