// Readers of frame (APS) files: the MP4 video that a fusion recording keeps beside its raw file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zelvan/ApsFrame.h"

namespace zelvan {

// Lists the timestamps of every frame of a file and hands out decoded frames as packed BGR24
// ApsFrames, by index or by time. Timestamps are microseconds (presentation time of the frame).
class ApsFileReader {
public:
    // A reader for `path` when the text after its last '.' is exactly "mp4", otherwise nullptr.
    // The file is not opened here.
    static std::unique_ptr<ApsFileReader> createFileReader(const std::string& path);

    explicit ApsFileReader(const std::string& path) : path_(path) {}
    virtual ~ApsFileReader() = default;
    ApsFileReader(const ApsFileReader&) = delete;
    ApsFileReader& operator=(const ApsFileReader&) = delete;

    // Progress of loadFile, asked whether to go on: `done` of `total` in the reader's own unit (bytes of
    // the file for MP4), done <= total and never decreasing. Returning false asks the load to stop: it
    // then fails (false), leaving the reader as before the load.
    using ProgressCallback = std::function<bool(uint64_t done, uint64_t total)>;
    virtual void setProgressCallback(ProgressCallback callback) { progress_ = std::move(callback); }

    // Opens the file and lists the timestamps of its frames (decodes the whole video once).
    virtual bool loadFile() = 0;
    // Places the file at the last frame at or before `timestamp` (the first frame when it is before
    // all); false when no frame comes after `timestamp`.
    virtual bool seekTime(uint64_t timestamp) = 0;
    virtual bool getTimeStamps(std::vector<uint64_t>& timestamps) = 0;
    // The next frame in file order; false at the end of the file.
    virtual bool getNextFrame(ApsFrame& frame) = 0;
    // Frame number `index` (0-based) of the timestamp list.
    virtual bool getNFrame(int index, ApsFrame& frame) = 0;
    // The last frame whose timestamp is at or before `timestamp`.
    virtual bool getFrameGivenTimeStamp(uint64_t timestamp, ApsFrame& frame) = 0;

    uint16_t getWidth() const { return width_; }
    uint16_t getHeight() const { return height_; }
    const std::string& getPath() const { return path_; }

protected:
    ProgressCallback progress_;
    std::string path_;
    uint16_t width_ = 0;
    uint16_t height_ = 0;
};

}  // namespace zelvan
