// Lets a test run out of disk space without filling a disk: while a FileSizeLimit lives, no file this
// process writes may grow beyond the given size. A write past it fails with EFBIG, as a write to a full
// disk fails, instead of raising SIGXFSZ, which is ignored meanwhile.
#pragma once

#include <sys/resource.h>

#include <csignal>

namespace zelvan::testing_support {

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        applied_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    // False when the limit could not be set (the test cannot simulate a full disk then).
    bool applied() const { return applied_; }

private:
    rlimit saved_{};
    void (*previous_handler_)(int) = nullptr;
    bool applied_ = false;
};

}  // namespace zelvan::testing_support
