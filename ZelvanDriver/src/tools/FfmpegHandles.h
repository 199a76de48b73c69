// Owners of FFmpeg's objects and of C files: std::unique_ptr with the matching free function, so that
// every path out of a function, an early error included, releases what it holds.
#pragma once

#include <cstdio>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace zelvan::ffmpeg {

struct CodecContextFree {
    void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};

struct FrameFree {
    void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};

struct PacketFree {
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};

struct ScalerFree {
    void operator()(SwsContext* context) const noexcept { sws_freeContext(context); }
};

// An output container: closes its file (for formats that write one) and frees it.
struct OutputFormatFree {
    void operator()(AVFormatContext* context) const noexcept {
        if (context->oformat != nullptr && !(context->oformat->flags & AVFMT_NOFILE))
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};

// An input container opened by avformat_open_input.
struct InputFormatClose {
    void operator()(AVFormatContext* context) const noexcept { avformat_close_input(&context); }
};

struct FileClose {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerFree>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatFree>;
using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatClose>;
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

}  // namespace zelvan::ffmpeg
