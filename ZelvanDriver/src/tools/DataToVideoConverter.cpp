#include "zelvan/DataToVideoConverter.h"

#include <cstdio>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "zelvan/Logger.h"
#include "zelvan/StringUtils.h"

namespace zelvan {

namespace {

constexpr int kFrameAlign = 32;

// FFmpeg and its encoders print progress and statistics on stderr at their default level; keep
// only real errors there. A program that chose a level of its own keeps it.
void quietFfmpegLogs() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
    });
}

AVFrame* allocFrame(int width, int height, int format) {
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) return nullptr;
    frame->width = width;
    frame->height = height;
    frame->format = format;
    if (av_frame_get_buffer(frame, kFrameAlign) < 0) av_frame_free(&frame);
    return frame;
}

}  // namespace

DataToVideoConverter::DataToVideoConverter() {
    quietFfmpegLogs();
}

DataToVideoConverter::~DataToVideoConverter() {
    closeOutput();
    av_frame_free(&dst_frame_);
    av_frame_free(&src_frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_ctx_);
    avcodec_free_context(&jpeg_ctx_);
    sws_freeContext(sws_ctx_);
}

std::string DataToVideoConverter::encoderName() const {
    return codec_ != nullptr ? codec_->name : "";
}

const AVCodec* DataToVideoConverter::chooseH264Encoder(const std::vector<std::string>& preferred) {
    for (const std::string& name : preferred) {
        void* it = nullptr;
        while (const AVCodec* c = av_codec_iterate(&it)) {
            if (c->id == AV_CODEC_ID_H264 && av_codec_is_encoder(c) && name == c->name) return c;
        }
    }
    void* it = nullptr;
    while (const AVCodec* c = av_codec_iterate(&it)) {
        if (c->id == AV_CODEC_ID_H264 && av_codec_is_encoder(c)) return c;
    }
    return nullptr;
}

std::string DataToVideoConverter::chooseH264EncoderName(const std::vector<std::string>& preferred) {
    const AVCodec* c = chooseH264Encoder(preferred);
    return c != nullptr ? c->name : "";
}

int DataToVideoConverter::setConverterFrameSize(int src_height, int src_width, int dst_height,
                                                int dst_width) {
    src_height_ = src_height;
    src_width_ = src_width;
    dst_height_ = dst_height;
    dst_width_ = dst_width;
    return 0;
}

int DataToVideoConverter::setConverterFmt(int src_fmt, int dst_fmt) {
    sws_freeContext(sws_ctx_);
    sws_ctx_ = nullptr;
    src_fmt_ = src_fmt;
    dst_fmt_ = dst_fmt;
    if (src_width_ <= 0 || src_height_ <= 0 || dst_width_ <= 0 || dst_height_ <= 0) {
        ZV_LOG(LOG_ERROR, "Could not create the scaling context: frame sizes must be positive.");
        return -1;
    }
    sws_ctx_ =
        sws_getContext(src_width_, src_height_, static_cast<AVPixelFormat>(src_fmt), dst_width_, dst_height_,
                       static_cast<AVPixelFormat>(dst_fmt), SWS_POINT, nullptr, nullptr, nullptr);
    if (sws_ctx_ == nullptr) {
        ZV_LOG(LOG_ERROR, "Could not create the scaling context from format %d to format %d.", src_fmt,
               dst_fmt);
        return -1;
    }
    return 0;
}

int DataToVideoConverter::openVideoCodec() {
    avcodec_free_context(&codec_ctx_);
    frames_sent_ = 0;
    codec_ctx_ = avcodec_alloc_context3(codec_);
    if (codec_ctx_ == nullptr) {
        ZV_LOG(LOG_ERROR, "Could not allocate codec context.");
        return -1;
    }
    codec_ctx_->width = dst_width_;
    codec_ctx_->height = dst_height_;
    codec_ctx_->pix_fmt = static_cast<AVPixelFormat>(dst_fmt_);
    codec_ctx_->time_base = AVRational{1, 1'000'000};
    codec_ctx_->framerate = AVRational{kFrameRate, 1};
    codec_ctx_->bit_rate = kBitRate;
    // Picture structure: a key frame at least once a second, no reordered frames (timestamps may
    // be irregular, and every frame decodes as soon as it arrives).
    codec_ctx_->gop_size = kFrameRate;
    codec_ctx_->max_b_frames = 0;
    // One reference frame and key frames allowed anywhere (scene changes): cheap to encode,
    // decodable by every player profile, and seeking never has to decode far.
    codec_ctx_->refs = 1;
    codec_ctx_->keyint_min = 1;
    // As many encoder threads as the machine has to offer (FFmpeg's default is one).
    codec_ctx_->thread_count = 0;
    // MP4 keeps the parameter sets in the track header.
    codec_ctx_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (std::string(codec_->name) == "libx264") {
        // Event frames are mostly scattered single pixels, costly to code at this bit rate: the
        // fastest preset keeps exports ahead of real time, and its constrained-baseline output
        // plays everywhere.
        av_opt_set(codec_ctx_->priv_data, "preset", "ultrafast", 0);
    }
    if (avcodec_open2(codec_ctx_, codec_, nullptr) < 0) {
        ZV_LOG(LOG_ERROR, "Could not open codec.");
        avcodec_free_context(&codec_ctx_);
        return -1;
    }
    return 0;
}

int DataToVideoConverter::initVideoConverter() {
    codec_ = chooseH264Encoder({"libx264", "h264_mf"});
    if (codec_ == nullptr) {
        ZV_LOG(LOG_ERROR, "H.264 encoder not found.");
        return -1;
    }
    ZV_LOG(LOG_INFO, "Using encoder: %s", codec_->name);
    if (src_fmt_ < 0 || dst_fmt_ < 0) {
        ZV_LOG(LOG_ERROR, "Could not open codec.");
        return -1;
    }
    if (openVideoCodec() != 0) return -1;

    av_frame_free(&dst_frame_);
    dst_frame_ = av_frame_alloc();
    if (dst_frame_ == nullptr) {
        ZV_LOG(LOG_ERROR, "Could not allocate destination frame.");
        return -1;
    }
    dst_frame_->width = dst_width_;
    dst_frame_->height = dst_height_;
    dst_frame_->format = dst_fmt_;
    if (av_frame_get_buffer(dst_frame_, kFrameAlign) < 0) {
        ZV_LOG(LOG_ERROR, "Could not allocate the video frame data");
        av_frame_free(&dst_frame_);
        return -1;
    }
    av_frame_free(&src_frame_);
    src_frame_ = allocFrame(src_width_, src_height_, src_fmt_);
    if (src_frame_ == nullptr) {
        ZV_LOG(LOG_ERROR, "Could not allocate source frame.");
        return -1;
    }

    const AVCodec* jpeg = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (jpeg == nullptr) {
        ZV_LOG(LOG_ERROR, "JPEG codec not found.");
        return -1;
    }
    avcodec_free_context(&jpeg_ctx_);
    jpeg_ctx_ = avcodec_alloc_context3(jpeg);
    if (jpeg_ctx_ == nullptr) {
        ZV_LOG(LOG_ERROR, "Could not allocate JPEG codec context.");
        return -1;
    }
    jpeg_ctx_->pix_fmt = AV_PIX_FMT_YUVJ420P;
    jpeg_ctx_->width = dst_width_;
    jpeg_ctx_->height = dst_height_;
    jpeg_ctx_->time_base = AVRational{1, 25};
    if (avcodec_open2(jpeg_ctx_, jpeg, nullptr) < 0) {
        ZV_LOG(LOG_ERROR, "Could not open JPEG codec.");
        avcodec_free_context(&jpeg_ctx_);
        return -1;
    }

    av_packet_free(&packet_);
    packet_ = av_packet_alloc();
    if (packet_ == nullptr) {
        ZV_LOG(LOG_ERROR, "Could not allocate packet.");
        return -1;
    }
    return 0;
}

void DataToVideoConverter::closeOutput() {
    if (format_ctx_ == nullptr) return;
    if (!(format_ctx_->oformat->flags & AVFMT_NOFILE)) avio_closep(&format_ctx_->pb);
    avformat_free_context(format_ctx_);
    format_ctx_ = nullptr;
    stream_ = nullptr;
}

int DataToVideoConverter::setOutputFile(const std::string& path) {
    const std::string utf8 = local8bitToUtf8(path);
    if (codec_ctx_ == nullptr) {
        ZV_LOG(LOG_ERROR,
               "setOutputFile: codec_ctx_ not initialized. Please call initVideoConverter() first.");
        return -1;
    }
    closeOutput();
    // Frames of an abandoned video may still sit in the encoder: start from a fresh one.
    if (frames_sent_ > 0 && openVideoCodec() != 0) return -1;

    if (avformat_alloc_output_context2(&format_ctx_, nullptr, "mp4", utf8.c_str()) < 0 ||
        format_ctx_ == nullptr) {
        ZV_LOG(LOG_ERROR, "Failed to allocate output format context.");
        format_ctx_ = nullptr;
        return -1;
    }
    stream_ = avformat_new_stream(format_ctx_, nullptr);
    if (stream_ == nullptr) {
        ZV_LOG(LOG_ERROR, "Failed to create new stream.");
        closeOutput();
        return -1;
    }
    if (avcodec_parameters_from_context(stream_->codecpar, codec_ctx_) < 0) {
        ZV_LOG(LOG_ERROR, "Failed to copy codec parameters to stream.");
        closeOutput();
        return -1;
    }
    stream_->time_base = codec_ctx_->time_base;
    stream_->avg_frame_rate = codec_ctx_->framerate;
    if (!(format_ctx_->oformat->flags & AVFMT_NOFILE) &&
        avio_open(&format_ctx_->pb, utf8.c_str(), AVIO_FLAG_WRITE) < 0) {
        ZV_LOG(LOG_ERROR, "Could not open output file: %s", utf8.c_str());
        closeOutput();
        return -1;
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    const int written = avformat_write_header(format_ctx_, &options);
    av_dict_free(&options);
    if (written < 0) {
        ZV_LOG(LOG_ERROR, "Failed to write video header.");
        closeOutput();
        return -1;
    }
    ZV_LOG(LOG_INFO, "Output file set to: %s", utf8.c_str());
    return 0;
}

int64_t DataToVideoConverter::takeTimestamp(int64_t timestamp) {
    const int64_t t = timestamp == -1 ? next_timestamp_ : timestamp;
    next_timestamp_ = t + kAutoTimestampStepUs;
    return t;
}

int DataToVideoConverter::encodeDestinationFrame(int64_t timestamp) {
    dst_frame_->pts = timestamp;
    src_frame_->pts = timestamp;
    if (avcodec_send_frame(codec_ctx_, dst_frame_) < 0) {
        ZV_LOG(LOG_ERROR, "Error sending a frame for encoding");
        return -1;
    }
    ++frames_sent_;
    return receiveAndWriteVideoPackets();
}

int DataToVideoConverter::rgbToVideo(const uint8_t* data, int64_t timestamp) {
    if (codec_ctx_ == nullptr || dst_frame_ == nullptr || src_frame_ == nullptr || sws_ctx_ == nullptr ||
        format_ctx_ == nullptr || packet_ == nullptr || data == nullptr) {
        ZV_LOG(LOG_ERROR, "rgbToVideo: Converter is not fully initialized.");
        return -1;
    }
    if (src_fmt_ != kPixFmtBgr24) {
        ZV_LOG(LOG_ERROR, "Sws scale fmt is not AV_PIX_FMT_BGR24");
        return -1;
    }
    if (av_frame_make_writable(dst_frame_) < 0) {
        ZV_LOG(LOG_ERROR, "Error sending a frame for encoding");
        return -1;
    }
    // The caller's rows are packed; scaling reads them in place.
    const uint8_t* planes[1] = {data};
    const int strides[1] = {3 * src_width_};
    sws_scale(sws_ctx_, planes, strides, 0, src_height_, dst_frame_->data, dst_frame_->linesize);
    return encodeDestinationFrame(takeTimestamp(timestamp));
}

int DataToVideoConverter::nv12ToVideo(const uint8_t* data, int64_t timestamp) {
    if (codec_ctx_ == nullptr || dst_frame_ == nullptr || src_frame_ == nullptr || sws_ctx_ == nullptr ||
        format_ctx_ == nullptr || packet_ == nullptr || data == nullptr) {
        ZV_LOG(LOG_ERROR, "nv12ToVideo: Converter is not fully initialized.");
        return -1;
    }
    if (src_fmt_ != kPixFmtNv12) {
        ZV_LOG(LOG_ERROR, "Sws scale fmt is not AV_PIX_FMT_NV12");
        return -1;
    }
    if (av_frame_make_writable(dst_frame_) < 0) {
        ZV_LOG(LOG_ERROR, "Error sending a frame for encoding");
        return -1;
    }
    const uint8_t* planes[2] = {data,
                                data + static_cast<size_t>(src_width_) * static_cast<size_t>(src_height_)};
    const int strides[2] = {src_width_, src_width_};
    sws_scale(sws_ctx_, planes, strides, 0, src_height_, dst_frame_->data, dst_frame_->linesize);
    return encodeDestinationFrame(takeTimestamp(timestamp));
}

int DataToVideoConverter::nv12ToRGB(const uint8_t* data, uint8_t* out) {
    if (sws_ctx_ == nullptr || data == nullptr || out == nullptr) {
        ZV_LOG(LOG_ERROR, "nv12ToRGB: Converter is not fully initialized.");
        return -1;
    }
    if (src_fmt_ != kPixFmtNv12) {
        ZV_LOG(LOG_ERROR, "Sws scale fmt is not AV_PIX_FMT_NV12");
        return -1;
    }
    if (dst_fmt_ != kPixFmtBgr24 && dst_fmt_ != AV_PIX_FMT_RGB24) {
        ZV_LOG(LOG_ERROR, "nv12ToRGB: destination format %d is not a packed 3-byte format.", dst_fmt_);
        return -1;
    }
    const uint8_t* planes[2] = {data,
                                data + static_cast<size_t>(src_width_) * static_cast<size_t>(src_height_)};
    const int strides[2] = {src_width_, src_width_};
    uint8_t* dst[1] = {out};
    const int dst_strides[1] = {3 * dst_width_};
    sws_scale(sws_ctx_, planes, strides, 0, src_height_, dst, dst_strides);
    return 0;
}

int DataToVideoConverter::setJpegOutputPath(const std::string& dir) {
    jpeg_dir_ = dir;
    return 0;
}

int DataToVideoConverter::rgbToJpeg(const uint8_t* data, int64_t timestamp) {
    if (jpeg_ctx_ == nullptr || dst_frame_ == nullptr || sws_ctx_ == nullptr || packet_ == nullptr ||
        data == nullptr) {
        ZV_LOG(LOG_ERROR, "rgbToJpeg: Converter is not fully initialized.");
        return -1;
    }
    if (dst_fmt_ != kPixFmtYuv420p && dst_fmt_ != AV_PIX_FMT_YUVJ420P) {
        ZV_LOG(LOG_ERROR, "rgbToJpeg: destination format %d is not 4:2:0 YUV.", dst_fmt_);
        return -1;
    }
    if (av_frame_make_writable(dst_frame_) < 0) {
        ZV_LOG(LOG_ERROR, "Failed to send frame to JPEG encoder.");
        return -1;
    }
    const uint8_t* planes[1] = {data};
    const int strides[1] = {3 * src_width_};
    sws_scale(sws_ctx_, planes, strides, 0, src_height_, dst_frame_->data, dst_frame_->linesize);
    // Same planes; the still encoder names the layout by its full-range alias.
    const int video_format = dst_frame_->format;
    dst_frame_->format = jpeg_ctx_->pix_fmt;
    dst_frame_->pts = jpeg_frames_++;
    const int sent = avcodec_send_frame(jpeg_ctx_, dst_frame_);
    dst_frame_->format = video_format;
    if (sent < 0) {
        ZV_LOG(LOG_ERROR, "Failed to send frame to JPEG encoder.");
        return -1;
    }
    if (avcodec_receive_packet(jpeg_ctx_, packet_) < 0) {
        ZV_LOG(LOG_ERROR, "Failed to receive packet from JPEG encoder.");
        return -1;
    }
    const std::string name = jpeg_dir_ + "/" + std::to_string(timestamp) + ".jpg";
    ZV_LOG(LOG_INFO, "JPEG image saved as: %s", name.c_str());
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) {
        ZV_LOG(LOG_ERROR, "Could not open output JPEG file.");
        av_packet_unref(packet_);
        return -1;
    }
    const size_t size = static_cast<size_t>(packet_->size);
    const bool ok = std::fwrite(packet_->data, 1, size, f) == size;
    const bool closed = std::fclose(f) == 0;
    av_packet_unref(packet_);
    if (!ok || !closed) {
        ZV_LOG(LOG_ERROR, "Could not write output JPEG file: %s", name.c_str());
        return -1;
    }
    return 0;
}

int DataToVideoConverter::receiveAndWriteVideoPackets() {
    if (packet_ == nullptr || format_ctx_ == nullptr || codec_ctx_ == nullptr || stream_ == nullptr) {
        ZV_LOG(LOG_ERROR, "receiveAndWriteVideoPackets: Missing packet, format, codec, or stream context.");
        return -1;
    }
    for (;;) {
        const int ret = avcodec_receive_packet(codec_ctx_, packet_);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return 0;
        if (ret < 0) {
            ZV_LOG(LOG_ERROR, "Error during encoding: %d", ret);
            return -1;
        }
        av_packet_rescale_ts(packet_, codec_ctx_->time_base, stream_->time_base);
        packet_->stream_index = stream_->index;
        const int written = av_interleaved_write_frame(format_ctx_, packet_);
        av_packet_unref(packet_);
        if (written < 0) {
            ZV_LOG(LOG_ERROR, "Failed to write packet.");
            return -1;
        }
    }
}

int DataToVideoConverter::flushAndCloseVideo() {
    if (format_ctx_ == nullptr || codec_ctx_ == nullptr || stream_ == nullptr) {
        ZV_LOG(LOG_ERROR, "flushAndCloseVideo: Missing format or codec context.");
        return -1;
    }
    int result = 0;
    if (avcodec_send_frame(codec_ctx_, nullptr) < 0) {
        ZV_LOG(LOG_ERROR, "Failed to send flush frame to encoder.");
        result = -1;
    } else {
        for (;;) {
            const int ret = avcodec_receive_packet(codec_ctx_, packet_);
            if (ret == AVERROR_EOF || ret == AVERROR(EAGAIN)) break;
            if (ret < 0) {
                ZV_LOG(LOG_ERROR, "Error receiving packet during flush: %d", ret);
                result = -1;
                break;
            }
            av_packet_rescale_ts(packet_, codec_ctx_->time_base, stream_->time_base);
            packet_->stream_index = stream_->index;
            if (av_interleaved_write_frame(format_ctx_, packet_) < 0) {
                ZV_LOG(LOG_ERROR, "Failed to write frame during flush.");
                result = -1;
            }
            av_packet_unref(packet_);
        }
    }
    if (av_write_trailer(format_ctx_) < 0) {
        ZV_LOG(LOG_ERROR, "Failed to write the video trailer.");
        result = -1;
    }
    closeOutput();
    next_timestamp_ = 0;
    if (openVideoCodec() != 0) {
        ZV_LOG(LOG_ERROR, "Could not open codec after flush.");
        return -1;
    }
    if (result == 0) ZV_LOG(LOG_INFO, "Video flushed and closed successfully.");
    return result;
}

}  // namespace zelvan
