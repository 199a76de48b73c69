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

// Where a cut or an export writes. The user's own file of the output's name (through symbolic links,
// the file they name) keeps its content until the new one is complete: the output is written beside it
// under a name of its own (NAME.zvpart-XXXXXX), with its group and permissions, and renamed over it on
// commit(). Any other output is written in place, as writePath() then says: no file yet, another
// user's file, a file with other names or mounted on its own, a folder the user may not write, a
// device or a pipe.
class OutputReplacement {
public:
    explicit OutputReplacement(const std::string& path);
    ~OutputReplacement();  // abandons an output that was not committed
    OutputReplacement(const OutputReplacement&) = delete;
    OutputReplacement& operator=(const OutputReplacement&) = delete;

    // The name to write the output under.
    const std::string& writePath() const { return temp_.empty() ? path_ : temp_; }
    // Whether the output goes beside the earlier file rather than into it.
    bool replaces() const { return !temp_.empty(); }
    // Puts the complete output in the earlier file's place. False, with the reason in `error`, when it
    // cannot: the output is then removed and the earlier file kept.
    bool commit(std::string& error);
    // Removes the output written beside the earlier file; written in place, the partial output is
    // removed when `remove_in_place` is true.
    void abandon(bool remove_in_place = true);

private:
    std::string path_;    // the output's name, as the caller gave it
    std::string target_;  // the file the output replaces
    std::string temp_;    // the output beside it; empty when written in place
};

}  // namespace zelvan::detail
