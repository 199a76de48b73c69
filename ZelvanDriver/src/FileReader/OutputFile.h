// The output files of cuts, exports and saved settings.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace zelvan::detail {

// Removes what a failed output left behind: the file of that name, or the file a symbolic link of that
// name leads to (the link stays). Only a regular file is ever removed (the output may be a device or
// a pipe).
inline void removePartialOutput(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path made =
        fs::is_symlink(fs::symlink_status(path, ec)) ? fs::canonical(path, ec) : fs::path(path);
    if (!ec && fs::is_regular_file(fs::symlink_status(made, ec))) fs::remove(made, ec);
}

// Where a cut, an export or a saved settings file writes. A file of the output's name that is there (through
// symbolic links, the file they name) keeps its content until the new one is complete: the output is written
// under a name of its own (NAME.zvpart-XXXXXX beside it, a shorter one where that is too long, or in the
// temporary folder) and then takes its place. The user's own file with one name and nothing but its
// permissions is replaced by a rename, the new file given its group and permissions; any other (another
// user's, hard-linked, with extended attributes or access lists, mounted on its own) keeps its inode, and so
// its owner, names and attributes, and has the complete output copied into it. A device, a pipe or a new file
// is written in place, as writePath() then says; a new file that is not committed is removed.
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
    // cannot: the output is then removed and the earlier file kept, unless copying into it failed
    // part way (the reason says so).
    bool commit(std::string& error);
    // Removes the output written beside the earlier file; written in place, the partial output is
    // removed when `remove_in_place` is true.
    void abandon(bool remove_in_place = true);

private:
    bool copyInto(std::string& error);

    std::string path_;       // the output's name, as the caller gave it
    std::string target_;     // the file the output replaces
    std::string temp_;       // the output under its own name; empty when written in place
    bool rename_ = false;    // the output replaces the earlier file by a rename
    bool new_file_ = false;  // written in place into a file that was not there
    bool committed_ = false;
};

}  // namespace zelvan::detail
