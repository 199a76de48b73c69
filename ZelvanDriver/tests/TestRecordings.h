// The real EVT 3.0 recordings of the shared test data folder, for tests that run over each of them.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace zelvan::testdata {

// The folder's EVT 3.0 recordings in name order; empty when the folder (with its EXPECTED.json) is
// not there.
inline std::vector<std::filesystem::path> evt3Recordings() {
    namespace fs = std::filesystem;
    const fs::path data = ZELVAN_TESTDATA_DIR;
    std::vector<fs::path> out;
    if (!fs::exists(data / "EXPECTED.json")) return out;
    for (const auto& entry : fs::directory_iterator(data)) {
        if (entry.path().extension() != ".raw" ||
            entry.path().filename().string().find("evt2") != std::string::npos)
            continue;
        out.push_back(entry.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// A copy of `recording` in the temporary folder `dir` (anything whose `/ name` gives a path), so that
// the index a reader writes beside it stays out of the shared folder.
template <typename Dir>
std::string copyInto(const Dir& dir, const std::filesystem::path& recording) {
    const std::string copy = dir / recording.filename().string();
    std::filesystem::copy_file(recording, copy);
    return copy;
}

}  // namespace zelvan::testdata
