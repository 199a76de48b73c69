// Frame file reader over FFmpeg for MP4 videos.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zelvan/ApsFileReader.h"

namespace zelvan {

// Decodes the first video stream of the file; frames are scaled (bicubic) to BGR24 of the stream's
// size. Random access seeks to the key frame before the target and decodes forward. One thread at
// a time. Failures are logged and answered with false; nothing here throws for them.
class Mp4FileReader : public ApsFileReader {
public:
    explicit Mp4FileReader(const std::string& path);
    ~Mp4FileReader() override;

    bool loadFile() override;
    bool seekTime(uint64_t timestamp) override;
    bool getTimeStamps(std::vector<uint64_t>& timestamps) override;
    bool getNextFrame(ApsFrame& frame) override;
    bool getNFrame(int index, ApsFrame& frame) override;
    bool getFrameGivenTimeStamp(uint64_t timestamp, ApsFrame& frame) override;

private:
    struct Ffmpeg;  // the FFmpeg objects, owned (Mp4FileReader.cpp)

    // Lists the timestamps of every frame (none when the decoded frame cannot be allocated, which
    // is logged) and places the file at its first frame. False when the progress callback asked to
    // stop.
    bool listTimestamps();
    // Seeks backwards to the key frame at or before `timestamp` and empties the decoder; false, after
    // logging it, when the file cannot seek (the reader stays usable for other seeks).
    bool seekStream(uint64_t timestamp);
    // Next decoded frame of the video stream into the decoded frame; false at the end of the file.
    [[nodiscard]] bool decodeNext();
    // The decoded frame converted to BGR24 into `frame` (reusing its buffer when it has the stream's
    // size), then released; false (logged), with `frame` untouched, when no converter can be made or
    // a frame of the stream's size cannot be allocated.
    [[nodiscard]] bool convertDecoded(ApsFrame& frame);
    uint64_t frameTimestamp(bool best_effort) const;

    std::unique_ptr<Ffmpeg> ffmpeg_;
    int video_stream_ = -1;
    bool draining_ = false;  // the end of the file was reached and the decoder is being emptied
    std::vector<uint64_t> timestamps_;
};

}  // namespace zelvan
