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
    if (ec) return;
    struct stat st {};
    struct stat folder {};
    // Only the user's own file, with no other name, that the user may write and that lies on its
    // folder's file system (not mounted on its own) is replaced: the replacement then has its owner,
    // group and permissions, and the rename cannot be refused. Any other file is written in place.
    if (::stat(target.c_str(), &st) != 0 || st.st_uid != ::geteuid() || st.st_nlink != 1 ||
        (st.st_mode & S_IWUSR) == 0 || ::stat(target.parent_path().c_str(), &folder) != 0 ||
        folder.st_dev != st.st_dev) {
        return;
    }
    std::string temp = target.string() + ".zvpart-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return;  // a folder the user may not write
    // The earlier file's group (one the user is in, as the owner) and permissions, without the
    // set-user and set-group bits.
    const bool same =
        ::fchown(fd, static_cast<uid_t>(-1), st.st_gid) == 0 && ::fchmod(fd, st.st_mode & 0777) == 0;
    ::close(fd);
    if (!same) {
        ::unlink(temp.c_str());
        return;
    }
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
    error = "Cannot put the output in place of " + path_ + ": " + std::strerror(errno) +
            "; the earlier file is kept";
    ::unlink(temp.c_str());
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
