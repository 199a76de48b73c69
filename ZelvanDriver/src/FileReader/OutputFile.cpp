// The output files of cuts, exports and saved settings.
#include "FileReader/OutputFile.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zelvan::detail {

OutputReplacement::OutputReplacement(const std::string& path) : path_(path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) {
        new_file_ = !ec || ec == std::errc::no_such_file_or_directory;
        return;
    }
    if (!fs::is_regular_file(status)) return;  // a device or a pipe
    const fs::path target = fs::canonical(path, ec);
    struct stat st {};
    if (ec || ::stat(target.c_str(), &st) != 0) return;
    // A file that cannot be opened for writing is refused by the caller's own opening, as before.
    if (const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC); fd < 0) {
        return;
    } else {
        ::close(fd);
    }
    target_ = target.string();
    struct stat folder {};
    rename_ = st.st_uid == ::geteuid() && st.st_nlink == 1 &&
              ::stat(target.parent_path().c_str(), &folder) == 0 && folder.st_dev == st.st_dev &&
              ::listxattr(target.c_str(), nullptr, 0) == 0;
    // A temporary file in `folder` named after the target, or a short name where that would be longer
    // than a file name may be.
    std::string temp;
    const auto createTemp = [&target, &temp](const fs::path& folder) {
        temp = (folder / (target.filename().string() + ".zvpart-XXXXXX")).string();
        int created = ::mkstemp(temp.data());
        if (created < 0 && errno == ENAMETOOLONG) {
            temp = (folder / ".zvpart-XXXXXX").string();
            created = ::mkstemp(temp.data());
        }
        return created;
    };
    int fd = createTemp(target.parent_path());
    if (fd < 0) {
        // A folder the user may not write: the output waits in the temporary folder, to be copied.
        rename_ = false;
        fd = createTemp(fs::temp_directory_path(ec));
        if (fd < 0) return;
    }
    // The earlier file's group (one the user is in, as the owner) and permissions, without the
    // set-user and set-group bits; otherwise it keeps its own by being copied into.
    if (rename_) {
        rename_ =
            ::fchown(fd, static_cast<uid_t>(-1), st.st_gid) == 0 && ::fchmod(fd, st.st_mode & 0777) == 0;
    }
    ::close(fd);
    temp_ = std::move(temp);
}

OutputReplacement::~OutputReplacement() {
    if (committed_) return;
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
    } else if (new_file_) {
        removePartialOutput(path_);
    }
}

bool OutputReplacement::commit(std::string& error) {
    committed_ = true;
    if (temp_.empty()) return true;
    bool done = false;
    // The new content reaches the disk before it takes the earlier file's place.
    if (const int fd = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
        static_cast<void>(::fsync(fd));
        ::close(fd);
    }
    // A file mounted on its own from the same file system, or one that may not be renamed over,
    // takes the content by a copy.
    if (rename_ && ::rename(temp_.c_str(), target_.c_str()) == 0) {
        done = true;
    } else {
        done = copyInto(error);
    }
    ::unlink(temp_.c_str());
    temp_.clear();
    return done;
}

bool OutputReplacement::copyInto(std::string& error) {
    const int in = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = in < 0 ? -1 : ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
    struct stat st {};
    if (in < 0 || out < 0 || ::fstat(in, &st) != 0) {
        const int reason = errno;
        if (in >= 0) ::close(in);
        if (out >= 0) ::close(out);
        error = "Cannot write " + path_ + ": " + std::strerror(reason) + "; the earlier file is kept";
        return false;
    }
    bool copied = ::ftruncate(out, 0) == 0;
    for (off_t left = st.st_size; copied && left > 0;) {
        const ssize_t n = ::sendfile(out, in, nullptr, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            copied = false;
            break;
        }
        left -= n;
    }
    const int reason = errno;
    const bool closed = ::close(out) == 0;
    ::close(in);
    if (copied && closed) return true;
    error = "Cannot write " + path_ + ": " + std::strerror(copied ? errno : reason) + "; the file is damaged";
    return false;
}

void OutputReplacement::abandon(bool remove_in_place) {
    committed_ = true;  // what is left is decided here
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    } else if (remove_in_place) {
        removePartialOutput(path_);
    }
}

}  // namespace zelvan::detail
