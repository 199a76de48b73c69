// Which frames of an MP4 file are key frames, read from the container with FFmpeg.
#pragma once

#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace zelvan::testing {

// One entry per packet of the first video stream, in file order: whether it holds a key frame.
// Empty when the file cannot be opened.
inline std::vector<bool> keyFrames(const std::string& path) {
    std::vector<bool> keys;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return keys;
    const int stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVPacket* packet = av_packet_alloc();
    while (stream >= 0 && packet != nullptr && av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == stream) keys.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return keys;
}

}  // namespace zelvan::testing
