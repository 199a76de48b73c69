// Frame file reader over FFmpeg for MP4 videos.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zelvan/ApsFileReader.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace zelvan {

// Decodes the first video stream of the file; frames are scaled (bicubic) to BGR24 of the stream's
// size. Random access seeks to the key frame before the target and decodes forward. One thread at
// a time.
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
    bool listTimestamps();
    bool seekStream(uint64_t timestamp);
    // Next decoded frame of the video stream into frame_; false at the end of the file.
    bool decodeNext();
    uint64_t frameTimestamp(bool best_effort) const;

    AVFormatContext* format_ctx_ = nullptr;
    int video_stream_ = -1;
    AVCodecContext* codec_ctx_ = nullptr;
    SwsContext* sws_ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    std::vector<uint8_t> picture_;  // BGR24, width * height * 3
    AVPacket* packet_ = nullptr;
    bool draining_ = false;  // the end of the file was reached and the decoder is being emptied
    std::vector<uint64_t> timestamps_;
};

}  // namespace zelvan
